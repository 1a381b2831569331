// RelayModule: one relay extension module (module numbers 9-12), an 8-bit
// I2C port expander whose eight pins all drive relays.
//
// Channels: coils 0-7 the port bits; holding register 0 the inversion mask
// (bit k inverts port bit k + 4), 1 the whole port; input register 0 reads 0.
// Other channels and every discrete input report CORVANE_ILLEGAL_FUNCTION. A failed
// bus transfer reports CORVANE_COMMUNICATION_FAULT. No worker thread; the driver keeps no copy of
// the outputs: every read goes to the pins.
#pragma once

#include <cstdint>

#include "i2c.h"
#include "modul.h"

// Bus address of relay module index 0-3.
constexpr uint16_t RelayAdressMap[4] = {0x20, 0x22, 0x24, 0x26};

class RelayModule : public CorvaneModule {
  public:
    // Live relay drivers in the process.
    static inline int RelayModuleCount = 0;

    i2c_device Device;
    // Inversion mask 0-15 for port bits 4-7.
    uint8_t InvertMask = 0;

    // `bus` is the module manager's bus descriptor (lent, not owned).
    RelayModule(int bus, unsigned char index, CorvaneLogger* logger);
    // No bus traffic: the relays stay as they are.
    ~RelayModule() override;

    // Makes every pin an output and writes the port 0 (under the mask): 0 or
    // CORVANE_COMMUNICATION_FAULT.
    int init() override;
    // Reads the port register: 0, or -1 when nothing answers.
    int ConnectionTest() override;
    int get_InputBit(unsigned char channel, bool* value) override;
    // Read-modify-write of the port: 0, CORVANE_ILLEGAL_FUNCTION or
    // CORVANE_COMMUNICATION_FAULT; nothing is written when the read fails.
    int set_OutputBit(unsigned char channel, bool value) override;
    int get_OutputBit(unsigned char channel, bool* value) override;
    int get_InputRegister(unsigned char channel, unsigned short* value) override;
    // 0: the mask 0-15 (no bus traffic); 1: the port 0-255. 0,
    // CORVANE_ILLEGAL_FUNCTION, CORVANE_ILLEGAL_DATA_VALUE (a value beyond the range,
    // nothing changed) or CORVANE_COMMUNICATION_FAULT.
    int set_OutputRegister(unsigned char channel, unsigned short value) override;
    int get_OutputRegister(unsigned char channel, unsigned short* value) override;
    // Nothing to stop: 0.
    int StopThreads() override;
};
