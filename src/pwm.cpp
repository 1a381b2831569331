#include "pwm.h"

#include <string>
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
// Tries per register when putting a failed write back.
constexpr int kAttempts = 5;

const char kDutyNotReset[] = "could not be reset: it reads as missing until written)";

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

// The bytes in order, one transfer each, for output n. The registers are
// read first so that a failure part-way can put back what they held: the
// chip never keeps half of a value. The failed register is put back too, as
// a transfer can fail after the chip took its byte.
int PwmModule::writeBytes(const PcaByte* bytes, int count, int n) {
    uint8_t before[8];
    for (int i = 0; i < count; ++i) {
        if (readRegister(bytes[i].reg, &before[i]) != 0)
            return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    }
    int failed = 0;
    while (failed < count && writeRegister(bytes[failed].reg, bytes[failed].value) == 0) ++failed;
    if (failed == count) {
        DutyUnknown[n - 1] = false;
        return 0;
    }
    bool restored = true;
    for (int i = failed; i >= 0; --i) {
        int attempt = 0;
        while (attempt < kAttempts && writeRegister(bytes[i].reg, before[i]) != 0) ++attempt;
        restored = restored && attempt < kAttempts;
    }
    if (restored) return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    DutyUnknown[n - 1] = true;
    return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR,
                       "(Output " + std::to_string(n) + " " + kDutyNotReset);
}

// ON low, ON high, OFF low, OFF high from `base` (modulo 256).
int PwmModule::writeChannel(uint8_t base, const uint8_t (&bytes)[4], int n) {
    PcaByte list[4];
    for (int i = 0; i < 4; ++i) list[i] = {static_cast<uint8_t>(base + i), bytes[i]};
    return writeBytes(list, 4, n);
}

int PwmModule::init() {
    if (SetPWMFreq(Frequency) != 0) return -1;
    // Each failure is reported where it happens; the other outputs still go off.
    bool failed = false;
    for (int n = 1; n <= 4; ++n) {
        if (SetFullOffPWM(n) != 0 || SetFullOffLED(n) != 0) failed = true;
    }
    return failed ? -1 : 0;
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
    if (SetPWMPin(channel + 1, duty) == 0) return 0;
    // The chip has its old bytes back (or the duty is unknown): the old polarity is what they mean.
    Polarity[channel] = !value;
    return CORVANE_COMMUNICATION_FAULT;
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
    if (FrequencyUnknown) {
        *value = MODULE_NO_VALUE;
        return CORVANE_COMMUNICATION_FAULT;
    }
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
int PwmModule::programPrescale(uint8_t mode, uint8_t prescale) {
    const uint8_t awake = static_cast<uint8_t>(mode & ~(kRestart | kSleep));
    if (writeRegister(kMode1, static_cast<uint8_t>((mode & ~kRestart) | kSleep)) != 0 ||
        writeRegister(PCA_REG_Map[0], prescale) != 0 || writeRegister(kMode1, awake) != 0)
        return -1;
    os().SleepMicroseconds(kWakeMicroseconds);
    return writeRegister(kMode1, static_cast<uint8_t>(awake | kRestart)) != 0 ? -1 : 0;
}

int PwmModule::SetPWMFreq(int f) {
    if (f < kMinFrequency || f > kMaxFrequency)
        return ModuleError(CORVANE_ILLEGAL_DATA_VALUE, LOG_ERR, "");
    // Single precision, as the modules have always been programmed: a
    // different rounding would move some frequencies by a prescale step.
    const float q = 25000000.0f / static_cast<float>(f * kCounts);
    const uint8_t prescale = static_cast<uint8_t>(static_cast<int>(q + 0.5) - 1);

    uint8_t mode = 0, before = 0;
    if (readRegister(kMode1, &mode) != 0 || readRegister(PCA_REG_Map[0], &before) != 0)
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    if (programPrescale(mode, prescale) == 0) {
        FrequencyUnknown = false;
        return 0;
    }
    // Whichever step failed, the old prescale goes back the same way, which
    // also wakes a chip left asleep.
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (programPrescale(mode, before) == 0)
            return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    }
    FrequencyUnknown = true;
    return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR,
                       std::string("(Frequency ") + kDutyNotReset);
}

namespace {

// ON low, ON high, OFF low, OFF high of an output fully on or off, which
// swap under the default polarity.
void FullBits(bool on, bool polarity, uint8_t (&bytes)[4]) {
    const bool fullOnBit = on == polarity;
    bytes[0] = 0;
    bytes[1] = fullOnBit ? kFullBit : 0;
    bytes[2] = 0;
    bytes[3] = fullOnBit ? 0 : kFullBit;
}

// The indicator LEDs light when their channel is low.
constexpr uint8_t kIndicatorLit[4] = {0, 0, 0, kFullBit};
constexpr uint8_t kIndicatorDark[4] = {0, kFullBit, 0, 0};

}  // namespace

// The output and its indicator as one write: a failure puts both back.
int PwmModule::SetPWMPin(int n, int d) {
    if (d > kFullDuty) return ModuleError(CORVANE_ILLEGAL_DATA_VALUE, LOG_ERR, "");
    // A chip whose frequency change could not be undone may be asleep or
    // waiting for its restart, which a channel write would give it.
    if (FrequencyUnknown)
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "(Frequency to be written first)");
    uint8_t output[4];
    const uint8_t* indicator = d == 0 ? kIndicatorDark : kIndicatorLit;
    if (d == 0 || d == kFullDuty) {
        FullBits(d == kFullDuty, Polarity[n - 1], output);
    } else {
        const int e = Polarity[n - 1] ? d : kFullDuty - d;
        // Product and quotient in single precision, the rounding in double.
        const float scaled = static_cast<float>(e) * static_cast<float>(kCounts) / 1000.0f;
        const int off = static_cast<int>(static_cast<double>(scaled) + 0.5) & 0xFFF;
        // A plain count in both halves also clears a full-on or full-off bit left from before.
        output[0] = output[1] = 0;
        output[2] = static_cast<uint8_t>(off & 0xFF);
        output[3] = static_cast<uint8_t>(off >> 8);
    }
    // A running output's indicator is lit first; a full one follows its output.
    const bool indicatorFirst = d != 0 && d != kFullDuty;
    PcaByte bytes[8];
    for (int i = 0; i < 4; ++i) {
        PcaByte& out = bytes[indicatorFirst ? 4 + i : i];
        PcaByte& led = bytes[indicatorFirst ? i : 4 + i];
        out = {static_cast<uint8_t>(PCA_REG_Map[n] + i), output[i]};
        led = {static_cast<uint8_t>(PCA_LED_Map[n - 1] + i), indicator[i]};
    }
    return writeBytes(bytes, 8, n);
}

int PwmModule::GetPWMPin(int n, unsigned short* duty) {
    if (DutyUnknown[n - 1] || FrequencyUnknown) {
        *duty = MODULE_NO_VALUE;
        return CORVANE_COMMUNICATION_FAULT;
    }
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
    uint8_t bytes[4];
    FullBits(true, Polarity[n - 1], bytes);
    return writeChannel(PCA_REG_Map[n], bytes, n);
}

int PwmModule::SetFullOffPWM(int n) {
    uint8_t bytes[4];
    FullBits(false, Polarity[n - 1], bytes);
    return writeChannel(PCA_REG_Map[n], bytes, n);
}

int PwmModule::SetFullOnLED(int n) {
    return writeChannel(PCA_LED_Map[n - 1], kIndicatorLit, n);
}

int PwmModule::SetFullOffLED(int n) {
    return writeChannel(PCA_LED_Map[n - 1], kIndicatorDark, n);
}
