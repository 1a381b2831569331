// The base-module driver on the simulated board.
#include <gtest/gtest.h>

#include <cerrno>
#include <array>
#include <chrono>
#include <functional>
#include <thread>

#include "driver_test.h"
#include "grund.h"

namespace {

using namespace testsupport;
using G = Grundmodul;
sim::Board& board = sim::Board::Get();

// The module is set up with its blinker stopped: only the test writes pins.
class GrundTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(grund.init(), 0);
        grund.StopThreads();
    }
    template <typename T>
    R Get(int (G::*get)(unsigned char, T*), int channel) {
        return Got(grund, get, channel);
    }
    BoardScope scope{{}, 0.001};
    CorvaneLogger logger{7, false};
    Grundmodul grund{&logger};
};

TEST_F(GrundTest, Channels) {
    for (int high = 0; high < 9; ++high) {
        for (int i = 0; i < 9; ++i) board.SetInput(sim::kInputPins[i], i == high);
        for (int ch = 0; ch < 9; ++ch)
            EXPECT_EQ(Get(&G::get_InputBit, ch), R(0, ch == high)) << high << " on " << ch;
    }
    for (bool on : {true, false}) {
        EXPECT_EQ(grund.set_OutputBit(0, on), 0);
        EXPECT_EQ(V({board.Level(502), Get(&G::get_OutputBit, 0).second}), V(2, on));
    }
    EXPECT_EQ(grund.set_ModuleConnectionStatus(5, 2, 4, 0x40), 0);
    const int ids[12] = {0, 0, 7, 18, 1234, 1234, 1234, 1234, 5, 2, 4, 0x40};
    for (int ch = 0; ch < 12; ++ch) EXPECT_EQ(Get(&G::get_InputRegister, ch), R(0, ids[ch])) << ch;

    // Reserved channels answer 1 and 0; channels above 15 answer 1.
    board.ClearLog();
    const std::pair<int, std::function<R(int)>> calls[] = {
        {9, [&](int ch) { return Get(&G::get_InputBit, ch); }},
        {1, [&](int ch) { return Get(&G::get_OutputBit, ch); }},
        {1,
         [&](int ch) { return R(grund.set_OutputBit(static_cast<unsigned char>(ch), true), 0); }},
        {12, [&](int ch) { return Get(&G::get_InputRegister, ch); }},
        {2, [&](int ch) { return Get(&G::get_OutputRegister, ch); }},
        {2, [&](int ch) {
             return R(grund.set_OutputRegister(static_cast<unsigned char>(ch), GRUND_LOCK_CODE), 0);
         }}};
    for (const auto& [first, call] : calls) {
        for (int ch = first; ch <= 15; ++ch) EXPECT_EQ(call(ch), R(1, 0)) << first << ": " << ch;
        for (int ch : {16, 255}) EXPECT_EQ(call(ch).first, 1) << first << ": " << ch;
    }
    EXPECT_FALSE(grund.ConfigLocked);
    EXPECT_TRUE(board.Log().empty()) << "no pin is touched for an unserved channel";
}

TEST_F(GrundTest, LockAndUserLedRegisters) {
    // Code written, result, locked after it.
    const int steps[][3] = {{6914, 0, 1}, {1, 3, 1},    {5280, 3, 1},
                            {5281, 0, 0}, {5281, 0, 0}, {6915, 3, 0}};
    for (const auto& [code, result, locked] : steps) {
        EXPECT_EQ(
            V({grund.set_OutputRegister(0, static_cast<unsigned short>(code)), grund.ConfigLocked}),
            V({result, locked}))
            << code;
    }
    EXPECT_EQ(Get(&G::get_OutputRegister, 0), R(0, 0)) << "the lock is not readable";

    const auto leds = [&] {
        return V{grund.Get_LED(0), grund.Get_LED(1), board.Level(496), board.Level(497)};
    };
    EXPECT_EQ(grund.set_OutputRegister(1, 0xFF00 | 0xCC | 0x12), 0);  // other bits ignored
    EXPECT_EQ(leds(), (V{LED_FAST_BLINK, LED_ON, 0, 1}));
    EXPECT_EQ(Get(&G::get_OutputRegister, 1), R(0, 0x23));
    board.ClearLog();
    for (unsigned short refused : std::initializer_list<unsigned short>{0x33, 0x30, 0x03})
        EXPECT_EQ(grund.set_OutputRegister(1, refused), 3);
    EXPECT_EQ(leds(), (V{LED_FAST_BLINK, LED_ON, 0, 1}));
    EXPECT_TRUE(board.Log().empty()) << "a refused value writes no pin";
    // Slow blink is the service's own status: a client's mode leaves it.
    EXPECT_EQ(grund.Set_LED(1, LED_SLOW_BLINK) + grund.set_OutputRegister(1, 0x20), 0);
    EXPECT_EQ(leds(), (V{LED_ON, LED_SLOW_BLINK, 1, 1}));
    EXPECT_EQ(grund.set_OutputRegister(1, 0x00), 0);
    EXPECT_EQ(leds(), (V{LED_OFF, LED_SLOW_BLINK, 0, 1}));
}

