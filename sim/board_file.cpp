// Board files: which modules are fitted to the simulated board, the levels of
// the base-module inputs and whether the I2C bus is there.
#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <libconfig.h++>
#include <memory>
#include <set>

#include "config_file.h"

namespace sim {

namespace {

struct ModuleKey {
    const char* name;
    int count;
    std::vector<int> BoardConfig::*list;
};

constexpr ModuleKey kModuleKeys[] = {
    {"pwm", 8, &BoardConfig::pwm},
    {"relay", 4, &BoardConfig::relay},
    {"temperature", 3, &BoardConfig::temperature},
    {"analog", 7, &BoardConfig::analog},
};

bool IsSequence(const libconfig::Setting& setting) {
    return setting.isArray() || setting.isList();
}

// One reason why a setting is not what the board file allows: the message,
// or empty when the setting is fine.
std::string ReadModules(const libconfig::Setting& setting, const ModuleKey& key,
                        BoardConfig* board) {
    std::string wrong =
        "'" + std::string(key.name) + "' must be a list of numbers 1-" + std::to_string(key.count);
    if (!IsSequence(setting)) return wrong;
    std::vector<int> numbers;
    std::set<int> seen;
    for (int i = 0; i < setting.getLength(); ++i) {
        const libconfig::Setting& element = setting[i];
        if (element.getType() != libconfig::Setting::TypeInt) return wrong;
        int number = element;
        if (number < 1 || number > key.count) return wrong;
        if (!seen.insert(number).second)
            return "'" + std::string(key.name) + "' lists module " + std::to_string(number) +
                   " twice";
        numbers.push_back(number);
    }
    board->*key.list = numbers;
    return "";
}

std::string ReadInputs(const libconfig::Setting& setting, BoardConfig* board) {
    const std::string wrong = "'inputs' must be a list of 9 values 0 or 1";
    if (!IsSequence(setting) || setting.getLength() != 9) return wrong;
    for (int i = 0; i < 9; ++i) {
        const libconfig::Setting& element = setting[i];
        if (element.getType() != libconfig::Setting::TypeInt) return wrong;
        int level = element;
        if (level != 0 && level != 1) return wrong;
        board->inputs[i] = level;
    }
    return "";
}

// Reads a list of exactly `count` integers from `low` to `high`; false when
// the setting is anything else.
template <typename T>
bool ReadNumbers(const libconfig::Setting& setting, int count, long low, long high, T* out) {
    if (!IsSequence(setting) || setting.getLength() != count) return false;
    for (int i = 0; i < count; ++i) {
        const libconfig::Setting& element = setting[i];
        if (element.getType() != libconfig::Setting::TypeInt) return false;
        int value = element;
        if (value < low || value > high) return false;
        out[i] = static_cast<T>(value);
    }
    return true;
}

// "tmp1".."tmp3", "aio1".."aio7": the 0-based module index, or -1.
int ValueBlockIndex(const std::string& name, const char* prefix, int modules) {
    if (name.size() != 4 || name.compare(0, 3, prefix) != 0) return -1;
    int number = name[3] - '0';
    return number >= 1 && number <= modules ? number - 1 : -1;
}

std::string ReadTmpBlock(const libconfig::Setting& setting, int index, BoardConfig* board) {
    const std::string name = setting.getName();
    const std::string wrong = "'" + name + ".raw' must be a list of 16 codes 0-4095";
    if (!setting.isGroup()) return "'" + name + "' must be a group { raw = [...]; }";
    for (int i = 0; i < setting.getLength(); ++i) {
        const libconfig::Setting& entry = setting[i];
        if (std::string(entry.getName()) != "raw")
            return "unknown key '" + name + "." + entry.getName() + "'";
        if (!ReadNumbers(entry, kTmpInputs, 0, 4095, board->tmp[index].raw)) return wrong;
    }
    return "";
}

std::string ReadAioBlock(const libconfig::Setting& setting, int index, BoardConfig* board) {
    const std::string name = setting.getName();
    if (!setting.isGroup()) return "'" + name + "' must be a group { adc, din, alert }";
    AioValues& values = board->aio[index];
    for (int i = 0; i < setting.getLength(); ++i) {
        const libconfig::Setting& entry = setting[i];
        const std::string key = entry.getName();
        if (key == "adc") {
            if (!ReadNumbers(entry, kAioChannels, 0, 65535, values.adc))
                return "'" + name + ".adc' must be a list of 4 codes 0-65535";
        } else if (key == "din") {
            if (!ReadNumbers(entry, kAioChannels, 0, 1, values.din))
                return "'" + name + ".din' must be a list of 4 values 0 or 1";
        } else if (key == "alert") {
            if (entry.getType() != libconfig::Setting::TypeInt || int(entry) < 0 ||
                (int(entry) & ~kAioAlertBits) != 0)
                return "'" + name + ".alert' must be a mask of bits 0-3 and 10-11 (0x0C0F)";
            values.alert = static_cast<uint16_t>(int(entry));
        } else {
            return "unknown key '" + name + "." + key + "'";
        }
    }
    return "";
}

// faults = ( { device = "i2c:0x22"; after = 4; count = 1; }, ... );
std::string ReadFaults(const libconfig::Setting& setting, BoardConfig* board) {
    const std::string wrong =
        "'faults' must be a list of { device = \"i2c:0xAA\" or \"spi:N\"; after = 0 or more; "
        "count = 1 or more; }";
    if (!IsSequence(setting)) return wrong;
    std::vector<PlannedFault> faults;
    for (int i = 0; i < setting.getLength(); ++i) {
        const libconfig::Setting& entry = setting[i];
        PlannedFault fault;
        if (!entry.isGroup() || !entry.lookupValue("device", fault.device) ||
            !Board::ValidDevice(fault.device))
            return wrong;
        for (int k = 0; k < entry.getLength(); ++k) {
            const std::string key = entry[k].getName();
            const bool number = entry[k].getType() == libconfig::Setting::TypeInt;
            if (key == "after" && number && int(entry[k]) >= 0) {
                fault.after = entry[k];
            } else if (key == "count" && number && int(entry[k]) >= 1) {
                fault.count = entry[k];
            } else if (key != "device") {
                return wrong;
            }
        }
        faults.push_back(fault);
    }
    board->faults = faults;
    return "";
}

std::string ReadSetting(const libconfig::Setting& setting, BoardConfig* board) {
    std::string name = setting.getName() ? setting.getName() : "";
    int index = ValueBlockIndex(name, "tmp", kTmpModules);
    if (index >= 0) return ReadTmpBlock(setting, index, board);
    index = ValueBlockIndex(name, "aio", kAioModules);
    if (index >= 0) return ReadAioBlock(setting, index, board);
    for (const ModuleKey& key : kModuleKeys) {
        if (name == key.name) return ReadModules(setting, key, board);
    }
    if (name == "inputs") return ReadInputs(setting, board);
    if (name == "faults") return ReadFaults(setting, board);
    if (name == "i2c_bus") {
        if (setting.getType() != libconfig::Setting::TypeBoolean)
            return "'i2c_bus' must be true or false";
        board->i2c_bus = setting;
        return "";
    }
    return "unknown key '" + name + "'";
}

}  // namespace

const char* OpName(Op op) {
    switch (op) {
        case Op::Open:
            return "open";
        case Op::Close:
            return "close";
        case Op::Read:
            return "read";
        case Op::Write:
            return "write";
        case Op::Ioctl:
            return "ioctl";
        case Op::Sleep:
            return "sleep";
        case Op::Command:
            return "command";
    }
    return "?";
}

bool BoardConfig::Fitted(const std::vector<int> BoardConfig::*kind, int number) const {
    const std::vector<int>& list = this->*kind;
    return std::find(list.begin(), list.end(), number) != list.end();
}

BoardConfig DemoBoard() {
    // AIO3 sits on spidev0.2, clear of TMP1's devices 0 and 1.
    BoardConfig board;
    board.pwm = {1};
    board.relay = {1};
    board.temperature = {1};
    board.analog = {3};
    board.inputs[0] = 1;
    // TMP1 in a room: input 1 at 21.0 °C, each further input 0.1 °C warmer, up to 22.5 °C.
    constexpr uint16_t kRoom[kTmpInputs] = {2084, 2086, 2089, 2092, 2094, 2097, 2100, 2102,
                                            2105, 2107, 2110, 2113, 2115, 2118, 2121, 2123};
    std::copy(std::begin(kRoom), std::end(kRoom), board.tmp[0].raw);
    // AIO3 channel 1 at half scale (5000 mV as a voltage input, 12500 µA as a
    // current input), channel 2 a PT1000 at 21.5 °C (1084 ohm against the
    // 2100 ohm reference), channel 3 a 12 mA loop, channel 4's digital input high.
    board.aio[2] = AioValues{{32768, 22315, 31457, 0}, {0, 0, 0, 1}, 0};
    return board;
}

bool LoadBoardFile(const std::string& path, BoardConfig* board, std::string* error) {
    const std::string where = "board file " + path;
    std::string why;
    if (CheckConfigFiles(path, &why) != 0) {
        *error = "board file: " + why;
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file) {
        *error = where + ": " + std::strerror(errno);
        return false;
    }
    libconfig::Config config;
    try {
        config.read(file.get());
    } catch (const libconfig::ParseException& e) {
        *error = where + " line " + std::to_string(e.getLine()) + ": " + e.getError();
        return false;
    } catch (const libconfig::FileIOException&) {
        *error = where + ": cannot be read";
        return false;
    }
    BoardConfig result;
    result.i2c_bus = true;
    const libconfig::Setting& root = config.getRoot();
    for (int i = 0; i < root.getLength(); ++i) {
        const libconfig::Setting& setting = root[i];
        std::string reason = ReadSetting(setting, &result);
        if (!reason.empty()) {
            *error = where + " line " + std::to_string(setting.getSourceLine()) + ": " + reason;
            return false;
        }
    }
    // Values are only for modules the file fits, whatever the key order.
    struct Block {
        const char* prefix;
        int modules;
        std::vector<int> BoardConfig::*kind;
    };
    for (const Block& block : {Block{"tmp", kTmpModules, &BoardConfig::temperature},
                               Block{"aio", kAioModules, &BoardConfig::analog}}) {
        for (int n = 1; n <= block.modules; ++n) {
            std::string name = block.prefix + std::to_string(n);
            if (!root.exists(name) || result.Fitted(block.kind, n)) continue;
            *error = where + " line " + std::to_string(root[name.c_str()].getSourceLine()) + ": '" +
                     name + "' describes a module that is not fitted";
            return false;
        }
    }
    *board = result;
    return true;
}

}  // namespace sim
