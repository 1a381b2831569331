// SPI devices through Linux spidev.
#include "spi.h"

#include <cstdio>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <string>
#include <utility>

#include "platform.h"

int SpiOpenPort(SpiPort& port) {
    if (port.Port < 0 || port.Port > 7) return -1;
    const std::string path = "/dev/spidev0." + std::to_string(port.Port);
    int fd = os().Open(path.c_str(), O_RDWR);
    if (fd < 0) return -1;

    uint8_t mode = static_cast<uint8_t>(port.Mode);
    uint8_t bits = static_cast<uint8_t>(port.BitsPerWord);
    uint32_t speed = port.Speed;
    // Each setting is written, then read back: the kernel may adjust it.
    const std::pair<unsigned long, void*> requests[] = {
        {SPI_IOC_WR_MODE, &mode},          {SPI_IOC_RD_MODE, &mode},
        {SPI_IOC_WR_BITS_PER_WORD, &bits}, {SPI_IOC_RD_BITS_PER_WORD, &bits},
        {SPI_IOC_WR_MAX_SPEED_HZ, &speed}, {SPI_IOC_RD_MAX_SPEED_HZ, &speed},
    };
    bool configured = true;
    for (const auto& [request, value] : requests) {
        if (os().Ioctl(fd, request, value) < 0) {
            configured = false;
            break;
        }
    }
    // What was read back stays in the record even when a later step failed.
    port.Mode = (port.Mode & ~0xFFu) | mode;
    port.BitsPerWord = (port.BitsPerWord & ~0xFFu) | bits;
    port.Speed = speed;
    if (!configured) {
        os().Close(fd);
        return -1;
    }
    port.Fd = fd;
    return 0;
}

int SpiClosePort(SpiPort& port) {
    int result = os().Close(port.Fd);
    // The number is free now and may be handed to another open: a second
    // close through this record must not reach it.
    port.Fd = -1;
    if (result < 0) {
        std::perror("Error - Could not close SPI device");
        return -1;
    }
    return 0;
}

namespace {

// One mode request on a descriptor of its own: 0, or -1.
int ModeRequest(int port, unsigned long request, uint8_t* value) {
    if (port < 0 || port > 7) return -1;
    const std::string path = "/dev/spidev0." + std::to_string(port);
    int fd = os().Open(path.c_str(), O_RDWR);
    if (fd < 0) return -1;
    int result = os().Ioctl(fd, request, value);
    os().Close(fd);
    return result < 0 ? -1 : 0;
}

}  // namespace

int SpiGetMode(int port, uint32_t* mode) {
    uint8_t value = 0;
    if (ModeRequest(port, SPI_IOC_RD_MODE, &value) != 0) return -1;
    *mode = value;
    return 0;
}

int SpiSetMode(int port, uint32_t mode) {
    uint8_t value = static_cast<uint8_t>(mode);
    return ModeRequest(port, SPI_IOC_WR_MODE, &value);
}

int SpiWriteAndRead(SpiPort& port, const uint8_t* tx, uint8_t* rx, uint32_t length) {
    spi_ioc_transfer transfer{};
    transfer.tx_buf = reinterpret_cast<uintptr_t>(tx);
    transfer.rx_buf = reinterpret_cast<uintptr_t>(rx);
    transfer.len = length;
    transfer.speed_hz = port.Speed;
    transfer.delay_usecs = 0;
    transfer.bits_per_word = static_cast<uint8_t>(port.BitsPerWord);
    transfer.cs_change = 0;
    if (os().Ioctl(port.Fd, SPI_IOC_MESSAGE(1), &transfer) < 0) {
        std::perror("Error - Problem transmitting spi data..ioctl");
        return -1;
    }
    return 0;
}
