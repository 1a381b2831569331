#include "pwm.h"

#include <syslog.h>

#include "error.h"
#include "platform.h"

namespace {

// PCA9685 MODE1 and its bits.
constexpr uint8_t kMode1 = 0x00;
constexpr uint8_t kRestart = 0x80;
constexpr uint8_t kSleep = 0x10;
// Full-on bit of LEDn_ON_H, full-off bit of LEDn_OFF_H.
constexpr uint8_t kFullBit = 0x10;

constexpr int kMinFrequency = 25;
constexpr int kMaxFrequency = 1500;
constexpr int kFullDuty = 1000;
constexpr double kOscillatorHz = 25000000.0;
constexpr int kCounts = 4096;
// The oscillator needs 500 us after leaving sleep; the module waits longer.
constexpr unsigned long kWakeMicroseconds = 50000;

}  // namespace

PwmModule::PwmModule(int bus, int index, CorvaneLogger* logger, int frequency)
    : CorvaneModule(logger, "PWM", index + 1),
      Device{bus, PwmAddressMap[index], 0, 1, 0, 8, 1},
      Frequency(frequency) {
    ++PwmModuleCount;
}

PwmModule::~PwmModule() {
    --PwmModuleCount;
}

int PwmModule::writeRegister(uint8_t reg, uint8_t value) {
    return i2c_write(&Device, reg, &value, 1) < 0 ? -1 : 0;
}

int PwmModule::readRegister(uint8_t reg, uint8_t* value) {
    return i2c_read(&Device, reg, value, 1) < 0 ? -1 : 0;
}

// ON low, ON high, OFF low, OFF high, one transfer each, stopping at the
// first that fails.
int PwmModule::writeChannel(uint8_t base, const uint8_t (&bytes)[4]) {
    for (int i = 0; i < 4; ++i) {
        if (writeRegister(static_cast<uint8_t>(base + i), bytes[i]) != 0)
            return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    }
    return 0;
}

int PwmModule::init() {
    if (SetPWMFreq(Frequency) != 0) return -1;
    // Each failure is reported where it happens; the other outputs still go off.
    for (int n = 1; n <= 4; ++n) {
        if (SetFullOffPWM(n) == 0) SetFullOffLED(n);
    }
    return 0;
}

int PwmModule::ConnectionTest() {
    uint8_t mode = 0;
    return readRegister(kMode1, &mode) != 0 ? -1 : 0;
}

int PwmModule::get_InputBit(unsigned char, bool*) {
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
}

int PwmModule::set_OutputBit(unsigned char channel, bool value) {
    if (channel >= 4) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    if (value == Polarity[channel]) return 0;
    unsigned short duty = 0;
    // Without the duty the output cannot be kept: the polarity stays too.
    if (GetPWMPin(channel + 1, &duty) != 0) return CORVANE_COMMUNICATION_FAULT;
    Polarity[channel] = value;
    return SetPWMPin(channel + 1, duty) != 0 ? CORVANE_COMMUNICATION_FAULT : 0;
}

int PwmModule::get_OutputBit(unsigned char channel, bool* value) {
    if (channel >= 4) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    *value = Polarity[channel];
    return 0;
}

int PwmModule::get_InputRegister(unsigned char channel, unsigned short* value) {
    if (channel != 0) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    *value = 0;
    return 0;
}

int PwmModule::set_OutputRegister(unsigned char channel, unsigned short value) {
    if (channel == 0) return SetPWMFreq(value);
    if (channel <= 4) return SetPWMPin(channel, value);
    return CORVANE_ILLEGAL_FUNCTION;
}

int PwmModule::get_OutputRegister(unsigned char channel, unsigned short* value) {
    if (channel > 4) {
        *value = MODULE_NO_VALUE;
        return CORVANE_ILLEGAL_FUNCTION;
    }
    if (channel > 0) return GetPWMPin(channel, value);
    uint8_t prescale = 0;
    if (readRegister(PCA_REG_Map[0], &prescale) != 0)
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    // p + 0.5 rather than the chip's p + 1: the frequency written reads back.
    *value = static_cast<unsigned short>(kOscillatorHz / ((prescale + 0.5) * kCounts));
    return 0;
}

int PwmModule::StopThreads() {
    return 0;
}

