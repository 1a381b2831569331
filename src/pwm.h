// PwmModule: one PWM extension module (module numbers 1-8), a PCA9685
// 16-channel 12-bit PWM controller (25 MHz internal oscillator). Chip
// channels 1-4 carry PWM outputs 1-4, channels 8-11 their indicator LEDs.
//
// Channels: holding register 0 the PWM frequency (25-1500 Hz), 1-4 the duty
// of outputs 1-4 in thousandths (0-1000); coils 0-3 the outputs' polarity;
// input register 0 reads 0. Holding registers from 5 answer
// CORVANE_ILLEGAL_FUNCTION (reading 0x8000) without a report; other channels and
// every discrete input report CORVANE_ILLEGAL_FUNCTION. Out-of-range values report
// CORVANE_ILLEGAL_DATA_VALUE, failed bus transfers CORVANE_COMMUNICATION_FAULT.
// No worker thread; the driver keeps no copy of duties or frequency.
//
// A write that fails part-way puts back the chip registers it had changed,
// and its result is CORVANE_COMMUNICATION_FAULT. Where even that fails, the
// output (or the frequency) is reported and reads as missing
// (CORVANE_COMMUNICATION_FAULT, value 0x8000) until a write to it succeeds:
// it never reads as a value nobody wrote. While the frequency is missing, so
// are the duties, and duty and polarity writes are refused.
#pragma once

#include <cstdint>

#include "i2c.h"
#include "modul.h"

// Bus address of PWM module index 0-7 (indices 3 and 4 are not in order).
constexpr uint16_t PwmAddressMap[8] = {0x41, 0x43, 0x45, 0x49, 0x47, 0x4B, 0x4D, 0x4F};
// PRE_SCALE, then LEDn_ON_L of chip channels 1-4 (outputs 1-4).
constexpr uint8_t PCA_REG_Map[5] = {0xFE, 0x0A, 0x0E, 0x12, 0x16};
// LEDn_ON_L of chip channels 8-11: the indicators of outputs 1-4.
constexpr uint8_t PCA_LED_Map[4] = {0x26, 0x2A, 0x2E, 0x32};

// One chip register and the byte it is to take.
struct PcaByte {
    uint8_t reg;
    uint8_t value;
};

class PwmModule : public CorvaneModule {
  public:
    // Live PWM drivers in the process.
    static inline int PwmModuleCount = 0;

    i2c_device Device;
    // Polarity of outputs 1-4. false: the chip gets the complement of the
    // duty (1000 - d) and full on / full off swap; true: the duty itself.
    bool Polarity[4] = {false, false, false, false};
    // What init programs; later frequency writes leave it.
    int Frequency;
    // A failed write could not be undone: output n's duty (index n - 1) or
    // the frequency is not known.
    bool DutyUnknown[4] = {false, false, false, false};
    bool FrequencyUnknown = false;

    // `bus` is the module manager's bus descriptor (lent, not owned).
    PwmModule(int bus, int index, CorvaneLogger* logger, int frequency);
    // No bus traffic: the outputs keep their last state.
    ~PwmModule() override;

    // Programs Frequency, then every output off and every indicator dark:
    // 0, or -1 when any of it failed (the rest is still tried).
    int init() override;
    // Reads MODE1: 0, or -1 when nothing answers.
    int ConnectionTest() override;
    int get_InputBit(unsigned char channel, bool* value) override;
    // Changes an output's polarity, re-programming its duty so the duty
    // stays: 0, CORVANE_ILLEGAL_FUNCTION, or CORVANE_COMMUNICATION_FAULT when the duty could not be
    // read or written back (the polarity is kept).
    int set_OutputBit(unsigned char channel, bool value) override;
    int get_OutputBit(unsigned char channel, bool* value) override;
    int get_InputRegister(unsigned char channel, unsigned short* value) override;
    int set_OutputRegister(unsigned char channel, unsigned short value) override;
    int get_OutputRegister(unsigned char channel, unsigned short* value) override;
    // Nothing to stop: 0.
    int StopThreads() override;

    // Sets the prescale for f Hz (25-1500) through sleep and restart: 0,
    // CORVANE_ILLEGAL_DATA_VALUE or CORVANE_COMMUNICATION_FAULT.
    int SetPWMFreq(int f);
    // Sets output n (1-4) to duty d (0-1000) and its indicator: 0,
    // CORVANE_ILLEGAL_DATA_VALUE or CORVANE_COMMUNICATION_FAULT.
    int SetPWMPin(int n, int d);
    // The duty of output n (1-4) from its ON/OFF registers: 0 or
    // CORVANE_COMMUNICATION_FAULT (also, unreported, while the duty is unknown).
    int GetPWMPin(int n, unsigned short* duty);
    // Output n (1-4) fully on / fully off under its polarity: 0 or
    // CORVANE_COMMUNICATION_FAULT.
    int SetFullOnPWM(int n);
    int SetFullOffPWM(int n);
    // Indicator of output n (1-4) lit / dark: 0 or CORVANE_COMMUNICATION_FAULT.
    int SetFullOnLED(int n);
    int SetFullOffLED(int n);

  private:
    int writeRegister(uint8_t reg, uint8_t value);
    int readRegister(uint8_t reg, uint8_t* value);
    int programPrescale(uint8_t mode, uint8_t prescale);
    int writeBytes(const PcaByte* bytes, int count, int n);
    int writeChannel(uint8_t base, const uint8_t (&bytes)[4], int n);
};
