#include "tmp_adc.h"

#include <linux/spi/spi.h>
#include <linux/spi/spidev.h>

#include <algorithm>
#include <cerrno>
#include <sys/ioctl.h>

#include "models.h"

namespace sim {

namespace {

// Mode bits the SPI controller supports.
constexpr uint8_t kControllerModes = SPI_CPHA | SPI_CPOL | SPI_CS_HIGH | SPI_NO_CS;
constexpr uint16_t kCodeMask = 0x0FFF;

std::shared_ptr<TmpConverter> ConverterFor(Board& board, int index, int input, int* at) {
    if (index < 0 || index >= kTmpModules || input < 0 || input >= kTmpInputs) return nullptr;
    const TmpWiring wiring = TmpInputWiring(input);
    *at = wiring.converterInput;
    return std::dynamic_pointer_cast<TmpConverter>(board.SpiDeviceAt(2 * index + wiring.device));
}

}  // namespace

TmpConverter::TmpConverter(const uint16_t initial[kInputs]) {
    std::copy(initial, initial + kInputs, codes);
}

int TmpConverter::Clock(int din) {
    Frame& f = frame;
    if (f.start < 0) {
        if (din) f.start = f.clock;
        ++f.clock;
        return 1;
    }
    const int k = f.clock++ - f.start;  // clocks since the start bit
    if (k == 1) f.single = din;
    if (k >= 2 && k <= 4) f.select = (f.select << 1) | din;  // D2, D1, D0
    if (k == 4) f.code = Sample();
    if (k <= 5) return 1;  // sampling
    if (k == 6) return 0;  // null bit
    if (k <= 18) return (f.code >> (18 - k)) & 1;
    if (k <= 29) return (f.code >> (k - 18)) & 1;
    return 0;
}

// Single-ended: the selected input. Differential: the pair's inputs 2p and
// 2p + 1, the odd one positive when D0 is set; below zero reads 0.
uint16_t TmpConverter::Sample() const {
    const int select = frame.select;
    if (frame.single) return codes[select];
    const int even = codes[select & 6], odd = codes[(select & 6) + 1];
    const int difference = (select & 1) ? odd - even : even - odd;
    return static_cast<uint16_t>(std::max(difference, 0));
}

int TmpConverter::Ioctl(unsigned long request, void* arg) {
    if (arg == nullptr) return Fail(EFAULT);
    std::lock_guard<std::mutex> lock(mutex);
    switch (request) {
        case SPI_IOC_WR_MODE: {
            const uint8_t wanted = *static_cast<uint8_t*>(arg);
            if (wanted & ~kControllerModes) return Fail(EINVAL);
            mode = wanted;
            return 0;
        }
        case SPI_IOC_RD_MODE:
            *static_cast<uint8_t*>(arg) = mode;
            return 0;
        case SPI_IOC_WR_BITS_PER_WORD: {
            const uint8_t wanted = *static_cast<uint8_t*>(arg);
            if (wanted != 0 && wanted != 8) return Fail(EINVAL);  // 0 means 8
            bitsPerWord = 8;
            return 0;
        }
        case SPI_IOC_RD_BITS_PER_WORD:
            *static_cast<uint8_t*>(arg) = bitsPerWord;
            return 0;
        case SPI_IOC_WR_MAX_SPEED_HZ: {
            const uint32_t wanted = *static_cast<uint32_t*>(arg);
            speed = wanted == 0 ? kSpiControllerMaxSpeed : std::min(wanted, kSpiControllerMaxSpeed);
            return 0;
        }
        case SPI_IOC_RD_MAX_SPEED_HZ:
            *static_cast<uint32_t*>(arg) = speed;
            return 0;
        default:
            break;
    }
    if (_IOC_TYPE(request) != SPI_IOC_MAGIC || _IOC_NR(request) != 0 ||
        _IOC_DIR(request) != _IOC_WRITE || _IOC_SIZE(request) % sizeof(spi_ioc_transfer) != 0)
        return Fail(ENOTTY);

    const auto* transfers = static_cast<const spi_ioc_transfer*>(arg);
    const size_t count = _IOC_SIZE(request) / sizeof(spi_ioc_transfer);
    for (size_t n = 0; n < count; ++n) {
        const uint8_t bits = transfers[n].bits_per_word;
        if (bits != 0 && bits != bitsPerWord) return Fail(EINVAL);
    }
    // A message starts a frame unless chip select stayed asserted after the last one.
    if (!csHeld) frame = Frame{};
    int total = 0;
    for (size_t n = 0; n < count; ++n) {
        const spi_ioc_transfer& t = transfers[n];
        const uint32_t clock = std::min(t.speed_hz ? t.speed_hz : speed, kSpiControllerMaxSpeed);
        const bool follows = ((mode & SPI_CPHA) != 0) == ((mode & SPI_CPOL) != 0) &&
                             (mode & (SPI_CS_HIGH | SPI_NO_CS)) == 0 && clock <= kConverterMaxClock;
        const auto* tx = reinterpret_cast<const uint8_t*>(t.tx_buf);
        auto* rx = reinterpret_cast<uint8_t*>(t.rx_buf);
        for (uint32_t i = 0; i < t.len; ++i) {
            const uint8_t out = tx ? tx[i] : 0;
            uint8_t in = 0xFF;
            if (follows) {
                for (int bit = 7; bit >= 0; --bit) {
                    in = static_cast<uint8_t>((in << 1) | Clock((out >> bit) & 1));
                }
            }
            if (rx) rx[i] = in;
        }
        total += static_cast<int>(t.len);
        if (t.cs_change && n + 1 < count) frame = Frame{};
        csHeld = n + 1 == count && t.cs_change;
    }
    return total;
}

void TmpConverter::SetCode(int input, uint16_t code) {
    if (input < 0 || input >= kInputs) return;
    std::lock_guard<std::mutex> lock(mutex);
    codes[input] = code & kCodeMask;
}

uint16_t TmpConverter::Code(int input) const {
    std::lock_guard<std::mutex> lock(mutex);
    return input < 0 || input >= kInputs ? 0 : codes[input];
}

uint32_t TmpConverter::Speed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return speed;
}

TmpWiring TmpInputWiring(int input) {
    if (input < TmpConverter::kInputs) return {0, TmpConverter::kInputs - 1 - input};
    return {1, input - TmpConverter::kInputs};
}

void InstallTemperatureModule(Board& board, const BoardConfig& config, int index) {
    uint16_t codes[2][TmpConverter::kInputs];
    for (int input = 0; input < kTmpInputs; ++input) {
        const TmpWiring wiring = TmpInputWiring(input);
        codes[wiring.device][wiring.converterInput] = config.tmp[index].raw[input];
    }
    for (int device = 0; device < 2; ++device) {
        board.AddSpiDevice(2 * index + device, std::make_shared<TmpConverter>(codes[device]));
    }
}

std::vector<std::string> ShowTemperatureModule(Board& board, int index) {
    std::vector<std::string> lines;
    for (int input = 0; input < kTmpInputs; ++input) {
        int at = 0;
        const auto converter = ConverterFor(board, index, input, &at);
        if (!converter) return {};
        lines.push_back("TMP" + std::to_string(index + 1) + " in" + std::to_string(input + 1) +
                        " code " + std::to_string(converter->Code(at)));
    }
    return lines;
}

bool SetTemperatureRaw(Board& board, int index, int input, uint16_t code) {
    int at = 0;
    const auto converter = ConverterFor(board, index, input, &at);
    if (!converter || code > kCodeMask) return false;
    converter->SetCode(at, code);
    return true;
}

}  // namespace sim
