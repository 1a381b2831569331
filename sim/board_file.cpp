// Board files: which modules are fitted to the simulated board, the levels of
// the base-module inputs and whether the I2C bus is there.
#include "sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <libconfig.h++>
#include <memory>
#include <set>

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

std::string ReadSetting(const libconfig::Setting& setting, BoardConfig* board) {
    std::string name = setting.getName() ? setting.getName() : "";
    for (const ModuleKey& key : kModuleKeys) {
        if (name == key.name) return ReadModules(setting, key, board);
    }
    if (name == "inputs") return ReadInputs(setting, board);
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

BoardConfig DemoBoard() {
    // AIO3 sits on spidev0.2, clear of TMP1's devices 0 and 1.
    BoardConfig board;
    board.pwm = {1};
    board.relay = {1};
    board.temperature = {1};
    board.analog = {3};
    return board;
}

bool LoadBoardFile(const std::string& path, BoardConfig* board, std::string* error) {
    const std::string where = "board file " + path;
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
    *board = result;
    return true;
}

}  // namespace sim
