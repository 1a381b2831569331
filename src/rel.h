// RelayModule: one relay extension module (module numbers 9-12), an 8-bit
// I2C port expander whose eight pins all drive relays.
//
// Channels: coils 0-7 the port bits; holding register 0 the inversion mask
// (bit k inverts port bit k + 4), 1 the whole port; input register 0 reads 0.
// Other channels and every discrete input report code 1. A failed bus
// transfer reports code 4. No worker thread; the driver keeps no copy of
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

    // Makes every pin an output and writes the port 0 (under the mask): 0 or 4.
    int init() override;
    // Reads the port register: 0, or -1 when nothing answers.
    int ConnectionTest() override;
    int get_InputBit(unsigned char channel, bool* value) override;
    // Read-modify-write of the port: 0, 1 or 4; nothing is written when the read fails.
    int set_OutputBit(unsigned char channel, bool value) override;
    int get_OutputBit(unsigned char channel, bool* value) override;
    int get_InputRegister(unsigned char channel, unsigned short* value) override;
    // 0: the mask 0-15 (no bus traffic); 1: the port 0-255. 0, 1, 3 (a value
    // beyond the range, nothing changed) or 4.
    int set_OutputRegister(unsigned char channel, unsigned short value) override;
    int get_OutputRegister(unsigned char channel, unsigned short* value) override;
    // Nothing to stop: 0.
    int StopThreads() override;
};
