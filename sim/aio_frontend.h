// The analog module's front-end on its SPI device, as far as the driver
// uses it.
//
// Protocol: every exchange is one 4-byte frame [address, data high, data
// low, CRC-8] (polynomial 0x07, initial 0, over the first three bytes). A
// frame with a wrong CRC is ignored. The device takes SPI mode 1 and a clock
// up to kMaxClock, and a frame ends when chip select rises: a frame clocked
// in another mode or faster, or one that runs on while chip select stayed
// asserted from the frame before, is not taken, and the data line is not
// driven meanwhile (reads ones). A write to the read select register
// 0x41 selects a register (its low byte); the frame that follows, whatever
// it is, carries the answer [status, value high, value low, CRC], with the
// status byte's bit 5 set while an alert is raised. Frames not preceded by a
// read select are answered [status, 0, 0, CRC].
//
// Registers (d a device channel 0-3, p an LED pin 0-3): function 0x01+d, ADC
// setup 0x05+d, LED pin 0x0E+p, DAC setpoint 0x16+d (13 bits) with its
// readback 0x1E+d, conversion control 0x23 (0x0100 | channel bits starts one
// conversion of those channels), digital inputs 0x25, ADC results 0x26+d,
// alert status 0x2E (a raised alert latches its bit, which a written 1
// clears once the alert has gone), device status 0x2F (bit 13 busy for
// the next kBusyReads reads after a start), identification 0x46 = 8. Other
// addresses below 0x80 are plain storage.
//
// Values come by MODULE channel 0-3 (AioValues); the module's wiring leads
// module channel c to device channel kDeviceChannel[c] and LED pin kLedPin[c].
// Alerts are raised from AioValues::alert as long as it holds them.
//
// A temperature module set to the same chip select (a DIP-switch conflict)
// shares the device: transfers of another length than 4 bytes are its
// commands and go to it, 4-byte frames are the front-end's.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim.h"

namespace sim {

class AioFrontend : public SpiDevice {
  public:
    // The module's wiring: its board traces, not the driver's tables.
    static constexpr int kDeviceChannel[kAioChannels] = {3, 0, 2, 1};
    static constexpr int kLedPin[kAioChannels] = {2, 3, 1, 0};
    static constexpr uint8_t kMode = 1;  // SPI_MODE_1: clock idles low, data sampled on its fall
    static constexpr uint32_t kMaxClock = 24000000;
    static constexpr uint16_t kIdentification = 8;
    static constexpr int kBusyReads = 2;
    // Frames kept for inspection, newest last.
    static constexpr size_t kFrameLog = 4096;

    // One frame: the bytes the device received and those it sent back.
    struct Frame {
        std::array<uint8_t, 4> in;
        std::array<uint8_t, 4> out;
    };
    enum class AnswerFault { WrongCrc, Floating };

    // `sharedDevice`: a device already on this chip select, or null.
    AioFrontend(const AioValues& initial, std::shared_ptr<SpiDevice> sharedDevice);

    int Ioctl(unsigned long request, void* arg) override;

    // A register as a read would answer it (without the side effects).
    uint16_t Register(uint8_t address) const;
    // Live values by module channel 0-3; false for another channel.
    bool SetAdc(int channel, uint16_t code);
    bool SetDin(int channel, int level);
    // The alerts raised from now on (until changed): their bits latch.
    void SetAlert(uint16_t bits);
    // The next `count` answers to a read select are spoilt: a wrong CRC
    // byte, or four 0xFF bytes (nobody drives the data line).
    void FailAnswers(int count, AnswerFault fault);
    // true: the conversion never finishes, the busy bit stays set; false:
    // conversions take their kBusyReads status reads again.
    void HangConversions(bool hang);
    // The newest frames, oldest first.
    std::vector<Frame> Frames() const;
    // "<name> ch<c> function <code> setpoint <dac> led <off|on|alert|0x..>"
    // for module channels 1-4, from the registers.
    std::vector<std::string> Show(const std::string& name) const;

    // CRC-8 of the frame's first three bytes.
    static uint8_t Crc(const uint8_t* bytes);

  private:
    void Exchange(const uint8_t* in, uint8_t* out);
    void Write(uint8_t address, uint16_t value);
    uint16_t Read(uint8_t address) const;
    uint8_t Status() const;

    mutable std::mutex mutex;
    const std::shared_ptr<SpiDevice> shared;
    AioValues values;
    std::array<uint16_t, 0x80> registers{};
    uint16_t alertStatus = 0;
    int busyReads = 0;
    bool hang = false;
    bool selected = false;  // the previous frame was a read select
    uint16_t answer = 0;
    int spoiltAnswers = 0;
    AnswerFault spoilt = AnswerFault::WrongCrc;
    uint8_t mode = 0, bitsPerWord = 8;
    uint32_t speed = kSpiControllerMaxSpeed;
    bool csHeld = false;  // chip select stayed asserted after the last transfer
    std::deque<Frame> frames;
};

}  // namespace sim
