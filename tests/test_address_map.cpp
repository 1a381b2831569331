// The four address-map tables, entry by entry, against their documented runs.
#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "module_manager.h"
#include "sim.h"

namespace {

// "module.channel", with " config" for an entry under the lock.
template <typename Entry>
std::string At(const Entry& e) {
    std::string s = std::to_string(e.ModNr) + "." + std::to_string(e.Channel);
    if constexpr (std::is_same_v<Entry, MM_OutputMapEntry>) s += e.Config ? " config" : "";
    return s;
}

// Modules and channels from first to last; the address of module m channel
// n is base + moduleStep * (m - firstModule) + (n - firstChannel).
struct Run {
    int firstModule, lastModule, firstChannel, lastChannel, base, moduleStep;
    bool config = false;
};

// Every address must come from exactly one run and match it.
template <typename Entry, std::size_t N>
void ExpectRuns(const std::array<Entry, N>& table, const std::vector<Run>& runs) {
    std::vector<std::string> expected(N);
    for (const Run& r : runs)
        for (int m = r.firstModule; m <= r.lastModule; ++m)
            for (int n = r.firstChannel; n <= r.lastChannel; ++n) {
                const size_t a = r.base + r.moduleStep * (m - r.firstModule) + n - r.firstChannel;
                ASSERT_TRUE(a < N && expected[a].empty()) << "module " << m << " channel " << n;
                expected[a] =
                    std::to_string(m) + "." + std::to_string(n) + (r.config ? " config" : "");
            }
    for (size_t a = 0; a < N; ++a) EXPECT_EQ(At(table[a]), expected[a]) << "address " << a;
}

TEST(AddressMap, TablesFollowTheirRuns) {
    // clang-format off
    ExpectRuns(MM_OutputRegister_Map, {{0, 0, 0, 15, 0, 0, true}, {16, 22, 0, 0, 16, 1, true},
        {9, 15, 0, 0, 23, 1, true}, {1, 8, 0, 0, 30, 1, true}, {1, 8, 1, 4, 38, 4},
        {9, 12, 1, 1, 70, 1}, {16, 22, 1, 4, 74, 4}, {16, 22, 5, 8, 102, 4}, {16, 22, 9, 12, 130, 4}});
    ExpectRuns(MM_InputRegister_Map, {{0, 0, 0, 15, 0, 0}, {1, 22, 0, 0, 16, 1},
        {13, 15, 1, 16, 38, 16}, {16, 22, 5, 8, 86, 4}, {16, 22, 1, 4, 114, 4},
        {16, 22, 9, 12, 142, 4}, {16, 22, 13, 16, 170, 4}});
    ExpectRuns(MM_OutputBit_Map, {{0, 0, 0, 15, 0, 0, true}, {1, 8, 0, 3, 16, 4, true}, {9, 12, 0, 7, 48, 8}});
    ExpectRuns(MM_InputBit_Map, {{0, 0, 0, 15, 0, 0}, {16, 22, 0, 3, 16, 4}});
    // clang-format on
}

TEST(AddressMap, ModuleNames) {
    sim::Board::Get().Reset(sim::BoardConfig{});  // the base module unexports on the way out
    Module_Manager manager(nullptr);
    std::string names;
    for (int nr : {-1, 0, 1, 8, 9, 12, 13, 15, 16, 22, 23, 1000})
        names += manager.ModNrtoString(nr) + ",";
    EXPECT_EQ(names, ",,PWM1,PWM8,REL1,REL4,TMP1,TMP3,AIO1,AIO7,,,");
}

}  // namespace
