// corvane-map: the Modbus register map as a document, printed from the
// service's own address tables, for integrators who configure a SCADA
// system or a PLC from it.
//
//   corvane-map --markdown   docs/register-map.md: a short preface, then four
//                            Markdown tables, one per object type
//   corvane-map --csv        one row per address: table,address,module,channel,config,meaning
//
// Module names come from the module manager, channels and configuration
// flags from the address tables; what a channel means is the one table of
// register_meanings.h, by module kind and channel. Exit status 0, 2 on a
// wrong argument, 1 when an address has no meaning in that table.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "register_meanings.h"

namespace {

using regmap::Table;

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
    const regmap::Meaning* meaning = regmap::FindMeaning(table, kind, channel);
    return meaning != nullptr ? regmap::MeaningText(*meaning, channel) : "";
}

struct Map {
    std::vector<std::string> missing;

    template <typename Entry, std::size_t N>
    std::vector<Row> Rows(const TableInfo& info, const std::array<Entry, N>& entries) {
        std::vector<Row> rows;
        for (std::size_t address = 0; address < N; ++address) {
            const Entry& e = entries[address];
            Row row{static_cast<int>(address), regmap::ModuleName(e.ModNr), e.Channel, Config(e),
                    ""};
            row.meaning = MeaningOf(info.table, regmap::ModuleKind(e.ModNr), e.Channel);
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
    Map map{{}};
    const std::vector<std::vector<Row>> tables = map.All();
    if (!map.missing.empty()) {
        for (const std::string& m : map.missing)
            std::fprintf(stderr, "no meaning for %s\n", m.c_str());
        return 1;
    }
    format == "--csv" ? PrintCsv(tables) : PrintMarkdown(tables);
    return 0;
}
