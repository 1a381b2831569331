#include "pca9685.h"

#include <cmath>
#include <string>

#include "models.h"

namespace sim {

namespace {

constexpr uint8_t kMode2 = 0x01;
constexpr uint8_t kFirstChannel = 0x06;  // LED0_ON_L
constexpr uint8_t kLastChannel = 0x45;   // LED15_OFF_H
constexpr uint8_t kAllLed = 0xFA;        // ALL_LED_ON_L .. ALL_LED_OFF_H at 0xFA-0xFD
constexpr uint8_t kTestMode = 0xFF;
constexpr uint8_t kFullBit = 0x10;
constexpr uint8_t kMinPrescale = 3;
constexpr int kCounts = 4096;

// Bus addresses of PWM1-PWM8, as the modules' jumpers set them: PWM4 sits
// at 0x49 and PWM5 at 0x47 on this board.
constexpr uint16_t kAddress[8] = {0x41, 0x43, 0x45, 0x49, 0x47, 0x4B, 0x4D, 0x4F};

// Chip channels of output n (1-4) and of its indicator.
constexpr int kOutputChannel = 0;
constexpr int kIndicatorChannel = 7;

bool ChannelRegister(uint8_t reg) {
    return (reg >= kFirstChannel && reg <= kLastChannel) ||
           (reg >= kAllLed && reg < Pca9685::kPrescale);
}

}  // namespace

Pca9685::Pca9685() {
    registers[kMode1] = 0x11;  // asleep, answers the all-call address
    registers[kMode2] = 0x04;  // totem-pole outputs
    registers[0x02] = 0xE2;    // SUBADR1-3, ALLCALLADR
    registers[0x03] = 0xE4;
    registers[0x04] = 0xE8;
    registers[0x05] = 0xE0;
    for (int channel = 0; channel < 16; ++channel)
        registers[kFirstChannel + 4 * channel + 3] = kFullBit;
    registers[kPrescale] = 0x1E;  // 200 Hz
}

ssize_t Pca9685::Write(const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    if (length == 0) return 0;
    pointer = data[0];
    bool channelWritten = false;
    for (size_t i = 1; i < length; ++i) {
        channelWritten = channelWritten || ChannelRegister(pointer);
        store(pointer, data[i]);
        pointer = next(pointer);
    }
    // With MODE2's OCH clear, outputs change at the STOP, which also ends a pending restart.
    if (channelWritten && (registers[kMode1] & kSleep) == 0) {
        restartPending = false;
        registers[kMode1] &= static_cast<uint8_t>(~kRestart);
    }
    return static_cast<ssize_t>(length);
}

ssize_t Pca9685::Read(uint8_t* buffer, size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < length; ++i) {
        buffer[i] = registers[pointer];
        pointer = next(pointer);
    }
    return static_cast<ssize_t>(length);
}

uint8_t Pca9685::Register(uint8_t reg) const {
    std::lock_guard<std::mutex> lock(mutex);
    return registers[reg];
}

bool Pca9685::Running() const {
    std::lock_guard<std::mutex> lock(mutex);
    return runningLocked();
}

int Pca9685::Duty(int channel) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (channel < 0 || channel > 15 || !runningLocked()) return 0;
    const uint8_t* r = registers + kFirstChannel + 4 * channel;
    if (r[3] & kFullBit) return 0;
    if (r[1] & kFullBit) return 1000;
    const int on = (r[1] & 0x0F) * 256 + r[0];
    const int off = (r[3] & 0x0F) * 256 + r[2];
    const int high = ((off - on) % kCounts + kCounts) % kCounts;
    return static_cast<int>(std::lround(high * 1000.0 / kCounts));
}

int Pca9685::FrequencyHz() const {
    std::lock_guard<std::mutex> lock(mutex);
    if (!runningLocked()) return 0;
    return static_cast<int>(std::lround(kOscillatorHz / (kCounts * (registers[kPrescale] + 1))));
}

void Pca9685::store(uint8_t reg, uint8_t value) {
    if (reg == kMode1) {
        const bool wasAsleep = registers[kMode1] & kSleep;
        const bool asleep = value & kSleep;
        if (!wasAsleep && asleep) restartPending = true;
        // A 1 restarts the outputs once awake; a 0 leaves the bit alone.
        if (!asleep && (value & kRestart)) restartPending = false;
        registers[kMode1] =
            static_cast<uint8_t>((value & ~kRestart) | (restartPending ? kRestart : 0));
    } else if (reg == kPrescale) {
        if (registers[kMode1] & kSleep)
            registers[kPrescale] = value < kMinPrescale ? kMinPrescale : value;
    } else if (reg >= kAllLed && reg < kPrescale) {
        for (int channel = 0; channel < 16; ++channel)
            registers[kFirstChannel + 4 * channel + (reg - kAllLed)] = value;
    } else if (reg <= kLastChannel) {
        registers[reg] = value;
    }
    // 0x46-0xF9 are reserved and TestMode is not for use: writes to them are ignored.
}

uint8_t Pca9685::next(uint8_t reg) const {
    if ((registers[kMode1] & kAutoIncrement) == 0) return reg;
    return reg == kLastChannel || reg == kTestMode ? 0 : static_cast<uint8_t>(reg + 1);
}

bool Pca9685::runningLocked() const {
    return (registers[kMode1] & kSleep) == 0 && !restartPending;
}

void InstallPwmModule(Board& board, int index) {
    if (index < 0 || index >= 8) return;
    board.AddI2cChip(kAddress[index], std::make_shared<Pca9685>());
}

// One line per output: the chip channel's duty at its pin, the PWM
// frequency, and the indicator, which lights while its channel is low.
std::vector<std::string> ShowPwmModule(Board& board, int index) {
    if (index < 0 || index >= 8) return {};
    auto chip = std::dynamic_pointer_cast<Pca9685>(board.I2cChipAt(kAddress[index]));
    if (!chip) return {};
    std::vector<std::string> lines;
    const std::string name = "PWM" + std::to_string(index + 1);
    for (int n = 1; n <= 4; ++n) {
        lines.push_back(name + " out" + std::to_string(n) + " duty " +
                        std::to_string(chip->Duty(kOutputChannel + n)) + " freq " +
                        std::to_string(chip->FrequencyHz()) + " led " +
                        (chip->Duty(kIndicatorChannel + n) == 0 ? "on" : "off"));
    }
    return lines;
}

}  // namespace sim
