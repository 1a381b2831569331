// The temperature module's driver against the converter models, and its
// positions in the module scan.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <syslog.h>
#include <thread>
#include <tuple>

#include "journal.h"
#include "models.h"
#include "module_manager.h"
#include "sim.h"
#include "tmp.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Lines;
using R = std::pair<int, int>;
using V = std::vector<int>;
namespace ts = testsupport;

sim::Board& board = sim::Board::Get();

// The raw code of module input j (0-15): all different, none 0.
uint16_t Raw(int j) {
    return static_cast<uint16_t>(150 + 250 * j);
}

sim::BoardConfig Fitted(std::vector<int> modules) {
    sim::BoardConfig config;
    config.temperature = std::move(modules);
    for (auto& module : config.tmp) {
        for (int j = 0; j < 16; ++j) module.raw[j] = Raw(j);
    }
    return config;
}

void Reset(const sim::BoardConfig& config) {
    board.Reset(config);
    board.SetTimeScale(0.001);
}

class Tmp : public testing::Test {
  protected:
    void SetUp() override { Reset(Fitted({1})); }
    R Read(int channel) {
        unsigned short value = 7;
        const int result = tmp->get_InputRegister(static_cast<unsigned char>(channel), &value);
        return {result, value};
    }
    V History(int i) {
        std::lock_guard<std::mutex> lock(tmp->HistoryMutex);
        return V(tmp->History[i], tmp->History[i] + TMP_HISTORY);
    }

    CorvaneLogger logger{7, false};
    std::unique_ptr<TemperatureModule> tmp = std::make_unique<TemperatureModule>(0, &logger);
};

TEST_F(Tmp, DirectReadsAndRefusals) {
    ASSERT_TRUE(ts::EnsureJournald());
    ASSERT_EQ(tmp->ConnectionTest(), 0);
    ASSERT_EQ(tmp->HistoryEnabled, 0);
    for (int j = 0; j < 16; ++j) EXPECT_EQ(Read(j + 1), R(0, TMP_RawToRegister(Raw(j)))) << j;
    // Truncated toward zero; below zero in two's complement.
    for (auto [raw, value] :
         {R(0, 0xFE68), R(2000, 178), R(4095, 1128), R(1380, 0xFFDC), R(1490, 0)}) {
        ASSERT_TRUE(sim::SetTemperatureRaw(board, 0, 15, raw));
        EXPECT_EQ(Read(16), R(0, value)) << raw;
    }
    board.ClearLog();
    EXPECT_EQ(Read(9).first, 0);
    const auto log = board.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].path, "/dev/spidev0.1");
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x06, 0x00, 0x00}));

    const std::string mark = ts::JournalMark();
    board.FailDevice("spi:0", 1);
    bool bit = false;
    unsigned short reg = 0;
    const R answers[] = {Read(17),
                         Read(0),
                         Read(1),
                         R(tmp->set_OutputRegister(1, 1), 0),
                         R(tmp->get_OutputRegister(1, &reg), 0),
                         R(tmp->get_InputBit(0, &bit), 0),
                         R(tmp->set_OutputBit(0, true), 0),
                         R(tmp->get_OutputBit(0, &bit), 0),
                         R(tmp->set_OutputRegister(0, 2), tmp->HistoryEnabled)};
    EXPECT_EQ(
        std::vector<R>(std::begin(answers), std::end(answers)),
        (std::vector<R>{{1, 7}, {0, 0}, {4, 7}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {3, 0}}));
    const std::string illegal = " E |  TMP1 Illegal function";
    EXPECT_EQ(ts::JournalLines(mark, LOG_ERR, "TMP1"),
              (Lines{illegal, " E |  TMP1 Module Communication Fault", illegal, illegal, illegal,
                     illegal, illegal, " E |  TMP1 Illegal data value"}));
}

TEST_F(Tmp, ModulesThatDoNotAnswerAreNotFound) {
    struct Case {
        int index, zeroInput;
        const char* failing;
    };
    for (const Case c : {Case{0, 0, ""}, Case{0, 15, ""}, Case{1, -1, ""}, Case{0, -1, "spi:1"}}) {
        sim::BoardConfig config = Fitted({1});
        if (c.zeroInput >= 0) config.tmp[0].raw[c.zeroInput] = 0;  // an input tied low
        Reset(config);
        board.FailDevice(c.failing, 1);
        auto module = std::make_unique<TemperatureModule>(c.index, &logger);
        EXPECT_EQ(module->ConnectionTest(), -1) << c.index << c.zeroInput << c.failing;
        module.reset();
        EXPECT_EQ(board.OpenDescriptors(), 0);
    }
}

// Passes by hand, without the thread.
TEST_F(Tmp, MeanOfTheLastTenSamples) {
    ASSERT_EQ(tmp->ConnectionTest(), 0);
    tmp->HistoryEnabled = 1;
    ASSERT_EQ(tmp->ReadToHistory(0), 0);
    board.ClearLog();
    EXPECT_EQ(Read(1), R(0, TMP_RawToRegister(Raw(0) / 10))) << "the empty slots count";
    EXPECT_TRUE(board.Log().empty());
    for (int slot = 1; slot < TMP_HISTORY; ++slot) ASSERT_EQ(tmp->ReadToHistory(slot), 0);

    // The pass ends at the first input of the second converter; that slot
    // keeps its sample, the later inputs are untouched, the mean holds.
    for (int j = 0; j < 16; ++j) sim::SetTemperatureRaw(board, 0, j, 3000);
    board.FailDevice("spi:1", 1);
    EXPECT_EQ(tmp->ReadToHistory(3), -1);
    EXPECT_EQ(History(7)[3], 3000);
    EXPECT_EQ(History(8), V(TMP_HISTORY, Raw(8)));
    EXPECT_EQ(History(15), V(TMP_HISTORY, Raw(15)));
    EXPECT_EQ(Read(9), R(0, TMP_RawToRegister(Raw(8))));
}

