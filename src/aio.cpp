#include "aio.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <syslog.h>

#include "error.h"
#include "platform.h"

namespace {

// Front-end registers (d a device channel, p an LED pin).
constexpr unsigned char kNoOperation = 0x00;
constexpr unsigned char kFunctionReg = 0x01;     // + d
constexpr unsigned char kAdcSetupReg = 0x05;     // + d
constexpr unsigned char kLedPinReg = 0x0E;       // + p
constexpr unsigned char kDacSetpointReg = 0x16;  // + d
constexpr unsigned char kDacReadbackReg = 0x1E;  // + d
constexpr unsigned char kConversionReg = 0x23;
constexpr unsigned char kDigitalInputReg = 0x25;
constexpr unsigned char kAdcResultReg = 0x26;  // + d
constexpr unsigned char kAlertStatusReg = 0x2E;
constexpr unsigned char kDeviceStatusReg = 0x2F;
constexpr unsigned char kReadSelectReg = 0x41;
constexpr unsigned char kIdentificationReg = 0x46;

constexpr unsigned short kIdentification = 8;
constexpr unsigned short kReadSelect = 0x0100;
constexpr unsigned short kStartConversion = 0x0100;
constexpr unsigned short kStopConversion = 0x0000;
constexpr unsigned short kConversionBusy = 1 << 13;
constexpr unsigned short kResetAllAlerts = 0xFFFF;
constexpr unsigned short kAdcAlerts = 0x0C00;
constexpr uint8_t kAlertFlag = 1 << 5;
constexpr unsigned short kLedOff = 0x0004, kLedOn = 0x0009, kLedAlert = 0x0001;

constexpr int kStatusRepeats = 1000;
constexpr unsigned long kStatusWaitMicroseconds = 10;
constexpr unsigned long kClearingWaitMicroseconds = 250;
constexpr unsigned long kChannelWaitMicroseconds = 150;
constexpr unsigned long kCycleMicroseconds = 500000;
constexpr uint16_t kAlertCycles = 10;
// Tries at putting the functions and setpoints back after a failed change.
constexpr int kResetAttempts = 5;

static_assert(Aio_Module::CrcTable[1] == 0x07 && Aio_Module::CrcTable[7] == 0x15,
              "CRC-8 table of polynomial 0x07");
static_assert(Aio_Module::FunctionOf(AIO_DEVICE_CURRENT_OUT, true) == AIO_CURRENT_OUT_4_20 &&
                  Aio_Module::FunctionOf(AIO_DEVICE_CURRENT_OUT, false) == AIO_CURRENT_OUT &&
                  Aio_Module::FunctionOf(AIO_DEVICE_VOLTAGE_OUT, true) == AIO_VOLTAGE_OUT &&
                  Aio_Module::FunctionOf(5, false) == -1,
              "device codes back to function numbers");

// double -> 32-bit integer toward zero, low 16 bits kept.
unsigned short Trunc(double value) {
    return static_cast<unsigned short>(static_cast<int32_t>(value));
}

std::string Number(int n) {
    return std::to_string(n);
}

}  // namespace

Aio_Module::Aio_Module(int index, CorvaneLogger* logger) : CorvaneModule(logger, "AIO", index + 1) {
    Spi.Port = index;
    Spi.Speed = 500000;
    Spi.Mode = 1;
    Spi.BitsPerWord = 8;
    Spi.Fd = -1;
}

Aio_Module::~Aio_Module() {
    if (Running.exchange(false)) {
        for (auto& function : Function) function = 0;
        SetFunc();
    }
    if (MonitorThread.joinable()) MonitorThread.join();
    if (Spi.Fd > 0) SpiClosePort(Spi);
}

// ---------------------------------------------------------------------------
// Device access
// ---------------------------------------------------------------------------

int Aio_Module::transfer(const uint8_t* tx, uint8_t* rx) {
    return SpiWriteAndRead(Spi, tx, rx, 4);
}

int Aio_Module::CrcFastInt(int data, int length) {
    if (length < 1) return 0;
    if (length > 4) length = 4;
    uint8_t crc = 0;
    for (int i = length - 1; i >= 0; --i) {
        crc = CrcTable[crc ^ ((static_cast<unsigned>(data) >> (8 * i)) & 0xFF)];
    }
    return crc;
}

int Aio_Module::WriteReg(unsigned char address, unsigned short value) {
    uint8_t frame[4] = {address, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value), 0};
    frame[3] = static_cast<uint8_t>(CrcFastInt(address << 16 | value, 3));
    uint8_t ignored[4];
    std::lock_guard<std::mutex> bus(BusLock);
    return transfer(frame, ignored) == 0 ? 0 : -1;
}

