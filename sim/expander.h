// The relay module's 8-bit I2C port expander (MCP23008 register layout).
// The first byte of a write selects a register; further bytes of the write,
// and the bytes of later reads, go to it and the registers after it
// (wrapping after the last). A register number beyond the last is not
// acknowledged.
#pragma once

#include <cstdint>
#include <mutex>

#include "sim.h"

namespace sim {

class PortExpander : public I2cChip {
  public:
    static constexpr uint8_t kDirection = 0x00;  // 1 bits are inputs; all inputs at power-up
    static constexpr uint8_t kPort = 0x09;       // reads the pin levels, writes the latch
    static constexpr uint8_t kLatch = 0x0A;      // output latch
    static constexpr int kRegisters = 11;

    ssize_t Write(const uint8_t* data, size_t length) override;
    ssize_t Read(uint8_t* buffer, size_t length) override;

    // A register as the bus would read it, without moving the register pointer.
    uint8_t Register(uint8_t reg) const;
    // The pin levels: the latch on output pins, low on input pins (the relay
    // drivers pull them down).
    uint8_t Pins() const;

  private:
    uint8_t read(uint8_t reg) const;
    uint8_t pinsLocked() const;

    mutable std::mutex mutex;
    uint8_t registers[kRegisters] = {0xFF};
    uint8_t pointer = 0;
};

}  // namespace sim