TEST_F(Tmp, SamplingThread) {
    ASSERT_EQ(tmp->ConnectionTest(), 0);
    board.ClearLog();
    ASSERT_EQ(tmp->init(), 0);
    const auto thread = tmp->HistoryThread.get_id();
    EXPECT_EQ(tmp->set_OutputRegister(0, 1), 0);
    EXPECT_EQ(tmp->HistoryThread.get_id(), thread) << "a second start";
    unsigned short mode = 0;
    EXPECT_EQ(R(tmp->get_OutputRegister(0, &mode), mode), R(0, 1));

    // Changed codes reach the mean while the thread samples.
    std::thread control([] {
        for (int j = 0; j < 16; ++j) sim::SetTemperatureRaw(board, 0, j, 4095);
    });
    auto sleeps = [] {
        int n = 0;
        for (const auto& t : board.Log()) n += t.op == sim::Op::Sleep;
        return n;
    };
    R last;
    for (int i = 0; i < 5000 && ((last = Read(16)) != R(0, 1128) || sleeps() < 3); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    control.join();
    EXPECT_EQ(last, R(0, 1128));
    // Failed transfers leave no trace in the mean.
    const auto cycles = board.Log();
    board.FailDevice("spi:1", 3);
    int off = 0;
    for (int i = 0; i < 2000; ++i) off += Read(9) != R(0, 1128);
    EXPECT_EQ(off, 0);

    EXPECT_EQ(tmp->set_OutputRegister(0, 0), 0);
    EXPECT_FALSE(tmp->HistoryThread.joinable());
    EXPECT_EQ(tmp->StopThreads(), 0);
    // Ten passes of sixteen conversions back to back, then 100 ms.
    std::vector<int> transfers{0};
    for (const auto& t : cycles) {
        if (t.op == sim::Op::Ioctl) ++transfers.back();
        if (t.op == sim::Op::Sleep) transfers.push_back(t.argument == 100000 ? 0 : -1000);
    }
    // The first cycle may have left the bounded log, the last is cut off anywhere.
    transfers = V(transfers.begin() + 1, transfers.end() - 1);
    ASSERT_GE(transfers.size(), 1u);
    EXPECT_EQ(transfers, V(transfers.size(), 160));

    const int live = TemperatureModule::TmpModuleCount;
    ASSERT_EQ(tmp->set_OutputRegister(0, 1), 0);
    tmp.reset();  // joins the running thread
    EXPECT_EQ(TemperatureModule::TmpModuleCount, live - 1);
    EXPECT_EQ(board.OpenDescriptors(), 0);
}

TEST(TmpConverters, ShownAndSetOnFittedModulesOnly) {
    Reset(Fitted({2}));
    EXPECT_EQ(sim::ShowTemperatureModule(board, 0), Lines{});
    const std::tuple<int, int, int, bool> sets[] = {
        {0, 0, 1, false}, {1, 4, 777, true}, {1, 16, 1, false}, {1, 4, 4096, false}};
    for (auto [module, input, code, ok] : sets) {
        EXPECT_EQ(sim::SetTemperatureRaw(board, module, input, code), ok) << input << " " << code;
    }
    const Lines lines = sim::ShowTemperatureModule(board, 1);
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(Lines({lines[0], lines[4], lines[15]}),
              (Lines{"TMP2 in1 code 150", "TMP2 in5 code 777", "TMP2 in16 code 3900"}));
}

TEST(TmpScan, FoundOnPositionsThirteenToFifteen) {
    ASSERT_TRUE(ts::EnsureJournald());
    Reset(Fitted({1, 3}));
    CorvaneLogger logger{7, false};
    const int live = TemperatureModule::TmpModuleCount;
    {
        Module_Manager manager(&logger);
        manager.Init();
        const std::string mark = ts::JournalMark();
        ASSERT_EQ(manager.ScanModules(), 0);
        unsigned short mode = 0;
        manager.Modules[15]->get_OutputRegister(0, &mode);
        EXPECT_EQ(V({manager.CheckModule(13), manager.CheckModule(14), manager.CheckModule(15),
                     manager.ModuleCount, manager.TmpPresent, manager.BaseModule.PresenceMask[2],
                     TemperatureModule::TmpModuleCount - live, mode}),
                  V({0, -1, 0, 2, 5, 5, 2, 1}));
        EXPECT_EQ(ts::JournalLines(mark, LOG_INFO, "[MM] TMP"),
                  (Lines{" I |  [MM] TMP Module 1", " I |  [MM] TMP Module 3"}));
        for (int nr : {13, 15}) {
            delete manager.Modules[nr];
            manager.Modules[nr] = nullptr;
        }
    }
    EXPECT_EQ(TemperatureModule::TmpModuleCount, live);
    EXPECT_EQ(board.OpenDescriptors(), 0);
}

}  // namespace