int Aio_Module::ReadReg(unsigned char address, unsigned short* value) {
    AlertPending = false;
    const unsigned short select = kReadSelect | address;
    uint8_t frame[4] = {kReadSelectReg, static_cast<uint8_t>(select >> 8),
                        static_cast<uint8_t>(select), 0};
    frame[3] = static_cast<uint8_t>(CrcFastInt(kReadSelectReg << 16 | select, 3));
    const uint8_t noOperation[4] = {kNoOperation, 0, 0, 0};
    uint8_t ignored[4], answer[4] = {};
    {
        // The answer comes in the frame right after the select.
        std::lock_guard<std::mutex> bus(BusLock);
        if (transfer(frame, ignored) != 0 || transfer(noOperation, answer) != 0) return -1;
    }
    if (CrcFastInt(answer[0] << 16 | answer[1] << 8 | answer[2], 3) != answer[3]) return -1;
    AlertPending = (answer[0] & kAlertFlag) != 0;
    *value = static_cast<unsigned short>(answer[1] << 8 | answer[2]);
    return 0;
}

int Aio_Module::SetBit(unsigned char address, unsigned char bit) {
    unsigned short value = 0;
    if (bit > 15 || ReadReg(address, &value) != 0) return -1;
    return WriteReg(address, static_cast<unsigned short>(value | 1u << bit));
}

// ADC setup of module channel c: read, clear then set bits, write back. A
// value that could not be read is not written back.
int Aio_Module::setupAdc(int c, unsigned short clear, unsigned short set) {
    const unsigned char address = static_cast<unsigned char>(kAdcSetupReg + ChannelMap[c]);
    unsigned short setup = 0;
    if (ReadReg(address, &setup) != 0 ||
        WriteReg(address, static_cast<unsigned short>((setup & ~clear) | set)) != 0) {
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "(Channel " + Number(c + 1) + ")");
    }
    return 0;
}

int Aio_Module::SetFunc() {
    // All four device channels, straight: nothing may keep driving while the
    // functions change.
    for (unsigned char n = 1; n <= 4; ++n) {
        if (WriteReg(static_cast<unsigned char>(kDacSetpointReg - 1 + n), 0) != 0 ||
            WriteReg(static_cast<unsigned char>(kFunctionReg - 1 + n), AIO_DEVICE_OFF) != 0) {
            return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
        }
        Active[n - 1] = false;
    }
    os().SleepMicroseconds(kClearingWaitMicroseconds);

    for (int c = 0; c < 4; ++c) {
        const int function = Function[c];
        const unsigned short code =
            function < AIO_FUNCTIONS ? FunctionCodes[function] : uint16_t{AIO_DEVICE_OFF};
        if (WriteReg(static_cast<unsigned char>(kFunctionReg + ChannelMap[c]), code) != 0) {
            return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
        }
        int r = 0;
        if (code == AIO_DEVICE_OFF || code == AIO_DEVICE_DIGITAL_IN) {
            r = setupAdc(c, 0, 0x0004);
        } else if (code == AIO_DEVICE_VOLTAGE_IN || code == AIO_DEVICE_CURRENT_IN ||
                   code == AIO_DEVICE_RESISTANCE_IN) {
            r = setupAdc(c, 0x0018, 0x0008);
        }
        if (r != 0) return r;
        Range4to20[c] = AioIs4to20(function);
        os().SleepMicroseconds(kChannelWaitMicroseconds);
    }
    return 0;
}

int Aio_Module::Set_LED(unsigned char channel, unsigned short state) {
    static constexpr unsigned short kPinValues[3] = {kLedOff, kLedOn, kLedAlert};
    if (channel > 3 || state > 2) return CORVANE_ILLEGAL_DATA_VALUE;
    return WriteReg(static_cast<unsigned char>(kLedPinReg + LedMap[channel]), kPinValues[state]);
}

int Aio_Module::AIO_ResetAlert(unsigned short value) {
    if (WriteReg(kAlertStatusReg, value) != 0) return -1;
    AlertPending = false;
    AlertStatus = 0;
    return 0;
}

