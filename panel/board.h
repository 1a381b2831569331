// The board as the panel sees it: every module and its addresses from the
// address map, what a poll reads of the fitted modules, and what a value
// read means. Plain data and pure functions: no I/O, no locking.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "register_meanings.h"

namespace panel {

using regmap::Table;
constexpr Table kTables[] = {Table::Coil, Table::DiscreteInput, Table::Holding, Table::Input};

// The table's name in the JSON API and the metrics: "coil", "discrete", "holding", "input".
const char* TableName(Table table);
int TableSize(Table table);  // 80, 44, 158, 198

// One address of a module.
struct Channel {
    Table table;
    int address;
    int module;                      // module number
    int channel;                     // the module's own channel number, as the map gives it
    bool config;                     // writable and under the configuration lock
    const regmap::Meaning* meaning;  // null for none (the map tool refuses such a table)
};

// One module position of the map, fitted or not.
struct Module {
    int number;                     // 0 base module, 1-22 extension modules
    int instance;                   // within the kind: 3 for AIO3; 0 for the base module
    std::string name;               // "GRUND", "PWM1" .. "AIO7"
    std::string kind;               // "GRUND", "PWM", "REL", "TMP", "AIO"
    std::vector<Channel> channels;  // by table, then address

    // The address of `channel` in `table`, or -1.
    int Address(Table table, int channel) const;
};

// The 23 module positions, by number.
const std::vector<Module>& Modules();
// The module number and channel that `address` of `table` reaches.
const Channel& ChannelAt(Table table, int address);

// What the panel knows of the board between polls: the presence masks of
// the identification registers and the analog channels' functions.
struct Plan {
    uint16_t fitted[4] = {};            // PWM, relay, temperature, analog: bit i is module i+1
    int functions[MM_MODULE_SLOTS][4];  // analog channels 1-4 by module number; -1 unknown
    Plan();
    bool Fitted(int module) const;
    int Function(int module, int channel) const;   // channel 0-3; -1 unknown
    void SetFunctions(int module, uint16_t word);  // an analog module's function word
};

// Values read from the service: per table, by address; -1 where none was read.
struct Values {
    std::vector<int32_t> table[4];
    Values();
    int32_t Get(Table t, int address) const { return table[static_cast<int>(t)][address]; }
    void Set(Table t, int address, int32_t v) { table[static_cast<int>(t)][address] = v; }
};

// One read request.
struct Range {
    Table table;
    int address;
    int count;
};

// The identification registers: version, constants, presence masks.
constexpr Range kIdentification{Table::Input, 1, 11};

// Whether a poll shows `address` of `table`: an address of a fitted module
// that serves a value in the module's present state.
bool Wanted(Table table, int address, const Plan& plan);
// The requests that read what a poll shows of `table`: only addresses of
// fitted modules that serve a value in their present function (a read that
// does not fit a channel's function is refused and logged by the service),
// joined across addresses that cost the service nothing to answer, within
// the protocol's quantity limits.
std::vector<Range> PollRanges(Table table, const Plan& plan);
// Takes the presence masks from the identification registers in `values`.
void TakeFitted(const Values& values, Plan* plan);
// Takes the analog function words read into `values`; true when one changed.
bool TakeFunctions(const Values& values, Plan* plan);
// The relay coils, from their modules' port registers (one read instead of eight).
void DeriveRelayCoils(const Plan& plan, Values* values);

// 0x8000: the service has no value for the register. For the analog
// function word it is a valid word (channel 4 a digital input).
bool Missing(const Channel& channel, int32_t raw);
// A register's value in its unit: signed and divided as its meaning says.
double Scaled(const Channel& channel, int32_t raw);

}  // namespace panel
