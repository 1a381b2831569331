// I2C access over the Linux i2c-dev bus device.
#include "i2c.h"

#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>

#include "platform.h"

namespace {

constexpr uint32_t kMaxPage = 4096;
constexpr uint32_t kMaxIaddrBytes = 4;

// The chip needs this long after an address write or a page before it
// answers again; a record saying 0 still gets the shortest wait.
void Settle(const i2c_device* device) {
    const unsigned long ms = device->delay_ms == 0 ? 1 : device->delay_ms;
    os().SleepMicroseconds(ms * 1000);
}

// A record outside its documented ranges would divide by zero or write past
// the address buffer.
bool Valid(const i2c_device* device) {
    return device->page_size >= 1 && device->page_size <= kMaxPage &&
           device->iaddr_bytes <= kMaxIaddrBytes;
}

}  // namespace

int i2c_open(const char* device) {
    int bus = os().Open(device, O_RDWR);
    return bus < 0 ? -1 : bus;
}

void i2c_close(int bus) {
    os().Close(bus);
}

int i2c_select(int bus, uint16_t address, uint8_t ten_bit) {
    if (os().Ioctl(bus, I2C_TENBIT, reinterpret_cast<void*>(static_cast<unsigned long>(ten_bit))) !=
        0)
        return -1;
    if (os().Ioctl(bus, I2C_SLAVE, reinterpret_cast<void*>(static_cast<unsigned long>(address))) !=
        0)
        return -1;
    return 0;
}

void i2c_iaddr_convert(uint32_t iaddr, uint32_t bytes, uint8_t* out) {
    for (uint32_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>(iaddr >> (8 * (bytes - 1 - i)));
    }
}

int i2c_read(const i2c_device* device, uint32_t iaddr, void* buffer, int length) {
    if (!Valid(device) || length < 0) return -1;
    if (i2c_select(device->bus, device->address, device->ten_bit) != 0) return -1;

    uint8_t address[kMaxIaddrBytes];
    i2c_iaddr_convert(iaddr, device->iaddr_bytes, address);
    if (device->iaddr_bytes > 0 && os().Write(device->bus, address, device->iaddr_bytes) !=
                                       static_cast<ssize_t>(device->iaddr_bytes))
        return -1;
    Settle(device);
    const ssize_t got = os().Read(device->bus, buffer, static_cast<size_t>(length));
    return got < 0 ? -1 : static_cast<int>(got);
}

int i2c_write(const i2c_device* device, uint32_t iaddr, const void* data, int length) {
    if (!Valid(device)) return -1;
    if (i2c_select(device->bus, device->address, device->ten_bit) != 0) return -1;
    if (length <= 0) return 0;

    const uint8_t* next = static_cast<const uint8_t*>(data);
    uint8_t message[kMaxIaddrBytes + kMaxPage];
    uint32_t remaining = static_cast<uint32_t>(length);
    int written = 0;
    while (remaining > 0) {
        const uint32_t offset = iaddr % device->page_size;
        const uint32_t chunk =
            offset + remaining > device->page_size ? device->page_size - offset : remaining;
        i2c_iaddr_convert(iaddr, device->iaddr_bytes, message);
        std::memcpy(message + device->iaddr_bytes, next, chunk);
        const size_t size = device->iaddr_bytes + chunk;
        if (os().Write(device->bus, message, size) != static_cast<ssize_t>(size)) return -1;
        Settle(device);
        next += chunk;
        iaddr += chunk;
        remaining -= chunk;
        written += static_cast<int>(chunk);
    }
    return written;
}
