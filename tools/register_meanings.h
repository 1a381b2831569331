// What every Modbus address of the controller means: the one table that
// corvane-map prints as the register map and corvane-panel labels its page
// and metrics with, so the document and the panel cannot disagree.
//
// Names come from the module manager, channels and configuration flags from
// the address tables (module_manager.h); what a channel means and the unit
// its value is counted in are tabled below, by module kind and channel.
#pragma once

#include <string>

#include "module_manager.h"

namespace regmap {

enum class Table { Coil, DiscreteInput, Holding, Input };

// What the channels first..last of a module kind mean in one table. In the
// text, {n} stands for the channel's own number: `number` for `first`,
// counting up with the channel. A register counts `unit` / `divisor`
// (10: tenths), as a two's complement number when `is_signed`; bits and
// registers without a unit carry states, masks or codes.
struct Meaning {
    Table table;
    const char* kind;  // "GRUND", "PWM", "REL", "TMP", "AIO"
    int first, last;
    int number;
    const char* text;
    const char* unit = "";
    int divisor = 1;
    bool is_signed = false;
};

constexpr Meaning kMeanings[] = {
    {Table::Coil, "GRUND", 0, 0, 0, "digital output"},
    {Table::Coil, "GRUND", 1, 15, 0, "reserved: refused with exception 1"},
    {Table::Coil, "PWM", 0, 3, 1,
     "polarity of output {n}: 0 (default) the chip runs 1000 - duty, 1 the duty itself"},
    {Table::Coil, "REL", 0, 7, 1, "relay {n}"},

    {Table::DiscreteInput, "GRUND", 0, 8, 0, "digital input {n}"},
    {Table::DiscreteInput, "GRUND", 9, 15, 0, "reserved: refused with exception 1"},
    {Table::DiscreteInput, "AIO", 0, 3, 1, "digital input of channel {n} (function 8)"},

    {Table::Holding, "GRUND", 0, 0, 0,
     "configuration lock: 5281 unlocks, 6914 locks; reads 32768 (0x8000)"},
    {Table::Holding, "GRUND", 1, 1, 0,
     "user LEDs: bits 4-5 LED 0, bits 0-1 LED 1; 0 off, 1 blinking, 2 on"},
    {Table::Holding, "GRUND", 2, 15, 0,
     "reserved: reads 32768 (0x8000), writes refused with exception 1"},
    {Table::Holding, "PWM", 0, 0, 0, "PWM frequency, Hz (25-1500)", "Hz"},
    {Table::Holding, "PWM", 1, 4, 1, "duty of output {n}, thousandths of the period (0-1000)", "‰"},
    {Table::Holding, "REL", 0, 0, 0, "inversion mask 0-15: bit k inverts relay k+5"},
    {Table::Holding, "REL", 1, 1, 0, "relay port: bit k is relay k+1"},
    {Table::Holding, "TMP", 0, 0, 0,
     "averaging: 1 (default) the mean of the last ten samples, 0 one conversion per read"},
    {Table::Holding, "AIO", 0, 0, 0,
     "channel functions, channel k in bits 4k-4 to 4k-1: 0 off, 1 voltage output, "
     "2 voltage input, 3 current output, 4 current input, 5 current output 4-20 mA, "
     "6 current input 4-20 mA, 7 PT1000 input, 8 digital input"},
    {Table::Holding, "AIO", 1, 4, 1,
     "output level of channel {n}, thousandths of the range (functions 1, 3, 5)", "‰", 1, true},
    {Table::Holding, "AIO", 5, 8, 1, "output voltage of channel {n}, mV 0-10000 (function 1)",
     "mV"},
    {Table::Holding, "AIO", 9, 12, 1, "output current of channel {n}, µA 0-20000 (functions 3, 5)",
     "µA"},

    {Table::Input, "GRUND", 0, 0, 0, "reads 0"},
    {Table::Input, "GRUND", 1, 1, 0, "software version, major"},
    {Table::Input, "GRUND", 2, 2, 0, "software version, minor"},
    {Table::Input, "GRUND", 3, 3, 0, "software version, patch"},
    {Table::Input, "GRUND", 4, 7, 0, "constant 1234"},
    {Table::Input, "GRUND", 8, 8, 0, "PWM modules fitted: bit i is PWM(i+1)"},
    {Table::Input, "GRUND", 9, 9, 0, "relay modules fitted: bit i is REL(i+1)"},
    {Table::Input, "GRUND", 10, 10, 0, "temperature modules fitted: bit i is TMP(i+1)"},
    {Table::Input, "GRUND", 11, 11, 0, "analog modules fitted: bit i is AIO(i+1)"},
    {Table::Input, "GRUND", 12, 15, 0, "reserved: reads 32768 (0x8000)"},
    {Table::Input, "PWM", 0, 0, 0, "reads 0"},
    {Table::Input, "REL", 0, 0, 0, "reads 0"},
    {Table::Input, "TMP", 0, 0, 0, "reads 0"},
    {Table::Input, "TMP", 1, 16, 1, "temperature of input {n}, 0.1 °C, signed", "°C", 10, true},
    {Table::Input, "AIO", 0, 0, 0, "alert status: bits 0-3 channel alerts, bits 10-11 ADC alerts"},
    {Table::Input, "AIO", 1, 4, 1,
     "input level of channel {n}, thousandths of the range (functions 2, 4, 6)", "‰", 1, true},
    {Table::Input, "AIO", 5, 8, 1, "PT1000 temperature of channel {n}, 0.1 °C, signed (function 7)",
     "°C", 10, true},
    {Table::Input, "AIO", 9, 12, 1, "voltage of channel {n}, mV 0-10000 (function 2)", "mV"},
    {Table::Input, "AIO", 13, 16, 1, "current of channel {n}, µA 0-25000 (functions 4, 6)", "µA"},
};

// The analog channel functions of the function word, by number; the same
// list as the AIO function word's text above.
constexpr const char* kAioFunctions[] = {
    "off",           "voltage output",         "voltage input",         "current output",
    "current input", "current output 4-20 mA", "current input 4-20 mA", "PT1000 input",
    "digital input"};

// The entry for a channel of module `kind` in `table`, or null when the table has none.
inline const Meaning* FindMeaning(Table table, const std::string& kind, int channel) {
    for (const Meaning& m : kMeanings) {
        if (m.table == table && kind == m.kind && channel >= m.first && channel <= m.last)
            return &m;
    }
    return nullptr;
}

// The text of `meaning` for `channel`, {n} replaced by the channel's own number.
inline std::string MeaningText(const Meaning& meaning, int channel) {
    std::string text = meaning.text;
    const size_t at = text.find("{n}");
    if (at != std::string::npos) {
        text.replace(at, 3, std::to_string(meaning.number + channel - meaning.first));
    }
    return text;
}

// A module's name as the service gives it: "GRUND" for the base module,
// "PWM1" .. "AIO7" for the extension modules, "" for other numbers. Only
// the names of a module manager are used: it is never initialised, so no
// pin is touched, and never destroyed, so none is released either.
inline std::string ModuleName(int number) {
    static Module_Manager* const manager = new Module_Manager(new CorvaneLogger(0, false));
    return number == 0 ? manager->BaseModule.ModuleName : manager->ModNrtoString(number);
}

// The kind is the name without its instance number: "AIO3" is an AIO.
inline std::string ModuleKind(int number) {
    const std::string name = ModuleName(number);
    return name.substr(0, name.find_first_of("0123456789"));
}

}  // namespace regmap
