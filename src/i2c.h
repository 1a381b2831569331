// The Linux i2c-dev bus device.
#pragma once

// Opens the bus device for reading and writing: the descriptor, or -1.
int i2c_open(const char* device);
// Closes a descriptor returned by i2c_open.
void i2c_close(int bus);
