// corvane-map: the Modbus register map as a document, printed from the
// service's own address tables, for integrators who configure a SCADA
// system or a PLC from it.
//
//   corvane-map --markdown   docs/register-map.md: a short preface, then four
//                            Markdown tables, one per object type
//   corvane-map --csv        one row per address: table,address,module,channel,config,meaning
//
// Module names come from the module manager, channels and configuration
// flags from the address tables; what a channel means is the one table
// below, by module kind and channel. Exit status 0, 2 on a wrong argument,
// 1 when an address has no meaning in that table.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "module_manager.h"

namespace {

enum class Table { Coil, DiscreteInput, Holding, Input };

// What the channels first..last of a module kind mean in one table. In the
// text, {n} stands for the channel's own number: `number` for `first`,
// counting up with the channel.
struct Meaning {
    Table table;
    const char* kind;  // "GRUND", "PWM", "REL", "TMP", "AIO"
    int first, last;
    int number;
    const char* text;
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
    {Table::Holding, "PWM", 0, 0, 0, "PWM frequency, Hz (25-1500)"},
    {Table::Holding, "PWM", 1, 4, 1, "duty of output {n}, thousandths of the period (0-1000)"},
    {Table::Holding, "REL", 0, 0, 0, "inversion mask 0-15: bit k inverts relay k+5"},
    {Table::Holding, "REL", 1, 1, 0, "relay port: bit k is relay k+1"},
    {Table::Holding, "TMP", 0, 0, 0,
     "averaging: 1 (default) the mean of the last ten samples, 0 one conversion per read"},
    {Table::Holding, "AIO", 0, 0, 0,
     "channel functions, channel k in bits 4k-4 to 4k-1: 0 off, 1 voltage output, "
     "2 voltage input, 3 current output, 4 current input, 5 current output 4-20 mA, "
     "6 current input 4-20 mA, 7 PT1000 input, 8 digital input"},
    {Table::Holding, "AIO", 1, 4, 1,
     "output level of channel {n}, thousandths of the range (functions 1, 3, 5)"},
    {Table::Holding, "AIO", 5, 8, 1, "output voltage of channel {n}, mV 0-10000 (function 1)"},
    {Table::Holding, "AIO", 9, 12, 1, "output current of channel {n}, µA 0-20000 (functions 3, 5)"},

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
    {Table::Input, "TMP", 1, 16, 1, "temperature of input {n}, 0.1 °C, signed"},
    {Table::Input, "AIO", 0, 0, 0, "alert status: bits 0-3 channel alerts, bits 10-11 ADC alerts"},
    {Table::Input, "AIO", 1, 4, 1,
     "input level of channel {n}, thousandths of the range (functions 2, 4, 6)"},
    {Table::Input, "AIO", 5, 8, 1,
     "PT1000 temperature of channel {n}, 0.1 °C, signed (function 7)"},
    {Table::Input, "AIO", 9, 12, 1, "voltage of channel {n}, mV 0-10000 (function 2)"},
    {Table::Input, "AIO", 13, 16, 1, "current of channel {n}, µA 0-25000 (functions 4, 6)"},
};

struct TableInfo {
    Table table;
    const char* name;   // the CSV's table column
    const char* title;  // the Markdown heading
};

constexpr TableInfo kTables[] = {
    {Table::Coil, "coil", "Coils (function codes 1, 5, 15)"},
    {Table::DiscreteInput, "discrete input", "Discrete inputs (function code 2)"},
    {Table::Holding, "holding register", "Holding registers (function codes 3, 6, 16)"},
    {Table::Input, "input register", "Input registers (function code 4)"},
};

// One address of a table.
struct Row {
    int address;
    std::string module;
    int channel;
    std::string config;  // "1" or "0"; empty for the read-only tables
    std::string meaning;
};

// The meaning of a channel of module `kind`, or "" when the table has none.
std::string MeaningOf(Table table, const std::string& kind, int channel) {
    for (const Meaning& m : kMeanings) {
        if (m.table != table || kind != m.kind || channel < m.first || channel > m.last) continue;
        std::string text = m.text;
        const size_t at = text.find("{n}");
        if (at != std::string::npos) {
            text.replace(at, 3, std::to_string(m.number + channel - m.first));
        }
        return text;
    }
    return "";
}

struct Map {
    Module_Manager* manager;
    std::vector<std::string> missing;

    std::string ModuleName(int number) {
        return number == 0 ? manager->BaseModule.ModuleName : manager->ModNrtoString(number);
    }

