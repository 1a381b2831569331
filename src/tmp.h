// TemperatureModule: one temperature extension module (TMP1-TMP3), sixteen
// inputs converted by two 8-input 12-bit converters on SPI devices 2t and
// 2t + 1 (t the module index 0-2).
//
// Channels: input register 0 reads 0, input registers 1-16 the temperatures
// in tenths of a degree (two's complement); holding register 0 the averaging
// mode (1 on, 0 off). Everything else answers CORVANE_ILLEGAL_FUNCTION through
// ModuleError.
//
// In averaging mode a sampling thread converts all inputs continuously into
// a history of ten samples per input and a register read returns the
// temperature of the mean; with averaging off every read converts directly.
#pragma once

#include <cstdint>
#include <mutex>
#include <thread>

#include "modul.h"
#include "spi.h"

// Converter command per converter input k: start bit, single-ended, input
// number. Sent as one 3-byte transfer; the answer's low 12 bits are the code.
constexpr uint8_t TMP_ValueMat[8][3] = {
    {0x06, 0x00, 0x00}, {0x06, 0x40, 0x00}, {0x06, 0x80, 0x00}, {0x06, 0xC0, 0x00},
    {0x07, 0x00, 0x00}, {0x07, 0x40, 0x00}, {0x07, 0x80, 0x00}, {0x07, 0xC0, 0x00},
};

constexpr int TMP_INPUTS = 16;
constexpr int TMP_HISTORY = 10;

// The temperature of a raw converter code (or a mean of codes), in tenths
// of a degree, as the 16-bit register carries it.
unsigned short TMP_RawToRegister(unsigned x);

class TemperatureModule : public CorvaneModule {
  public:
    // Live drivers of this kind.
    static inline int TmpModuleCount = 0;

    SpiPort PortA;  // device 2t: inputs 1-8
    SpiPort PortB;  // device 2t + 1: inputs 9-16
    uint16_t HistoryEnabled = 0;
    // Raw samples by input and slot; guarded by HistoryMutex.
    uint16_t History[TMP_INPUTS][TMP_HISTORY] = {};
    std::thread HistoryThread;
    // Guards History and the transfers of a sampling pass.
    std::mutex HistoryMutex;

    TemperatureModule(unsigned char index, CorvaneLogger* logger);
    // Stops the sampling thread and closes the ports that are open.
    ~TemperatureModule() override;

    // Switches averaging on (starts the sampling thread). 0.
    int init() override;
    // Opens both ports and converts every input once: 0 when all sixteen
    // answer with a nonzero code and a clear null bit, else -1.
    int ConnectionTest() override;
    int get_InputBit(unsigned char channel, bool* value) override;
    int set_OutputBit(unsigned char channel, bool value) override;
    int get_OutputBit(unsigned char channel, bool* value) override;
    // Channel 0: 0. Channels 1-16: the temperature; CORVANE_COMMUNICATION_FAULT
    // when a direct conversion fails.
    int get_InputRegister(unsigned char channel, unsigned short* value) override;
    // Channel 0: 1 averaging on, 0 off; CORVANE_ILLEGAL_DATA_VALUE for other values.
    int set_OutputRegister(unsigned char channel, unsigned short value) override;
    int get_OutputRegister(unsigned char channel, unsigned short* value) override;
    // Stops and joins the sampling thread if it runs. 0.
    int StopThreads() override;

    // Converts input i (0-15) into *value: 0, or -1 when the transfer fails
    // (value untouched) or i is above 15 (value 0).
    int ReadChannel(int i, unsigned short* value);
    // One sampling pass into History[..][slot]: 0, or -1 at the first failed
    // transfer, the remaining inputs of the slot untouched.
    int ReadToHistory(int slot);
    // The mean raw value of input i's ten samples. 0, or -1 for i above 15.
    int get_Temperature(int i, unsigned short* value);
    // The sampling thread's body: passes into slots 0-9, then a 100 ms pause.
    int Check_Cycle();

  private:
    // Sends command entry `entry` on `port` into rx[3]: SpiWriteAndRead's result.
    int Convert(SpiPort& port, int entry, uint8_t rx[3]);
};
