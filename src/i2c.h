// The Linux i2c-dev bus device, shared by every chip on the bus: each
// transfer first binds the descriptor to the chip's address.
#pragma once

#include <cstdint>

// One chip on the shared bus.
struct i2c_device {
    int bus;             // descriptor from i2c_open, owned by the module manager
    uint16_t address;    // device address on the bus
    uint8_t ten_bit;     // nonzero: 10-bit addressing
    uint8_t delay_ms;    // settle time after each address write of a read and each page; 0 means 1
    uint16_t flags;      // carried along, read by nobody
    uint32_t page_size;  // most data bytes in one write, pages aligned to it: 1-4096
    uint32_t iaddr_bytes;  // register address bytes sent before the data, MSB first: 0-4
};

// Opens the bus device for reading and writing: the descriptor, or -1.
int i2c_open(const char* device);
// Closes a descriptor returned by i2c_open.
void i2c_close(int bus);
// Binds the descriptor to a device address (I2C_TENBIT, then I2C_SLAVE): 0, or -1.
int i2c_select(int bus, uint16_t address, uint8_t ten_bit);
// Fills out[0..bytes-1] with the low `bytes` bytes of iaddr, most significant first.
void i2c_iaddr_convert(uint32_t iaddr, uint32_t bytes, uint8_t* out);
// Writes the register address, settles, reads `length` bytes: the count read, or -1.
int i2c_read(const i2c_device* device, uint32_t iaddr, void* buffer, int length);
// Writes `length` bytes from register iaddr on, page by page, settling after
// each: the count written (0 for length 0 or less), or -1. Pages written
// before a failure stay written.
int i2c_write(const i2c_device* device, uint32_t iaddr, const void* data, int length);
