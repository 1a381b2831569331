// The four address-map tables, rebuilt here from the documented runs with
// their own address formulas and compared entry by entry.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <type_traits>
#include <vector>

#include "module_manager.h"
#include "sim.h"

namespace {

struct Row {
    int firstModule, lastModule, firstChannel, lastChannel, config;
    std::function<int(int m, int n)> address;
};

struct Expected {
    int modNr = -1, channel = -1, config = -1;
};

// Every address below `size` must be produced exactly once.
std::vector<Expected> Rebuild(const std::vector<Row>& rows, int size) {
    std::vector<Expected> table(size);
    for (const Row& row : rows) {
        for (int m = row.firstModule; m <= row.lastModule; ++m) {
            for (int n = row.firstChannel; n <= row.lastChannel; ++n) {
                const int a = row.address(m, n);
                EXPECT_TRUE(a >= 0 && a < size) << "address " << a;
                if (a < 0 || a >= size) continue;
                EXPECT_EQ(table[a].modNr, -1) << "address " << a << " twice";
                table[a] = {m, n, row.config};
            }
        }
    }
    for (int a = 0; a < size; ++a) EXPECT_NE(table[a].modNr, -1) << "address " << a << " unset";
    return table;
}

template <typename Entry, std::size_t N>
void ExpectTable(const std::array<Entry, N>& actual, const std::vector<Expected>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t a = 0; a < expected.size(); ++a) {
        EXPECT_EQ(actual[a].ModNr, expected[a].modNr) << "address " << a;
        EXPECT_EQ(actual[a].Channel, expected[a].channel) << "address " << a;
        if constexpr (std::is_same<Entry, MM_OutputMapEntry>::value) {
            EXPECT_EQ(actual[a].Config, expected[a].config) << "address " << a;
        }
    }
}

}  // namespace

TEST(AddressMap, HoldingRegistersFollowTheirRuns) {
    const auto table = Rebuild(
        {
            {0, 0, 0, 15, 1, [](int, int n) { return n; }},
            {16, 22, 0, 0, 1, [](int m, int) { return m; }},
            {9, 15, 0, 0, 1, [](int m, int) { return m + 14; }},
            {1, 8, 0, 0, 1, [](int m, int) { return m + 29; }},
            {1, 8, 1, 4, 0, [](int m, int n) { return 38 + 4 * (m - 1) + (n - 1); }},
            {9, 12, 1, 1, 0, [](int m, int) { return m + 61; }},
            {16, 22, 1, 4, 0, [](int m, int n) { return 74 + 4 * (m - 16) + (n - 1); }},
            {16, 22, 5, 8, 0, [](int m, int n) { return 102 + 4 * (m - 16) + (n - 5); }},
            {16, 22, 9, 12, 0, [](int m, int n) { return 130 + 4 * (m - 16) + (n - 9); }},
        },
        158);
    ExpectTable(MM_OutputRegister_Map, table);

    EXPECT_EQ(MM_OutputRegister_Map[23].ModNr, 9);    // REL1 register 0
    EXPECT_EQ(MM_OutputRegister_Map[27].ModNr, 13);   // TMP1 register 0
    EXPECT_EQ(MM_OutputRegister_Map[157].ModNr, 22);  // AIO7 channel 12
    EXPECT_EQ(MM_OutputRegister_Map[157].Channel, 12);
    EXPECT_EQ(MM_OutputRegister_Map[37].Config, 1);  // PWM8 register 0
    EXPECT_EQ(MM_OutputRegister_Map[38].Config, 0);  // PWM1 channel 1
}

TEST(AddressMap, InputRegistersFollowTheirRuns) {
    const auto table = Rebuild(
        {
            {0, 0, 0, 15, 0, [](int, int n) { return n; }},
            {1, 22, 0, 0, 0, [](int m, int) { return m + 15; }},
            {13, 15, 1, 16, 0, [](int m, int n) { return 38 + 16 * (m - 13) + (n - 1); }},
            {16, 22, 5, 8, 0, [](int m, int n) { return 86 + 4 * (m - 16) + (n - 5); }},
            {16, 22, 1, 4, 0, [](int m, int n) { return 114 + 4 * (m - 16) + (n - 1); }},
            {16, 22, 9, 12, 0, [](int m, int n) { return 142 + 4 * (m - 16) + (n - 9); }},
            {16, 22, 13, 16, 0, [](int m, int n) { return 170 + 4 * (m - 16) + (n - 13); }},
        },
        198);
    ExpectTable(MM_InputRegister_Map, table);
    EXPECT_EQ(MM_InputRegister_Map[197].ModNr, 22);
    EXPECT_EQ(MM_InputRegister_Map[197].Channel, 16);
}

TEST(AddressMap, CoilsAndDiscreteInputsFollowTheirRuns) {
    const auto coils = Rebuild(
        {
            {0, 0, 0, 15, 1, [](int, int n) { return n; }},
            {1, 8, 0, 3, 1, [](int m, int n) { return 16 + 4 * (m - 1) + n; }},
            {9, 12, 0, 7, 0, [](int m, int n) { return 48 + 8 * (m - 9) + n; }},
        },
        80);
    ExpectTable(MM_OutputBit_Map, coils);
    EXPECT_EQ(MM_OutputBit_Map[47].Config, 1);  // PWM8 channel 3
    EXPECT_EQ(MM_OutputBit_Map[48].Config, 0);  // REL1 channel 0
    EXPECT_EQ(MM_OutputBit_Map[79].ModNr, 12);
    EXPECT_EQ(MM_OutputBit_Map[79].Channel, 7);

    const auto inputs = Rebuild(
        {
            {0, 0, 0, 15, 0, [](int, int n) { return n; }},
            {16, 22, 0, 3, 0, [](int m, int n) { return 16 + 4 * (m - 16) + n; }},
        },
        44);
    ExpectTable(MM_InputBit_Map, inputs);
    EXPECT_EQ(MM_InputBit_Map[43].ModNr, 22);
    EXPECT_EQ(MM_InputBit_Map[43].Channel, 3);
}

TEST(AddressMap, ModuleNames) {
    // The manager's base module releases its pins on a board of its own.
    sim::Board::Get().Reset(sim::BoardConfig{});
    Module_Manager manager(nullptr);
    const char* expected[23] = {"",     "PWM1", "PWM2", "PWM3", "PWM4", "PWM5", "PWM6", "PWM7",
                                "PWM8", "REL1", "REL2", "REL3", "REL4", "TMP1", "TMP2", "TMP3",
                                "AIO1", "AIO2", "AIO3", "AIO4", "AIO5", "AIO6", "AIO7"};
    for (int nr = 0; nr < 23; ++nr) EXPECT_EQ(manager.ModNrtoString(nr), expected[nr]) << nr;
    EXPECT_EQ(manager.ModNrtoString(23), "");
    EXPECT_EQ(manager.ModNrtoString(-1), "");
    EXPECT_EQ(manager.ModNrtoString(1000), "");
}
