// Aio_Module: the driver of one analog I/O module (module numbers 16-22).
// One SPI front-end, device index = module index, with four channels; each
// channel is off or has one of eight functions (AioFunction, FunctionCodes).
//
// Modbus channels: holding register 0 the function word (channel k's
// function number in bits 4k..4k+3), 1-4 output level (tenths of a percent),
// 5-8 output voltage (mV), 9-12 output current (uA); input register 0 the
// alert status, 1-4 level, 5-8 temperature (tenths of a degree), 9-12
// voltage, 13-16 current; discrete inputs 0-3 digital inputs; no coils.
//
// Results: 0 success; CORVANE_ILLEGAL_FUNCTION, CORVANE_ILLEGAL_DATA_VALUE or
// CORVANE_COMMUNICATION_FAULT (mostly reported through ModuleError); -1 a failed transfer, a wrong
// CRC or a conversion that never finished, unreported. 0x8000 marks a missing value.
//
// Threads: the monitoring thread measures the input channels, polls the
// alerts and drives the channel LEDs every 0.5 s. Lock serialises the
// conversions and the monitor's alert-and-LED section; BusLock, taken
// innermost around every single frame and every two-frame read, keeps
// anything from coming between a read select and its answer.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "modul.h"
#include "spi.h"

// The 256-entry table of a CRC-8 with the given polynomial (MSB first).
constexpr std::array<uint8_t, 256> MakeCrc8Table(uint8_t polynomial) {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ polynomial : crc << 1);
        }
        table[i] = crc;
    }
    return table;
}

// Function numbers: what a channel's nibble of the function word and its
// entry of Function hold.
enum AioFunction : uint8_t {
    AIO_OFF = 0,
    AIO_VOLTAGE_OUT = 1,
    AIO_VOLTAGE_IN = 2,
    AIO_CURRENT_OUT = 3,
    AIO_CURRENT_IN = 4,
    AIO_CURRENT_OUT_4_20 = 5,
    AIO_CURRENT_IN_4_20 = 6,
    AIO_RESISTANCE_IN = 7,
    AIO_DIGITAL_IN = 8,
    AIO_FUNCTIONS = 9,  // how many there are
};

// Device function codes: what a channel's function register holds, and what
// the channel operations check before they act.
enum AioDeviceFunction : uint16_t {
    AIO_DEVICE_OFF = 0,
    AIO_DEVICE_VOLTAGE_OUT = 1,
    AIO_DEVICE_CURRENT_OUT = 2,
    AIO_DEVICE_VOLTAGE_IN = 3,
    AIO_DEVICE_CURRENT_IN = 4,
    AIO_DEVICE_RESISTANCE_IN = 6,
    AIO_DEVICE_DIGITAL_IN = 7,
};

// The two functions sharing a device code with another, told apart by the
// channel's Range4to20 alone.
constexpr bool AioIs4to20(int function) {
    return function == AIO_CURRENT_OUT_4_20 || function == AIO_CURRENT_IN_4_20;
}

class Aio_Module : public CorvaneModule {
  public:
    // Function number -> device function code: the one table between them.
    static constexpr uint16_t FunctionCodes[AIO_FUNCTIONS] = {
        AIO_DEVICE_OFF,         AIO_DEVICE_VOLTAGE_OUT,   AIO_DEVICE_VOLTAGE_IN,
        AIO_DEVICE_CURRENT_OUT, AIO_DEVICE_CURRENT_IN,    AIO_DEVICE_CURRENT_OUT,
        AIO_DEVICE_CURRENT_IN,  AIO_DEVICE_RESISTANCE_IN, AIO_DEVICE_DIGITAL_IN};
    // The function number a channel whose device holds `code` has, -1 for a
    // code no function gives.
    static constexpr int FunctionOf(unsigned short code, bool range4to20) {
        int found = -1;
        for (int f = 0; f < AIO_FUNCTIONS; ++f) {
            if (FunctionCodes[f] == code && (found < 0 || AioIs4to20(f) == range4to20)) found = f;
        }
        return found;
    }
    // Module channel -> device channel serving it.
    static constexpr int ChannelMap[4] = {3, 0, 2, 1};
    // Module channel -> LED pin.
    static constexpr int LedMap[4] = {2, 3, 1, 0};
    // CRC-8, polynomial 0x07 (x^8 + x^2 + x + 1).
    static constexpr std::array<uint8_t, 256> CrcTable = MakeCrc8Table(0x07);

