#include "aio_frontend.h"

#include <linux/spi/spidev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <thread>
#include <utility>

#include "models.h"

namespace sim {

namespace {

constexpr uint8_t kReadSelect = 0x41;
constexpr uint8_t kDacSetpoint = 0x16;
constexpr uint8_t kDacReadback = 0x1E;
constexpr uint8_t kConversionControl = 0x23;
constexpr uint8_t kDigitalInputs = 0x25;
constexpr uint8_t kAdcResult = 0x26;
constexpr uint8_t kAlertStatus = 0x2E;
constexpr uint8_t kDeviceStatus = 0x2F;
constexpr uint8_t kIdentificationRegister = 0x46;
constexpr uint8_t kFunction = 0x01;
constexpr uint8_t kLedPinRegister = 0x0E;
constexpr uint16_t kBusy = 1 << 13;
constexpr uint16_t kAlertFlag = 1 << 5;
constexpr uint16_t kDacMask = 0x1FFF;
constexpr uint16_t kConversionMode = 0x0300;
constexpr uint16_t kSingleConversion = 0x0100;

bool ReadOnly(uint8_t address) {
    return (address >= kDacReadback && address < kDacReadback + 4) ||
           (address >= kDigitalInputs && address < kAdcResult + 4) || address == kDeviceStatus ||
           address == kIdentificationRegister;
}

std::shared_ptr<AioFrontend> FrontendAt(Board& board, int index) {
    if (index < 0 || index >= kAioModules) return nullptr;
    // Only a fitted analog module puts a front-end on its device.
    return std::dynamic_pointer_cast<AioFrontend>(board.SpiDeviceAt(index));
}

}  // namespace

AioFrontend::AioFrontend(const AioValues& initial, std::shared_ptr<SpiDevice> sharedDevice)
    : shared(std::move(sharedDevice)), values(initial) {}

uint8_t AioFrontend::Crc(const uint8_t* bytes) {
    uint8_t crc = 0;
    for (int i = 0; i < 3; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

int AioFrontend::Ioctl(unsigned long request, void* arg) {
    if (_IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) == 0) {
        auto* transfers = static_cast<spi_ioc_transfer*>(arg);
        const size_t count = _IOC_SIZE(request) / sizeof(spi_ioc_transfer);
        int bytes = 0;
        for (size_t i = 0; i < count; ++i) {
            spi_ioc_transfer& t = transfers[i];
            const auto* tx = reinterpret_cast<const uint8_t*>(t.tx_buf);
            auto* rx = reinterpret_cast<uint8_t*>(t.rx_buf);
            if (t.len == 4) {
                uint8_t in[4] = {}, out[4];
                if (tx != nullptr) std::memcpy(in, tx, 4);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    const uint32_t clock =
                        std::min(t.speed_hz ? t.speed_hz : speed, kSpiControllerMaxSpeed);
                    if (mode == kMode && clock <= kMaxClock && !csHeld) {
                        Exchange(in, out);
                    } else {
                        std::memset(out, 0xFF, 4);
                    }
                    // cs_change on the last transfer keeps chip select asserted after it.
                    csHeld = (i + 1 == count) == (t.cs_change != 0);
                }
                if (rx != nullptr) std::memcpy(rx, out, 4);
                // A frame takes its time on the wire: others run meanwhile.
                std::this_thread::yield();
            } else if (shared != nullptr) {
                if (shared->Ioctl(SPI_IOC_MESSAGE(1), &t) < 0) return -1;
            } else if (rx != nullptr) {
                std::memset(rx, 0, t.len);
            }
            bytes += static_cast<int>(t.len);
        }
        return bytes;
    }

    // Both devices see the bus settings; the answer is the front-end's.
    if (shared != nullptr && arg != nullptr && _IOC_SIZE(request) <= sizeof(uint32_t)) {
        uint32_t copy = 0;
        std::memcpy(&copy, arg, _IOC_SIZE(request));
        shared->Ioctl(request, &copy);
    }
    std::lock_guard<std::mutex> lock(mutex);
    switch (request) {
        case SPI_IOC_WR_MODE:
            mode = *static_cast<uint8_t*>(arg);
            return 0;
        case SPI_IOC_RD_MODE:
            *static_cast<uint8_t*>(arg) = mode;
            return 0;
        case SPI_IOC_WR_BITS_PER_WORD: {
            // The controller shifts 8-bit words only; 0 means 8.
            const uint8_t bits = *static_cast<uint8_t*>(arg);
            if (bits != 0 && bits != 8) return Fail(EINVAL);
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
            return Fail(ENOTTY);
    }
}

void AioFrontend::Exchange(const uint8_t* in, uint8_t* out) {
    // What goes out was settled by the previous frame.
    const uint16_t value = selected ? answer : 0;
    out[0] = Status();
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value);
    out[3] = Crc(out);
    if (selected && spoiltAnswers > 0) {
        --spoiltAnswers;
        if (spoilt == AnswerFault::WrongCrc) {
            out[3] ^= 0x5A;
        } else {
            std::memset(out, 0xFF, 4);
        }
    }
    selected = false;

    if (Crc(in) == in[3]) {
        const uint16_t data = static_cast<uint16_t>(in[1] << 8 | in[2]);
        if (in[0] == kReadSelect) {
            const uint8_t address = static_cast<uint8_t>(data);
            answer = Read(address);
            selected = true;
            if (address == kDeviceStatus && busyReads > 0) --busyReads;
        } else {
            Write(in[0], data);
        }
    }

    // Like the board's own log, the frame log is kept only where someone
    // reads it: not in the simulator program.
    const size_t limit = std::min(kFrameLog, Board::Get().LogLimit());
    Frame frame;
    std::memcpy(frame.in.data(), in, 4);
    std::memcpy(frame.out.data(), out, 4);
    frames.push_back(frame);
    while (frames.size() > limit) frames.pop_front();
}

uint8_t AioFrontend::Status() const {
    return (alertStatus | values.alert) != 0 ? kAlertFlag : 0;
}

uint16_t AioFrontend::Read(uint8_t address) const {
    switch (address) {
        case kDigitalInputs: {
            uint16_t bits = 0;
            for (int c = 0; c < kAioChannels; ++c) {
                if (values.din[c] != 0)
                    bits = static_cast<uint16_t>(bits | 1u << kDeviceChannel[c]);
            }
            return bits;
        }
        case kAlertStatus:
            return alertStatus | values.alert;
        case kDeviceStatus:
            return hang || busyReads > 0 ? kBusy : 0;
        case kIdentificationRegister:
            return kIdentification;
        default:
            return address < registers.size() ? registers[address] : 0;
    }
}

void AioFrontend::Write(uint8_t address, uint16_t value) {
    if (address >= registers.size() || ReadOnly(address)) return;
    if (address >= kDacSetpoint && address < kDacSetpoint + 4) {
        registers[address] = value & kDacMask;
        registers[address - kDacSetpoint + kDacReadback] = value & kDacMask;
    } else if (address == kAlertStatus) {
        alertStatus &= static_cast<uint16_t>(~value);
    } else if (address == kConversionControl) {
        registers[address] = value;
        busyReads = 0;
        if ((value & kConversionMode) != kSingleConversion) return;
        for (int c = 0; c < kAioChannels; ++c) {
            const int d = kDeviceChannel[c];
            if (value & (1 << d)) registers[kAdcResult + d] = values.adc[c];
        }
        busyReads = kBusyReads;
    } else {
        registers[address] = value;
    }
}

uint16_t AioFrontend::Register(uint8_t address) const {
    std::lock_guard<std::mutex> lock(mutex);
    return Read(address);
}

bool AioFrontend::SetAdc(int channel, uint16_t code) {
    if (channel < 0 || channel >= kAioChannels) return false;
    std::lock_guard<std::mutex> lock(mutex);
    values.adc[channel] = code;
    return true;
}

bool AioFrontend::SetDin(int channel, int level) {
    if (channel < 0 || channel >= kAioChannels) return false;
    std::lock_guard<std::mutex> lock(mutex);
    values.din[channel] = level != 0;
    return true;
}

void AioFrontend::SetAlert(uint16_t bits) {
    std::lock_guard<std::mutex> lock(mutex);
    alertStatus |= values.alert;  // what was raised stays latched
    values.alert = bits;
}

void AioFrontend::FailAnswers(int count, AnswerFault fault) {
    std::lock_guard<std::mutex> lock(mutex);
    spoiltAnswers = count;
    spoilt = fault;
}

void AioFrontend::HangConversions(bool hangs) {
    std::lock_guard<std::mutex> lock(mutex);
    hang = hangs;
}

std::vector<AioFrontend::Frame> AioFrontend::Frames() const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::vector<Frame>(frames.begin(), frames.end());
}