int Aio_Module::Get_AlertRegister() {
    AlertStatus = 0;
    unsigned short status = 0;
    if (ReadReg(kAlertStatusReg, &status) != 0) {
        ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "(Could not Read Alert Status Register)");
        return -1;
    }
    AlertStatus = status;
    if (status == 0) return 0;

    char hex[8];
    std::snprintf(hex, sizeof hex, "%x", status);
    ModuleError(CORVANE_MODULE_MALFUNCTION, LOG_ERR,
                std::string("(Alert Status Register: 0x") + hex + ")");
    if (status & kAdcAlerts) {
        std::printf("Set ADC ALERT on Channel %c \n", 'A' + LastAdcChannel);
        AlertCountdown[LastAdcChannel] = kAlertCycles;
    }
    for (int i = 0; i < 4; ++i) {
        if ((status & (1 << i)) == 0) continue;
        // Names the alert bit and the channel whose LED it marks.
        std::printf("Set Channel Alert %d on Channel %c \n", i, 'A' + LedMap[i]);
        AlertCountdown[LedMap[i]] = kAlertCycles;
    }
    std::fflush(stdout);
    AIO_ResetAlert(kResetAllAlerts);
    return 0;
}

// ---------------------------------------------------------------------------
// Channel operations
// ---------------------------------------------------------------------------

int Aio_Module::readFunctionCode(unsigned char ch, unsigned short* code) {
    return ReadReg(static_cast<unsigned char>(kFunctionReg + ChannelMap[ch]), code);
}

int Aio_Module::Set_V(unsigned char ch, unsigned short millivolts) {
    if (ch > 3) return CORVANE_ILLEGAL_FUNCTION;
    if (millivolts > 10000) {
        return ModuleError(CORVANE_ILLEGAL_DATA_VALUE, LOG_WARNING,
                           "(Channel " + Number(ch + 1) + ")");
    }
    unsigned short code = 0;
    if (readFunctionCode(ch, &code) != 0) return -1;
    if (code != AIO_DEVICE_VOLTAGE_OUT) {
        return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING,
                           "(Writing Voltage to Channel " + Number(ch + 1) +
                               ", current Function: " + Number(code) + ")");
    }
    const unsigned short dac = Trunc(millivolts * 8191.0 / 11000.0 + 0.5);
    if (WriteReg(static_cast<unsigned char>(kDacSetpointReg + ChannelMap[ch]), dac) != 0) return -1;
    Active[ch] = millivolts != 0;
    return 0;
}

int Aio_Module::Set_I(unsigned char ch, unsigned short microamperes) {
    if (ch > 3) return CORVANE_ILLEGAL_FUNCTION;
    unsigned short code = 0;
    if (readFunctionCode(ch, &code) != 0) return -1;
    if (code != AIO_DEVICE_CURRENT_OUT) {
        return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING,
                           "Writing Current to Channel " + Number(ch + 1) +
                               "(current Function: " + Number(code) + ")");
    }
    if (Range4to20[ch] && microamperes < 4000) return CORVANE_ILLEGAL_DATA_VALUE;
    if (microamperes > 20000) return CORVANE_ILLEGAL_DATA_VALUE;
    const unsigned short dac = Trunc(microamperes * 8191.0 / 25000.0 + 0.5);
    if (WriteReg(static_cast<unsigned char>(kDacSetpointReg + ChannelMap[ch]), dac) != 0) return -1;
    Active[ch] = microamperes != 0;
    return 0;
}

int Aio_Module::Set_Power(unsigned char ch, unsigned short level) {
    if (ch > 3) return CORVANE_ILLEGAL_FUNCTION;
    if (level > 1000) return CORVANE_ILLEGAL_DATA_VALUE;
    Active[ch] = level != 0;
    unsigned short code = 0;
    if (readFunctionCode(ch, &code) != 0) return -1;
    if (code == AIO_DEVICE_CURRENT_OUT) {
        return Range4to20[ch] ? Set_I(ch, static_cast<unsigned short>((level + 250) * 16))
                              : Set_I(ch, static_cast<unsigned short>(level * 20));
    }
    if (code == AIO_DEVICE_VOLTAGE_OUT) return Set_V(ch, static_cast<unsigned short>(level * 10));
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING,
                       "(Writing Power to Channel " + Number(ch + 1) +
                           " not in Output mode, current Function: " + Number(code) + ")");
}

