// The PWM module's PCA9685: 16 channels of 12-bit PWM from a 25 MHz
// oscillator. The first byte of a write selects a register; further bytes
// and the bytes of later reads go to it, or on to the following registers
// when MODE1's auto-increment bit is set.
//
// What the model keeps as the chip does: MODE1 powers up 0x11 (asleep);
// entering sleep sets the restart bit, which reads 1 until a 1 is written to
// it while awake (or a channel register is written) and the outputs run
// again; PRE_SCALE (power-up 0x1E) takes a write only while asleep and never
// below 3; every channel powers up with its full-off bit set; full off wins
// over full on; ALL_LED writes go to every channel. While asleep or waiting
// for the restart the outputs stay low. The oscillator's 500 us wake-up is
// not timed.
#pragma once

#include <cstdint>
#include <mutex>

#include "sim.h"

namespace sim {

class Pca9685 : public I2cChip {
  public:
    static constexpr uint8_t kMode1 = 0x00;
    static constexpr uint8_t kRestart = 0x80, kAutoIncrement = 0x20, kSleep = 0x10;
    static constexpr uint8_t kPrescale = 0xFE;
    static constexpr double kOscillatorHz = 25000000.0;

    Pca9685();
    ssize_t Write(const uint8_t* data, size_t length) override;
    ssize_t Read(uint8_t* buffer, size_t length) override;

    // A register as the bus would read it, without moving the register pointer.
    uint8_t Register(uint8_t reg) const;
    // Whether the outputs run: awake and not waiting for the restart.
    bool Running() const;
    // Channel 0-15's share of the period at its pin, in thousandths (rounded); 0 while not running.
    int Duty(int channel) const;
    // The PWM frequency from PRE_SCALE, rounded to Hz; 0 while not running.
    int FrequencyHz() const;

  private:
    void store(uint8_t reg, uint8_t value);
    uint8_t next(uint8_t reg) const;
    bool runningLocked() const;

    mutable std::mutex mutex;
    uint8_t registers[256] = {};
    uint8_t pointer = 0;
    bool restartPending = false;
};

}  // namespace sim