std::vector<std::string> AioFrontend::Show(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> lines;
    for (int c = 0; c < kAioChannels; ++c) {
        const int d = kDeviceChannel[c];
        const uint16_t pin = registers[kLedPinRegister + kLedPin[c]];
        char led[8];
        std::snprintf(led, sizeof led, "0x%04x", pin);
        const char* state = pin == 0x0000 || pin == 0x0004 ? "off"
                            : pin == 0x0009                ? "on"
                            : pin == 0x0001                ? "alert"
                                                           : led;
        lines.push_back(name + " ch" + std::to_string(c + 1) + " function " +
                        std::to_string(registers[kFunction + d]) + " setpoint " +
                        std::to_string(registers[kDacSetpoint + d]) + " led " + state);
    }
    return lines;
}

void InstallAnalogModule(Board& board, const BoardConfig& config, int index) {
    // A temperature module installed on the same device first stays on it.
    board.AddSpiDevice(index,
                       std::make_shared<AioFrontend>(config.aio[index], board.SpiDeviceAt(index)));
}

std::vector<std::string> ShowAnalogModule(Board& board, int index) {
    auto frontend = FrontendAt(board, index);
    if (frontend == nullptr) return {};
    return frontend->Show("AIO" + std::to_string(index + 1));
}

bool SetAnalogAdc(Board& board, int index, int channel, uint16_t code) {
    auto frontend = FrontendAt(board, index);
    return frontend != nullptr && frontend->SetAdc(channel, code);
}

bool SetAnalogDin(Board& board, int index, int channel, int level) {
    auto frontend = FrontendAt(board, index);
    return frontend != nullptr && frontend->SetDin(channel, level);
}

bool SetAnalogAlert(Board& board, int index, uint16_t bits) {
    auto frontend = FrontendAt(board, index);
    if (frontend == nullptr) return false;
    frontend->SetAlert(bits);
    return true;
}

}  // namespace sim