int Aio_Module::Read_ADC(unsigned char ch, unsigned short* code) {
    if (ch > 3) return CORVANE_ILLEGAL_FUNCTION;
    const int d = ChannelMap[ch];
    LastAdcChannel = ch;
    if (WriteReg(kAlertStatusReg, kAdcAlerts) != 0) return -1;
    AlertStatus = 0;
    AlertPending = false;
    if (WriteReg(kConversionReg, static_cast<unsigned short>(kStartConversion | 1 << d)) != 0) {
        return -1;
    }

    // A status read that fails counts as a finished conversion.
    unsigned short status = 0;
    bool busy = ReadReg(kDeviceStatusReg, &status) == 0 && (status & kConversionBusy);
    os().SleepMicroseconds(kStatusWaitMicroseconds);
    for (int repeat = 1; busy; ++repeat) {
        busy = ReadReg(kDeviceStatusReg, &status) == 0 && (status & kConversionBusy);
        os().SleepMicroseconds(kStatusWaitMicroseconds);
        if (repeat == kStatusRepeats) return -1;
    }

    if (WriteReg(kConversionReg, kStopConversion) != 0) return -1;
    if (Get_AlertRegister() != 0) return -1;
    return ReadReg(static_cast<unsigned char>(kAdcResultReg + d), code) == 0 ? 0 : -1;
}

// Voltage and current inputs: one conversion scaled to the full range.
int Aio_Module::measureLinear(unsigned char ch, unsigned short function, uint32_t fullScale,
                              const char* what, unsigned short* value) {
    if (ch > 3) return CORVANE_ILLEGAL_FUNCTION;
    std::lock_guard<std::mutex> guard(Lock);
    unsigned short code = 0, raw = 0;
    if (readFunctionCode(ch, &code) != 0) return -1;
    if (code != function) {
        return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING,
                           std::string("(Measuring ") + what + " on Channel " + Number(ch + 1) +
                               ", current Function: " + Number(code) + ")");
    }
    if (Read_ADC(ch, &raw) != 0) return -1;
    *value = static_cast<unsigned short>(uint32_t{raw} * fullScale / 65535u);
    Active[ch] = *value != 0;
    return 0;
}

int Aio_Module::Measure_V(unsigned char ch, unsigned short* millivolts) {
    return measureLinear(ch, AIO_DEVICE_VOLTAGE_IN, 10000u, "Voltage", millivolts);
}

int Aio_Module::Measure_I(unsigned char ch, unsigned short* microamperes) {
    return measureLinear(ch, AIO_DEVICE_CURRENT_IN, 25000u, "Current", microamperes);
}

int Aio_Module::Measure_T(unsigned char ch, unsigned short* tenthsDegree) {
    if (ch > 3) return CORVANE_ILLEGAL_FUNCTION;
    std::lock_guard<std::mutex> guard(Lock);
    unsigned short code = 0, raw = 0;
    if (readFunctionCode(ch, &code) != 0) return -1;
    if (code != AIO_DEVICE_RESISTANCE_IN) {
        return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING,
                           "(Measuring Temp on Channel " + Number(ch + 1) +
                               ", current Function: " + Number(code) + ")");
    }
    if (Read_ADC(ch, &raw) != 0) return -1;
    if (raw == 65535) {
        *tenthsDegree = MODULE_NO_VALUE;
        return -1;
    }
    // Sensor resistance against the 2100 ohm reference.
    const uint16_t r = static_cast<uint16_t>(int32_t{raw} * 2100 / (65535 - int32_t{raw}));
    if (r < 851 || r > 1599) {
        *tenthsDegree = MODULE_NO_VALUE;
        return 0;
    }
    // Callendar-Van Dusen solved for t, Pt1000, IEC 60751 A and B, scaled
    // by 10^6 under the root and to tenths of a degree.
    const double x = 15.27480889 - (1000 - r) * (-0.00231);
    *tenthsDegree = Trunc(((std::sqrt(x) - 3.9083) * 10) / (-0.001155));
    return 0;
}

int Aio_Module::Get_Power(unsigned char ch, unsigned short* level) {
    if (ch > 3) return CORVANE_ILLEGAL_FUNCTION;
    unsigned short code = 0;
    if (readFunctionCode(ch, &code) != 0) return -1;
    if (code == AIO_DEVICE_CURRENT_IN) {
        unsigned short microamperes = 0;
        const int r = Measure_I(ch, &microamperes);
        // A channel whose function changed since the check has no value.
        if (r != 0) return r < 0 ? -1 : r;
        *level = Range4to20[ch] ? static_cast<unsigned short>((int{microamperes} - 4000) / 16)
                                : static_cast<unsigned short>(microamperes / 20);
        return 0;
    }
    if (code == AIO_DEVICE_VOLTAGE_IN) {
        unsigned short millivolts = 0;
        const int r = Measure_V(ch, &millivolts);
        if (r != 0) return r < 0 ? -1 : r;
        *level = static_cast<unsigned short>(millivolts / 10);
        return 0;
    }
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING,
                       "(Reading Power from Channel " + Number(ch + 1) +
                           " not in Input Mode, current Function: " + Number(code) + ")");
}