// The chip takes a new prescale only while asleep; waking it needs the
// oscillator to settle before the restart bit brings the outputs back.
int PwmModule::SetPWMFreq(int f) {
    if (f < kMinFrequency || f > kMaxFrequency)
        return ModuleError(CORVANE_ILLEGAL_DATA_VALUE, LOG_ERR, "");
    // Single precision, as the modules have always been programmed: a
    // different rounding would move some frequencies by a prescale step.
    const float q = 25000000.0f / static_cast<float>(f * kCounts);
    const uint8_t prescale = static_cast<uint8_t>(static_cast<int>(q + 0.5) - 1);

    uint8_t mode = 0;
    if (readRegister(kMode1, &mode) != 0)
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    const uint8_t awake = static_cast<uint8_t>(mode & ~(kRestart | kSleep));
    if (writeRegister(kMode1, static_cast<uint8_t>((mode & ~kRestart) | kSleep)) != 0 ||
        writeRegister(PCA_REG_Map[0], prescale) != 0 || writeRegister(kMode1, awake) != 0)
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    os().SleepMicroseconds(kWakeMicroseconds);
    if (writeRegister(kMode1, static_cast<uint8_t>(awake | kRestart)) != 0)
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    return 0;
}

int PwmModule::SetPWMPin(int n, int d) {
    if (d > kFullDuty) return ModuleError(CORVANE_ILLEGAL_DATA_VALUE, LOG_ERR, "");
    if (d == 0) {
        if (SetFullOffPWM(n) != 0 || SetFullOffLED(n) != 0) return CORVANE_COMMUNICATION_FAULT;
        return 0;
    }
    if (d == kFullDuty) {
        if (SetFullOnPWM(n) != 0 || SetFullOnLED(n) != 0) return CORVANE_COMMUNICATION_FAULT;
        return 0;
    }
    const int e = Polarity[n - 1] ? d : kFullDuty - d;
    // Product and quotient in single precision, the rounding in double.
    const float scaled = static_cast<float>(e) * static_cast<float>(kCounts) / 1000.0f;
    const int off = static_cast<int>(static_cast<double>(scaled) + 0.5) & 0xFFF;
    if (SetFullOnLED(n) != 0) return CORVANE_COMMUNICATION_FAULT;
    // A plain count in both halves also clears a full-on or full-off bit left from before.
    return writeChannel(PCA_REG_Map[n],
                        {0, 0, static_cast<uint8_t>(off & 0xFF), static_cast<uint8_t>(off >> 8)});
}

int PwmModule::GetPWMPin(int n, unsigned short* duty) {
    uint8_t bytes[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (readRegister(static_cast<uint8_t>(PCA_REG_Map[n] + i), &bytes[i]) != 0)
            return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    }
    const bool fullOn = (bytes[1] >> 4) != 0;
    const int off = bytes[3] * 256 + bytes[2];
    const bool fullOff = (off >> 12) != 0;
    const float scaled = static_cast<float>(off) * 1000.0f * (1.0f / static_cast<float>(kCounts));
    const int r = static_cast<int>(static_cast<double>(scaled) + 0.5);
    int value;
    if (Polarity[n - 1]) {
        value = fullOn ? kFullDuty : fullOff ? 0 : r;
    } else {
        value = fullOn ? 0 : fullOff ? kFullDuty : kFullDuty - r;
    }
    *duty = static_cast<unsigned short>(value);
    return 0;
}

int PwmModule::SetFullOnPWM(int n) {
    const bool p = Polarity[n - 1];
    return writeChannel(PCA_REG_Map[n], {0, static_cast<uint8_t>(p ? kFullBit : 0), 0,
                                         static_cast<uint8_t>(p ? 0 : kFullBit)});
}

int PwmModule::SetFullOffPWM(int n) {
    const bool p = Polarity[n - 1];
    return writeChannel(PCA_REG_Map[n], {0, static_cast<uint8_t>(p ? 0 : kFullBit), 0,
                                         static_cast<uint8_t>(p ? kFullBit : 0)});
}

// The indicator LEDs light when their channel is low.
int PwmModule::SetFullOnLED(int n) {
    return writeChannel(PCA_LED_Map[n - 1], {0, 0, 0, kFullBit});
}

int PwmModule::SetFullOffLED(int n) {
    return writeChannel(PCA_LED_Map[n - 1], {0, kFullBit, 0, 0});
}