    // Port = index, 500 kHz, mode 1, 8 bits; opened by ConnectionTest.
    SpiPort Spi;
    // The monitoring thread is to keep running.
    std::atomic<bool> Running{false};
    // A 4-20 mA function (AioIs4to20): currents scale to 4-20 mA.
    bool Range4to20[4] = {false, false, false, false};
    // Function numbers (AioFunction) by module channel.
    std::atomic<uint8_t> Function[4] = {};
    // Bit 5 of the status byte of the latest register read.
    std::atomic<bool> AlertPending{false};
    // The latest alert status register value read.
    std::atomic<uint16_t> AlertStatus{0};
    // Module channel of the latest conversion.
    uint8_t LastAdcChannel = 0;
    // Monitoring cycles the channel's LED still shows an alert.
    uint16_t AlertCountdown[4] = {0, 0, 0, 0};
    // The latest value set on or measured from the channel was nonzero.
    std::atomic<bool> Active[4] = {};
    std::thread MonitorThread;
    std::mutex Lock;

    Aio_Module(int index, CorvaneLogger* logger);
    // Stops the thread (all channels off first) and closes the port.
    ~Aio_Module() override;

    // Clears the alerts, switches every channel off, starts the thread. 0.
    int init() override;
    // Opens the port and reads identification 8: 0, else -1.
    int ConnectionTest() override;
    int get_InputBit(unsigned char index, bool* value) override;
    int set_OutputBit(unsigned char index, bool value) override;
    int get_OutputBit(unsigned char index, bool* value) override;
    int get_InputRegister(unsigned char index, unsigned short* value) override;
    // Index 0, the function word: a change that fails part-way puts the
    // device's functions and setpoints back, and gives -1.
    int set_OutputRegister(unsigned char index, unsigned short value) override;
    int get_OutputRegister(unsigned char index, unsigned short* value) override;
    // Every channel off with a zero setpoint, thread joined (LEDs off). 0.
    int StopThreads() override;

    // --- device access (0 or -1) ---
    // One frame [address, value, CRC]; the answer is ignored.
    int WriteReg(unsigned char address, unsigned short value);
    // Read select, then a no-operation frame carrying the answer.
    int ReadReg(unsigned char address, unsigned short* value);
    // Sets one bit of a register (read, modify, write).
    int SetBit(unsigned char address, unsigned char bit);
    // CRC of the `length` (1-4) low bytes of data, most significant first.
    int CrcFastInt(int data, int length);
    // Writes Function to the device: 0, or CORVANE_COMMUNICATION_FAULT (reported).
    int SetFunc();
    // LED of a channel: state 0 off, 1 on, 2 alert; CORVANE_ILLEGAL_DATA_VALUE for
    // another state.
    int Set_LED(unsigned char channel, unsigned short state);
    // Reads, reports, marks and resets the alerts: 0, or -1 when unreadable.
    int Get_AlertRegister();
    // Writes the alert status register (1 bits clear).
    int AIO_ResetAlert(unsigned short value);

    // --- channel operations (module channel 0-3) ---
    int Set_V(unsigned char ch, unsigned short millivolts);
    int Set_I(unsigned char ch, unsigned short microamperes);
    int Set_Power(unsigned char ch, unsigned short level);
    // One conversion; the caller holds Lock.
    int Read_ADC(unsigned char ch, unsigned short* code);
    int Measure_V(unsigned char ch, unsigned short* millivolts);
    int Measure_I(unsigned char ch, unsigned short* microamperes);
    int Measure_T(unsigned char ch, unsigned short* tenthsDegree);
    int Get_Power(unsigned char ch, unsigned short* level);
    int Get_DinState(unsigned char ch, bool* state);

    // --- monitoring ---
    // One cycle: measure the inputs, poll alerts if needed, drive the LEDs. 0.
    int Thread_Job();
    // The thread's body; switches the LEDs off once Running is cleared. 0.
    int Check_Cycle();

  private:
    int transfer(const uint8_t* tx, uint8_t* rx);
    int readFunctionCode(unsigned char ch, unsigned short* code);
    int measureLinear(unsigned char ch, unsigned short function, uint32_t fullScale,
                      const char* what, unsigned short* value);
    int setupAdc(int c, unsigned short clear, unsigned short set);

    std::mutex BusLock;
};
