#include "rel.h"

#include <syslog.h>

#include "error.h"

namespace {

// Port expander registers.
constexpr uint8_t kDirection = 0x00;  // 0 bits are outputs
constexpr uint8_t kPort = 0x09;       // reads the pin levels
constexpr uint8_t kLatch = 0x0A;      // drives the output pins

constexpr unsigned char kPins = 8;
constexpr unsigned short kMaskBits = 0x0F, kPortBits = 0xFF;

}  // namespace

RelayModule::RelayModule(int bus, unsigned char index, CorvaneLogger* logger)
    : CorvaneModule(logger, "REL", index + 1), Device{bus, RelayAdressMap[index], 0, 1, 0, 8, 1} {
    ++RelayModuleCount;
}

RelayModule::~RelayModule() {
    --RelayModuleCount;
}

int RelayModule::init() {
    const uint8_t allOutputs = 0x00;
    if (i2c_write(&Device, kDirection, &allOutputs, 1) < 0)
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    return set_OutputRegister(1, 0) != 0 ? CORVANE_COMMUNICATION_FAULT : 0;
}

int RelayModule::ConnectionTest() {
    uint8_t port = 0;
    return i2c_read(&Device, kPort, &port, 1) < 0 ? -1 : 0;
}

int RelayModule::get_InputBit(unsigned char, bool*) {
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
}

int RelayModule::set_OutputBit(unsigned char channel, bool value) {
    if (channel >= kPins) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    unsigned short port = 0;
    if (get_OutputRegister(1, &port) != 0) return CORVANE_COMMUNICATION_FAULT;
    const unsigned short bit = static_cast<unsigned short>(1u << channel);
    port = value ? port | bit : port & ~bit;
    return set_OutputRegister(1, port) != 0 ? CORVANE_COMMUNICATION_FAULT : 0;
}

int RelayModule::get_OutputBit(unsigned char channel, bool* value) {
    if (channel >= kPins) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    unsigned short port = 0;
    const int result = get_OutputRegister(1, &port);
    if (result != 0) return result;
    *value = ((port >> channel) & 1) != 0;
    return 0;
}

int RelayModule::get_InputRegister(unsigned char channel, unsigned short* value) {
    if (channel != 0) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    *value = 0;
    return 0;
}

// Logical port = pin levels XOR (mask << 4): only bits 4-7 can be inverted.
int RelayModule::set_OutputRegister(unsigned char channel, unsigned short value) {
    if (channel > 1) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    // Bits the register cannot hold are refused, not dropped: 0xFF00 meant
    // as "all on" must not switch every relay off.
    if (value > (channel == 0 ? kMaskBits : kPortBits))
        return ModuleError(CORVANE_ILLEGAL_DATA_VALUE, LOG_ERR, "");
    if (channel == 0) {
        InvertMask = static_cast<uint8_t>(value);
        return 0;
    }
    const uint8_t latch = static_cast<uint8_t>((value ^ (InvertMask * 16)) & 0xFF);
    if (i2c_write(&Device, kLatch, &latch, 1) < 0)
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    return 0;
}

int RelayModule::get_OutputRegister(unsigned char channel, unsigned short* value) {
    if (channel == 0) {
        *value = InvertMask;
        return 0;
    }
    if (channel != 1) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    uint8_t port = 0;
    if (i2c_read(&Device, kPort, &port, 1) < 0)
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    *value = static_cast<unsigned short>(((InvertMask * 16) ^ port) & 0xFF);
    return 0;
}

int RelayModule::StopThreads() {
    return 0;
}