    template <typename Entry, std::size_t N>
    std::vector<Row> Rows(const TableInfo& info, const std::array<Entry, N>& entries) {
        std::vector<Row> rows;
        for (std::size_t address = 0; address < N; ++address) {
            const Entry& e = entries[address];
            Row row{static_cast<int>(address), ModuleName(e.ModNr), e.Channel, Config(e), ""};
            // The kind is the name without its instance number: "AIO3" is an AIO.
            const std::string kind = row.module.substr(0, row.module.find_first_of("0123456789"));
            row.meaning = MeaningOf(info.table, kind, e.Channel);
            if (row.meaning.empty()) {
                missing.push_back(std::string(info.name) + " " + std::to_string(address) + " (" +
                                  row.module + " channel " + std::to_string(e.Channel) + ")");
            }
            rows.push_back(row);
        }
        return rows;
    }

    static std::string Config(const MM_OutputMapEntry& e) { return e.Config ? "1" : "0"; }
    static std::string Config(const MM_InputMapEntry&) { return ""; }

    std::vector<std::vector<Row>> All() {
        return {Rows(kTables[0], MM_OutputBit_Map), Rows(kTables[1], MM_InputBit_Map),
                Rows(kTables[2], MM_OutputRegister_Map), Rows(kTables[3], MM_InputRegister_Map)};
    }
};

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

void PrintCsv(const std::vector<std::vector<Row>>& tables) {
    std::printf("table,address,module,channel,config,meaning\n");
    for (std::size_t t = 0; t < tables.size(); ++t) {
        for (const Row& r : tables[t]) {
            std::printf("%s,%d,%s,%d,%s,%s\n", kTables[t].name, r.address, r.module.c_str(),
                        r.channel, r.config.c_str(), CsvField(r.meaning).c_str());
        }
    }
}

// What every row of the page relies on; the rows themselves come from the tables.
constexpr const char kPreface[] =
    "# Modbus address map\n"
    "\n"
    "Every address of the four tables, printed by `build/corvane-map --markdown` from the\n"
    "service's own address tables (`build/corvane-map --csv` prints the same rows as\n"
    "`docs/register-map.csv`); `test_register_map` fails when a file and the program differ.\n"
    "Do not edit it by hand: change the address tables (src/module_manager.cpp) or the\n"
    "meanings (tools/corvane_map.cpp), then run\n"
    "`build/corvane-map --markdown > docs/register-map.md`.\n"
    "\n"
    "The map is fixed and does not depend on which modules are fitted. Addresses are the\n"
    "0-based protocol addresses (mbpoll's `-r` is one more). Module is the module the address\n"
    "reaches, Channel the module's own index there; the meaning names the output, input or\n"
    "channel as the module is labelled (analog channels 1-4, temperature inputs 1-16, relays\n"
    "1-8). Config 1: the configuration lock guards it (holding register 0, the lock itself,\n"
    "excepted): while the configuration is locked, a write to it is refused with exception 1.\n"
    "The service starts unlocked. A register that cannot be read reads 32768 (0x8000); an\n"
    "address whose module is not fitted is refused with exception 1 on writes and on bit\n"
    "reads. An analog channel whose function does not fit reads 0x8000 and refuses writes\n"
    "with exception 1; a failed transfer to a module answers a single write with exception 4.\n";

void PrintMarkdown(const std::vector<std::vector<Row>>& tables) {
    std::fputs(kPreface, stdout);
    for (std::size_t t = 0; t < tables.size(); ++t) {
        const bool writable = kTables[t].table == Table::Coil || kTables[t].table == Table::Holding;
        std::printf("\n## %s: %zu addresses\n\n", kTables[t].title, tables[t].size());
        std::printf("| Address | Module | Channel |%s Meaning |\n|---|---|---|%s---|\n",
                    writable ? " Config |" : "", writable ? "---|" : "");
        for (const Row& r : tables[t]) {
            const std::string config = writable ? " " + r.config + " |" : "";
            std::printf("| %d | %s | %d |%s %s |\n", r.address, r.module.c_str(), r.channel,
                        config.c_str(), r.meaning.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string format = argc == 2 ? argv[1] : "";
    if (format != "--markdown" && format != "--csv") {
        std::fprintf(stderr, "usage: corvane-map --markdown | --csv\n");
        return 2;
    }
    // Only its names are used: it is never initialised, so no pin is
    // touched, and never destroyed, so none is released either.
    static CorvaneLogger* logger = new CorvaneLogger(0, false);
    static Module_Manager* manager = new Module_Manager(logger);
    Map map{manager, {}};
    const std::vector<std::vector<Row>> tables = map.All();
    if (!map.missing.empty()) {
        for (const std::string& m : map.missing)
            std::fprintf(stderr, "no meaning for %s\n", m.c_str());
        return 1;
    }
    format == "--csv" ? PrintCsv(tables) : PrintMarkdown(tables);
    return 0;
}
