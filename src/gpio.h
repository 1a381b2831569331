// Single GPIO pins through sysfs (/sys/class/gpio). Stateless: each call
// opens the file it needs, does one read or write and closes it again.
// Messages go to standard output. Pins 0-999; direction 0 = input.
#pragma once

// Exports the pin (an already exported pin is fine) and sets its direction.
// 0, or -1 on failure.
int GPIO_Init(int pin, int direction);
// Unexports the pin. 0, or -1 when the unexport file cannot be opened.
int GPIO_Unexport(int pin);
// Sets the direction of an exported pin. 0, or -1 on failure.
int GPIO_Direction(int pin, int direction);
// The pin's value as the kernel reports it (0 or 1), or -1 on failure.
int GPIO_Read(int pin);
// Drives the pin: 0 low, anything else high. 0, or -1 on failure.
int GPIO_Write(int pin, int value);
