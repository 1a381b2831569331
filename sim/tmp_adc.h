// The temperature module's converters: two 8-input 12-bit SPI converters per
// module t, on SPI devices 2t (module inputs 1-8, wired in reverse: converter
// input k carries module input 8 - k) and 2t + 1 (converter input k carries
// module input 9 + k).
//
// A conversion is one frame with chip select held: after a start bit the
// converter takes the single/differential bit and three input bits, samples
// for one clock, drives a null bit low and then the 12-bit code, MSB first
// (then the code again LSB first, then zeros). Before its null bit the line
// is not driven and reads 1. The frame ends when chip select rises: a
// message whose last transfer keeps it asserted (cs_change) runs on into the
// next message. The spidev node's settings are part of the model: mode, word
// size and speed, capped at what the controller can do.
#pragma once

#include <cstdint>
#include <mutex>

#include "sim.h"

namespace sim {

class TmpConverter : public SpiDevice {
  public:
    static constexpr int kInputs = 8;
    // The fastest clock the converter follows.
    static constexpr uint32_t kConverterMaxClock = 2000000;

    // `initial`: the codes by converter input 0-7.
    explicit TmpConverter(const uint16_t initial[kInputs]);

    // The spidev requests: mode, word size and speed (write and read back),
    // and SPI_IOC_MESSAGE, which returns the bytes transferred. A frame the
    // converter cannot follow (clock phase unlike polarity, chip select
    // active high, clock above kConverterMaxClock) reads all ones.
    int Ioctl(unsigned long request, void* arg) override;

    void SetCode(int input, uint16_t code);  // input 0-7, code 0-4095
    uint16_t Code(int input) const;
    uint32_t Speed() const;  // the node's current maximum speed

  private:
    // The frame since chip select fell: clocks, the start bit's clock, the
    // single/differential bit, the input bits and the code they sampled.
    struct Frame {
        int clock = 0, start = -1, single = 0, select = 0;
        uint16_t code = 0;
    };
    int Clock(int din);  // takes one DIN bit of the frame, gives the DOUT bit (1 while not driven)
    uint16_t Sample() const;

    mutable std::mutex mutex;
    uint16_t codes[kInputs];
    uint8_t mode = 0;
    uint8_t bitsPerWord = 8;
    uint32_t speed = kSpiControllerMaxSpeed;
    Frame frame;
    bool csHeld = false;
};

// Where module input `input` (0-15, input-register order) is converted:
// device offset 0 or 1 within the module, converter input 0-7.
struct TmpWiring {
    int device;
    int converterInput;
};
TmpWiring TmpInputWiring(int input);

}  // namespace sim