TEST_F(GrundTest, BlinkerPasses) {
    board.ClearLog();
    ASSERT_EQ(grund.init(), 0);  // again: a stopped blinker starts anew
    for (int led : {0, 1, 2}) grund.Set_LED(led, led == 1 ? LED_SLOW_BLINK : LED_FAST_BLINK);
    grund.set_OutputBit(0, true);  // marks in the log where the states are in place
    // Two pings answered 0, then at least one failing.
    for (int round = 0, target = 2; round < 2; ++round, target = board.PingCount() + 1) {
        for (int i = 0; i < 30000 && board.PingCount() < target; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_GE(board.PingCount(), target);
        board.SetPingStatus(1);
    }
    EXPECT_EQ(grund.StopThreads(), 0);

    // The passes (each ends with its sleep): LED levels written (-1: none), then the ping's result.
    std::vector<std::array<int, 4>> passes(1, {-1, -1, -1, -1});
    size_t marker = 0;
    V pings;  // their results
    for (const auto& t : board.Log()) {
        std::array<int, 4>& pass = passes.back();
        if (t.op == sim::Op::Command) {
            EXPECT_EQ(t.path, "ping -c1 -W1 -s1 sim.invalid > /dev/null 2>&1");
            EXPECT_EQ(passes.size() - 1, 40 * (pings.size() + 1)) << "a ping every 40 passes";
            pings.push_back(pass[3] = static_cast<int>(t.result));
        } else if (t.op == sim::Op::Write && t.path == "/sys/class/gpio/gpio502/value") {
            marker = marker ? marker : passes.size();
        } else if (t.op == sim::Op::Write && t.path.find("/gpio49") == 15) {
            pass.at(t.path[22] - '6') = t.data.at(0) == '1';
        } else if (t.op == sim::Op::Sleep) {
            EXPECT_EQ(t.argument, 500000u);
            passes.push_back({-1, -1, -1, -1});
        }
    }
    EXPECT_EQ(passes.back()[0], -1) << "the thread ends right after its last sleep";
    ASSERT_GE(pings.size(), 3u);
    EXPECT_TRUE(pings.front() == 0 && pings.back() != 0);
    bool internet = false;
    int slowBefore = -1;
    for (size_t p = 1; p + 1 < passes.size(); ++p) {
        const auto [fast, slow, status, ping] = passes[p];
        if (p > marker) {
            EXPECT_EQ(fast, 1 - passes[p - 1][0]) << "fast blink toggles every pass " << p;
            EXPECT_EQ(slow != -1, fast == 1) << "slow blink: every second pass " << p;
            EXPECT_TRUE(slow == -1 || slow != slowBefore) << "toggling each time " << p;
            slowBefore = slow == -1 ? slowBefore : slow;
            EXPECT_EQ(status, internet ? 1 : fast) << "steady while the ping succeeds " << p;
            EXPECT_TRUE(ping < 0 || fast == 0) << "the ping pass, 40, is an even one " << p;
        }
        internet = ping < 0 ? internet : ping == 0;
    }
}

// A second stop, and an init that fails part-way (the shutdown order is seen
// end to end in the simulator's trace).
TEST_F(GrundTest, StopTwiceAndAFailedInit) {
    EXPECT_EQ(grund.StopThreads(), 0);  // the second time
    EXPECT_FALSE(grund.BlinkerRunning);
    board.Reset(sim::BoardConfig{});
    board.FailNext(sim::Op::Open, "/sys/class/gpio/gpio497/direction", 1, EIO);
    EXPECT_EQ(grund.init(), -1) << "init stops at the first pin that fails";
    EXPECT_TRUE(board.IsExported(496) && !board.IsExported(498));
}

}  // namespace