int Aio_Module::Get_DinState(unsigned char ch, bool* state) {
    if (ch > 3) return CORVANE_ILLEGAL_FUNCTION;
    std::lock_guard<std::mutex> guard(Lock);
    unsigned short code = 0, inputs = 0;
    if (readFunctionCode(ch, &code) != 0) return -1;
    if (code != AIO_DEVICE_DIGITAL_IN) return CORVANE_ILLEGAL_FUNCTION;
    if (ReadReg(kDigitalInputReg, &inputs) != 0) return -1;
    *state = (inputs >> ChannelMap[ch]) & 1;
    Active[ch] = *state;
    return 0;
}

// ---------------------------------------------------------------------------
// Modbus-facing slots
// ---------------------------------------------------------------------------

int Aio_Module::get_InputBit(unsigned char index, bool* value) {
    if (index <= 3) return Get_DinState(index, value);
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING, "");
}

int Aio_Module::set_OutputBit(unsigned char, bool) {
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING, "");
}

int Aio_Module::get_OutputBit(unsigned char, bool*) {
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING, "");
}

int Aio_Module::get_InputRegister(unsigned char index, unsigned short* value) {
    if (index == 0) return ReadReg(kAlertStatusReg, value) == 0 ? 0 : -1;
    const unsigned char ch = static_cast<unsigned char>((index - 1) % 4);
    if (index <= 4) return Get_Power(ch, value);
    if (index <= 8) return Measure_T(ch, value);
    if (index <= 12) return Measure_V(ch, value);
    if (index <= 16) return Measure_I(ch, value);
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING, "");
}

int Aio_Module::set_OutputRegister(unsigned char index, unsigned short value) {
    if (index == 0) {
        bool valid = true;
        for (int k = 0; k < 4; ++k) valid = valid && ((value >> (4 * k)) & 0xF) < AIO_FUNCTIONS;
        if (!valid) {
            // The device keeps its configuration until a valid word comes.
            for (auto& function : Function) function = 0;
            return ModuleError(CORVANE_ILLEGAL_DATA_VALUE, LOG_ERR, "");
        }
        // What the device holds, to be put back should the change fail
        // part-way: a half-changed module drives what nobody asked for.
        unsigned short before = 0, setpoints[4] = {};
        if (get_OutputRegister(0, &before) != 0) return -1;
        for (int d = 0; d < 4; ++d) {
            if (ReadReg(static_cast<unsigned char>(kDacReadbackReg + d), &setpoints[d]) != 0) {
                ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
                return -1;
            }
        }
        for (int k = 0; k < 4; ++k) Function[k] = (value >> (4 * k)) & 0xF;
        if (SetFunc() == 0) return 0;
        for (int attempt = 0; attempt < kResetAttempts; ++attempt) {
            for (int k = 0; k < 4; ++k) Function[k] = (before >> (4 * k)) & 0xF;
            bool reset = SetFunc() == 0;
            for (int d = 0; reset && d < 4; ++d)
                reset =
                    WriteReg(static_cast<unsigned char>(kDacSetpointReg + d), setpoints[d]) == 0;
            if (reset) return -1;
        }
        ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "(Functions could not be reset)");
        return -1;
    }
    const unsigned char ch = static_cast<unsigned char>((index - 1) % 4);
    const int function = index <= 12 ? Function[ch].load() : -1;
    const bool voltageOut = function == AIO_VOLTAGE_OUT;
    const bool currentOut = function == AIO_CURRENT_OUT || function == AIO_CURRENT_OUT_4_20;
    if (index <= 4 && (voltageOut || currentOut)) return Set_Power(ch, value);
    if (index >= 5 && index <= 8 && voltageOut) return Set_V(ch, value);
    if (index >= 9 && index <= 12 && currentOut) return Set_I(ch, value);
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING, "");
}

