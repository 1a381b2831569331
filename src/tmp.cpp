#include "tmp.h"

#include <cmath>
#include <syslog.h>

#include "error.h"
#include "platform.h"

namespace {

constexpr uint32_t kSpeed = 500000;
constexpr unsigned long kCyclePauseMicroseconds = 100000;
// Inputs 1-8 sit on the first converter, wired in reverse.
constexpr int kInputsPerConverter = 8;

unsigned RawCode(const uint8_t rx[3]) {
    return ((unsigned{rx[1]} << 8) | rx[2]) & 0x0FFF;
}

}  // namespace

unsigned short TMP_RawToRegister(unsigned x) {
    const double tenths = 10.0 * (0.021592132466482 * x + 3.8937e-6 * x * x - 40.8774465191316);
    return static_cast<unsigned short>(static_cast<int>(std::trunc(tenths)));
}

TemperatureModule::TemperatureModule(unsigned char index, CorvaneLogger* logger)
    : CorvaneModule(logger, "TMP", index + 1),
      PortA{2 * index, kSpeed, 0, 8, -1},
      PortB{2 * index + 1, kSpeed, 0, 8, -1} {
    ++TmpModuleCount;
}

TemperatureModule::~TemperatureModule() {
    StopThreads();
    --TmpModuleCount;
    // Descriptor 0 is an ordinary port when the service runs without standard input.
    for (SpiPort* port : {&PortA, &PortB}) {
        if (port->Fd >= 0) SpiClosePort(*port);
    }
}

int TemperatureModule::init() {
    return set_OutputRegister(0, 1);
}

int TemperatureModule::ConnectionTest() {
    if (SpiOpenPort(PortA) == -1 || SpiOpenPort(PortB) == -1) return -1;
    bool valid = true;
    for (SpiPort* port : {&PortA, &PortB}) {
        for (int entry = 0; entry < kInputsPerConverter; ++entry) {
            uint8_t rx[3];
            if (Convert(*port, entry, rx) != 0) return -1;
            // An input tied low reads 0; a converter that does not drive its
            // null bit low is not there.
            if (RawCode(rx) == 0 || (rx[1] & 0x10) != 0) valid = false;
        }
    }
    return valid ? 0 : -1;
}

int TemperatureModule::get_InputBit(unsigned char, bool*) {
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
}

int TemperatureModule::set_OutputBit(unsigned char, bool) {
    return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
}

int TemperatureModule::get_OutputBit(unsigned char channel, bool* value) {
    return get_InputBit(channel, value);
}

int TemperatureModule::get_InputRegister(unsigned char channel, unsigned short* value) {
    if (channel == 0) {
        *value = 0;
        return 0;
    }
    if (channel > TMP_INPUTS) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    const int i = channel - 1;
    unsigned short x = 0;
    if (HistoryEnabled == 1) {
        get_Temperature(i, &x);
    } else if (ReadChannel(i, &x) != 0) {
        return ModuleError(CORVANE_COMMUNICATION_FAULT, LOG_ERR, "");
    }
    *value = TMP_RawToRegister(x);
    return 0;
}

int TemperatureModule::set_OutputRegister(unsigned char channel, unsigned short value) {
    if (channel != 0) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    if (value == 1) {
        HistoryEnabled = 1;
        if (!HistoryThread.joinable()) {
            ThreadActive = true;
            HistoryThread = std::thread(&TemperatureModule::Check_Cycle, this);
        }
        return 0;
    }
    if (value == 0) {
        HistoryEnabled = 0;
        StopThreads();
        return 0;
    }
    return ModuleError(CORVANE_ILLEGAL_DATA_VALUE, LOG_ERR, "");
}

int TemperatureModule::get_OutputRegister(unsigned char channel, unsigned short* value) {
    if (channel != 0) return ModuleError(CORVANE_ILLEGAL_FUNCTION, LOG_ERR, "");
    *value = HistoryEnabled;
    return 0;
}

int TemperatureModule::StopThreads() {
    ThreadActive = false;
    if (HistoryThread.joinable()) HistoryThread.join();
    return 0;
}

int TemperatureModule::ReadChannel(int i, unsigned short* value) {
    if (i < 0 || i >= TMP_INPUTS) {
        *value = 0;
        return -1;
    }
    uint8_t rx[3];
    const bool first = i < kInputsPerConverter;
    const int entry = first ? kInputsPerConverter - 1 - i : i - kInputsPerConverter;
    if (Convert(first ? PortA : PortB, entry, rx) != 0) return -1;
    *value = static_cast<unsigned short>(RawCode(rx));
    return 0;
}

int TemperatureModule::ReadToHistory(int slot) {
    if (slot < 0 || slot >= TMP_HISTORY) return -1;
    std::lock_guard<std::mutex> lock(HistoryMutex);
    for (int i = 0; i < TMP_INPUTS; ++i) {
        // A failed transfer brings no reading: the slot keeps its previous
        // sample rather than a zero that would drag the mean down.
        if (ReadChannel(i, &History[i][slot]) != 0) return -1;
    }
    return 0;
}

int TemperatureModule::get_Temperature(int i, unsigned short* value) {
    if (i < 0 || i >= TMP_INPUTS) return -1;
    std::lock_guard<std::mutex> lock(HistoryMutex);
    unsigned sum = 0;
    for (uint16_t sample : History[i]) sum += sample;
    *value = static_cast<unsigned short>(sum / TMP_HISTORY);
    return 0;
}

int TemperatureModule::Check_Cycle() {
    if (!ThreadActive) return 0;
    int slot = 0;
    for (;;) {
        ReadToHistory(slot);
        ++slot;
        if (!ThreadActive) return 0;
        if (slot == TMP_HISTORY) {
            os().SleepMicroseconds(kCyclePauseMicroseconds);
            slot = 0;
        }
    }
}

int TemperatureModule::Convert(SpiPort& port, int entry, uint8_t rx[3]) {
    rx[0] = rx[1] = rx[2] = 0;
    return SpiWriteAndRead(port, TMP_ValueMat[entry], rx, 3);
}
