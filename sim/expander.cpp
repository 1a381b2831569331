#include "expander.h"

#include <cerrno>
#include <string>

#include "models.h"

namespace sim {

namespace {

// Bus addresses of REL1-REL4, as the modules' jumpers set them.
constexpr uint16_t kAddress[4] = {0x20, 0x22, 0x24, 0x26};

}  // namespace

ssize_t PortExpander::Write(const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    if (length == 0) return 0;
    if (data[0] >= kRegisters) return Fail(EIO);
    pointer = data[0];
    for (size_t i = 1; i < length; ++i) {
        // Writing the port sets the latch, as on the chip.
        registers[pointer == kPort ? kLatch : pointer] = data[i];
        pointer = static_cast<uint8_t>((pointer + 1) % kRegisters);
    }
    return static_cast<ssize_t>(length);
}

ssize_t PortExpander::Read(uint8_t* buffer, size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < length; ++i) {
        buffer[i] = read(pointer);
        pointer = static_cast<uint8_t>((pointer + 1) % kRegisters);
    }
    return static_cast<ssize_t>(length);
}

uint8_t PortExpander::Register(uint8_t reg) const {
    std::lock_guard<std::mutex> lock(mutex);
    return reg < kRegisters ? read(reg) : 0;
}

uint8_t PortExpander::Pins() const {
    std::lock_guard<std::mutex> lock(mutex);
    return pinsLocked();
}

uint8_t PortExpander::read(uint8_t reg) const {
    return reg == kPort ? pinsLocked() : registers[reg];
}

uint8_t PortExpander::pinsLocked() const {
    return static_cast<uint8_t>(registers[kLatch] & ~registers[kDirection]);
}

void InstallRelayModule(Board& board, int index) {
    if (index < 0 || index >= 4) return;
    board.AddI2cChip(kAddress[index], std::make_shared<PortExpander>());
}

std::vector<std::string> ShowRelayModule(Board& board, int index) {
    if (index < 0 || index >= 4) return {};
    auto chip = std::dynamic_pointer_cast<PortExpander>(board.I2cChipAt(kAddress[index]));
    if (!chip) return {};
    const uint8_t pins = chip->Pins();
    std::string line = "REL" + std::to_string(index + 1) + " pins";
    for (int pin = 0; pin < 8; ++pin) line += (pins >> pin) & 1 ? " 1" : " 0";
    return {line};
}

}  // namespace sim