int Aio_Module::get_OutputRegister(unsigned char index, unsigned short* value) {
    std::lock_guard<std::mutex> guard(Lock);
    if (index == 0) {
        *value = 0;
        for (int c = 0; c < 4; ++c) {
            unsigned short code = 0;
            if (readFunctionCode(static_cast<unsigned char>(c), &code) != 0) {
                return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
            }
            // A code no function gives leaves the channel's function as it was.
            const int function = FunctionOf(code, Range4to20[c]);
            if (function >= 0) Function[c] = static_cast<uint8_t>(function);
        }
        unsigned short word = 0;
        for (int c = 0; c < 4; ++c)
            word = static_cast<unsigned short>(word | Function[c] << (4 * c));
        *value = word;
        return 0;
    }
    if (index > 12) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING, "");

    const int ch = (index - 1) % 4;
    const int function = Function[ch];
    const bool voltageOut = function == AIO_VOLTAGE_OUT;
    const bool currentOut = function == AIO_CURRENT_OUT || function == AIO_CURRENT_OUT_4_20;
    const bool fits = index <= 4 ? voltageOut || currentOut : index <= 8 ? voltageOut : currentOut;
    if (!fits) {
        *value = MODULE_NO_VALUE;
        return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_WARNING, "");
    }
    unsigned short code = 0;
    if (ReadReg(static_cast<unsigned char>(kDacReadbackReg + ChannelMap[ch]), &code) != 0) {
        return -1;
    }
    if (index <= 4 && function == AIO_VOLTAGE_OUT) {
        *value = Trunc(code * 11000.0 / 8191.0 / 10.0 + 0.5);
    } else if (index <= 4 && function == AIO_CURRENT_OUT) {
        *value = Trunc(code * 25000.0 / 8191.0 / 20.0 + 0.5);
    } else if (index <= 4) {
        *value = Trunc((code * 25000.0 / 8191.0 - 4000) * 0.0625 + 0.5);
    } else if (index <= 8) {
        *value = Trunc(code * 11000.0 / 8191.0 + 0.5);
    } else {
        *value = Trunc(code * 25000.0 / 8191.0 + 0.5);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Lifecycle and monitoring
// ---------------------------------------------------------------------------

int Aio_Module::ConnectionTest() {
    // Opening the port sets the device's mode for every user of it. A probe
    // that finds no analog module, at whatever step, puts the mode back, so
    // that a temperature module on the same device goes on converting.
    uint32_t modeBefore = 0;
    const bool opened = Spi.Fd < 0;
    const bool modeKnown = opened && SpiGetMode(Spi.Port, &modeBefore) == 0;
    unsigned short id = 0;
    if ((!opened || SpiOpenPort(Spi) == 0) && ReadReg(kIdentificationReg, &id) == 0 &&
        id == kIdentification)
        return 0;
    if (modeKnown) SpiSetMode(Spi.Port, modeBefore);
    return -1;
}

int Aio_Module::init() {
    AIO_ResetAlert(kResetAllAlerts);
    SetFunc();
    // A second init must not replace a running thread.
    if (MonitorThread.joinable()) return 0;
    Running = true;
    MonitorThread = std::thread(&Aio_Module::Check_Cycle, this);
    return 0;
}

int Aio_Module::StopThreads() {
    if (!Running.exchange(false)) return 0;
    set_OutputRegister(0, 0);
    if (MonitorThread.joinable()) MonitorThread.join();
    return 0;
}

int Aio_Module::Check_Cycle() {
    while (Running) {
        Thread_Job();
        os().SleepMicroseconds(kCycleMicroseconds);
    }
    for (int pin : LedMap) WriteReg(static_cast<unsigned char>(kLedPinReg + pin), kLedOff);
    return 0;
}

int Aio_Module::Thread_Job() {
    bool measured = false;
    for (unsigned char c = 0; c < 4; ++c) {
        unsigned short value = 0;
        bool state = false;
        switch (Function[c]) {
            case AIO_VOLTAGE_IN:
                Measure_V(c, &value);
                break;
            case AIO_CURRENT_IN:
            case AIO_CURRENT_IN_4_20:
                Measure_I(c, &value);
                break;
            case AIO_RESISTANCE_IN:
                Measure_T(c, &value);
                break;
            case AIO_DIGITAL_IN:
                Get_DinState(c, &state);
                break;
            default:
                continue;
        }
        measured = true;
    }

    std::lock_guard<std::mutex> guard(Lock);
    if (AlertPending || !measured) Get_AlertRegister();
    for (int c = 0; c < 4; ++c) {
        const auto pin = static_cast<unsigned char>(kLedPinReg + LedMap[c]);
        if (AlertCountdown[c] > 0) {
            WriteReg(pin, kLedAlert);
            --AlertCountdown[c];
        } else {
            WriteReg(pin, Active[c] ? kLedOn : kLedOff);
        }
    }
    return 0;
}
