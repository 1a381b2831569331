#include "board.h"

#include <modbus.h>
#include <type_traits>

namespace panel {

namespace {

// The kinds in the order of their presence masks (input registers 8-11).
const char* const kPresenceOrder[] = {"PWM", "REL", "TMP", "AIO"};

template <typename Entry, std::size_t N>
std::vector<Channel> Channels(Table table, const std::array<Entry, N>& map) {
    std::vector<Channel> channels;
    for (std::size_t a = 0; a < N; ++a) {
        bool config = false;
        if constexpr (std::is_same_v<Entry, MM_OutputMapEntry>) config = map[a].Config != 0;
        channels.push_back(
            {table, static_cast<int>(a), map[a].ModNr, map[a].Channel, config,
             regmap::FindMeaning(table, regmap::ModuleKind(map[a].ModNr), map[a].Channel)});
    }
    return channels;
}

const std::vector<Channel>& TableChannels(Table table) {
    static const std::vector<Channel> tables[4] = {Channels(Table::Coil, MM_OutputBit_Map),
                                                   Channels(Table::DiscreteInput, MM_InputBit_Map),
                                                   Channels(Table::Holding, MM_OutputRegister_Map),
                                                   Channels(Table::Input, MM_InputRegister_Map)};
    return tables[static_cast<int>(table)];
}

int ModuleOf(Table table, int address) {
    return ChannelAt(table, address).module;
}

bool IsBits(Table table) {
    return table == Table::Coil || table == Table::DiscreteInput;
}

// Whether reading the register costs the service no device access and no
// journal record: a module that is not fitted (answered 0x8000 by the
// dispatcher), the base module (pins and constants), or a register 0 that
// an extension module answers with 0 (not the analog module's alerts).
bool Free(Table table, int address, const Plan& plan) {
    const int m = ModuleOf(table, address);
    if (!plan.Fitted(m) || m == 0) return true;
    return table == Table::Input && ChannelAt(table, address).channel == 0 &&
           Modules()[m].kind != "AIO";
}

}  // namespace

const char* TableName(Table table) {
    static const char* const names[] = {"coil", "discrete", "holding", "input"};
    return names[static_cast<int>(table)];
}

int TableSize(Table table) {
    return static_cast<int>(TableChannels(table).size());
}

int Module::Address(Table table, int channel) const {
    for (const Channel& c : channels) {
        if (c.table == table && c.channel == channel) return c.address;
    }
    return -1;
}

const std::vector<Module>& Modules() {
    static const std::vector<Module> modules = [] {
        std::vector<Module> all;
        for (int m = 0; m < MM_MODULE_SLOTS; ++m) {
            const std::string name = regmap::ModuleName(m), kind = regmap::ModuleKind(m);
            const int instance = m == 0 ? 0 : std::stoi(name.substr(kind.size()));
            all.push_back({m, instance, name, kind, {}});
        }
        for (Table table : kTables) {
            for (const Channel& c : TableChannels(table)) {
                all[c.module].channels.push_back(c);
            }
        }
        return all;
    }();
    return modules;
}

const Channel& ChannelAt(Table table, int address) {
    return TableChannels(table)[address];
}

Plan::Plan() {
    for (auto& module : functions) {
        for (int& f : module) f = -1;
    }
}

bool Plan::Fitted(int module) const {
    if (module == 0) return true;
    const Module& m = Modules()[module];
    for (int k = 0; k < 4; ++k) {
        if (m.kind == kPresenceOrder[k]) return (fitted[k] >> (m.instance - 1) & 1) != 0;
    }
    return false;
}

int Plan::Function(int module, int channel) const {
    return functions[module][channel];
}

void Plan::SetFunctions(int module, uint16_t word) {
    for (int ch = 0; ch < 4; ++ch) functions[module][ch] = (word >> (4 * ch)) & 0xF;
}

Values::Values() {
    for (Table t : kTables) table[static_cast<int>(t)].assign(TableSize(t), -1);
}

bool Wanted(Table table, int address, const Plan& plan) {
    const int m = ModuleOf(table, address);
    if (m == 0 && table == Table::Input) return false;  // identification: read on connecting
    if (!plan.Fitted(m)) return false;
    const std::string& kind = Modules()[m].kind;
    const int ch = ChannelAt(table, address).channel;
    if (kind == "GRUND") {
        return (table == Table::Coil && ch == 0) || (table == Table::DiscreteInput && ch <= 8) ||
               (table == Table::Holding && ch == 1);
    }
    if (kind == "PWM") return table == Table::Coil || table == Table::Holding;
    if (kind == "REL") return table == Table::Holding;
    if (kind == "TMP") return table == Table::Holding || (table == Table::Input && ch >= 1);
    // Analog: the function word and alerts always; a channel's value only
    // where its function serves it.
    auto fn = [&](int channel) { return plan.Function(m, channel); };
    switch (table) {
        case Table::Coil:
            return false;
        case Table::DiscreteInput:
            return fn(ch) == 8;
        case Table::Holding:
            return ch == 0 || (ch >= 5 && ch <= 8 && fn(ch - 5) == 1) ||
                   (ch >= 9 && ch <= 12 && (fn(ch - 9) == 3 || fn(ch - 9) == 5));
        case Table::Input:
            return ch == 0 || (ch >= 5 && ch <= 8 && fn(ch - 5) == 7) ||
                   (ch >= 9 && ch <= 12 && fn(ch - 9) == 2) ||
                   (ch >= 13 && ch <= 16 && (fn(ch - 13) == 4 || fn(ch - 13) == 6));
    }
    return false;
}

std::vector<Range> PollRanges(Table table, const Plan& plan) {
    const int limit = IsBits(table) ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS;
    std::vector<Range> ranges;
    int gap = 0;  // free addresses since the last wanted one
    for (int a = 0; a < TableSize(table); ++a) {
        if (Wanted(table, a, plan)) {
            Range* last = ranges.empty() ? nullptr : &ranges.back();
            if (last != nullptr && last->address + last->count + gap == a &&
                a - last->address < limit) {
                last->count = a - last->address + 1;
            } else {
                ranges.push_back({table, a, 1});
            }
            gap = 0;
        } else if (!ranges.empty() && !IsBits(table) && Free(table, a, plan) &&
                   ranges.back().address + ranges.back().count + gap == a) {
            ++gap;
        } else {
            gap = TableSize(table);  // nothing joins across this address
        }
    }
    return ranges;
}

void TakeFitted(const Values& values, Plan* plan) {
    for (int k = 0; k < 4; ++k) {
        const int32_t mask = values.Get(Table::Input, 8 + k);
        plan->fitted[k] = mask < 0 || mask == 0x8000 ? 0 : static_cast<uint16_t>(mask);
    }
}

bool TakeFunctions(const Values& values, Plan* plan) {
    bool changed = false;
    for (const Module& module : Modules()) {
        if (module.kind != "AIO") continue;
        const int m = module.number;
        const int32_t word = values.Get(Table::Holding, module.Address(Table::Holding, 0));
        for (int ch = 0; ch < 4; ++ch) {
            const int f = plan->Fitted(m) && word >= 0 ? (word >> (4 * ch)) & 0xF : -1;
            changed = changed || f != plan->functions[m][ch];
            plan->functions[m][ch] = f;
        }
    }
    return changed;
}

void DeriveRelayCoils(const Plan& plan, Values* values) {
    for (const Module& module : Modules()) {
        if (module.kind != "REL" || !plan.Fitted(module.number)) continue;
        const int32_t port = values->Get(Table::Holding, module.Address(Table::Holding, 1));
        for (int bit = 0; bit < 8; ++bit) {
            const int32_t v = port < 0 || port == 0x8000 ? -1 : (port >> bit) & 1;
            values->Set(Table::Coil, module.Address(Table::Coil, bit), v);
        }
    }
}

bool Missing(const Channel& channel, int32_t raw) {
    if (raw < 0) return true;
    if (channel.table == Table::Coil || channel.table == Table::DiscreteInput) return false;
    const bool function_word = channel.table == Table::Holding && channel.channel == 0 &&
                               Modules()[channel.module].kind == "AIO";
    return raw == 0x8000 && !function_word;
}

double Scaled(const Channel& channel, int32_t raw) {
    const regmap::Meaning* m = channel.meaning;
    const int32_t value = m != nullptr && m->is_signed ? static_cast<int16_t>(raw) : raw;
    return m != nullptr ? static_cast<double>(value) / m->divisor : value;
}

}  // namespace panel
