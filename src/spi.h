// SPI devices through Linux spidev (/dev/spidev0.0 to /dev/spidev0.7). The
// layer keeps no state: each driver owns the SpiPort records it uses.
#pragma once

#include <cstdint>

struct SpiPort {
    int Port = 0;              // device index 0-7: /dev/spidev0.<Port>
    uint32_t Speed = 0;        // clock in Hz; after opening, what the kernel took
    uint32_t Mode = 0;         // SPI mode in the low byte
    uint32_t BitsPerWord = 8;  // word size in the low byte
    int Fd = -1;               // open descriptor, -1 while closed
};

// Opens the device and sets mode, word size and speed, keeping the values the
// kernel reports. 0, or -1 (nothing left open, Fd unchanged; the settings
// read back before the failing step are kept).
int SpiOpenPort(SpiPort& port);
// Closes Fd and sets it to -1. 0, or -1 after printing the reason on
// standard error.
int SpiClosePort(SpiPort& port);
// The mode device `port` is set to now; the kernel keeps one per device,
// shared by every descriptor open on it. 0, or -1 when it cannot be read.
int SpiGetMode(int port, uint32_t* mode);
// Sets the mode of device `port` for every user of it, through a descriptor
// of its own. 0, or -1.
int SpiSetMode(int port, uint32_t mode);
// One full-duplex transfer of `length` bytes with chip select held throughout.
// 0, or -1 after printing the reason on standard error.
int SpiWriteAndRead(SpiPort& port, const uint8_t* tx, uint8_t* rx, uint32_t length);
