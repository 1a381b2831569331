// The base-module driver on the simulated board: pins, registers, the lock,
// the LED blinker and the shutdown order.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "grund.h"
#include "journal.h"
#include "sim.h"

namespace {

constexpr int kInputPins[9] = {503, 501, 500, 0, 22, 1, 27, 13, 12};
constexpr int kOutputPin = 502;
constexpr int kLedPins[3] = {496, 497, 498};

sim::Board& board() {
    return sim::Board::Get();
}

std::string ValuePath(int pin) {
    return "/sys/class/gpio/gpio" + std::to_string(pin) + "/value";
}

// Unexports ("u12") and value writes ("496=0") of the transaction log, in order.
std::vector<std::string> PinSteps() {
    std::vector<std::string> steps;
    for (const auto& t : board().Log()) {
        if (t.op != sim::Op::Write) continue;
        const std::string data(t.data.begin(), t.data.end());
        if (t.path == "/sys/class/gpio/unexport") steps.push_back("u" + data);
        for (int pin : {496, 497, 498}) {
            if (t.path == ValuePath(pin)) steps.push_back(std::to_string(pin) + "=" + data);
        }
    }
    return steps;
}

// Waits (bounded) until the simulated ping has run `count` times.
bool WaitForPings(int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (board().PingCount() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The journal records written by this process since `mark`.
std::vector<testsupport::JournalRecord> RecordsSince(const std::string& mark) {
    return testsupport::JournalSince(mark, testsupport::JournalMark());
}

int CountRecords(const std::vector<testsupport::JournalRecord>& records, int priority,
                 const std::string& message) {
    int n = 0;
    for (const auto& r : records) n += r.priority == priority && r.message == message;
    return n;
}

class GrundTest : public ::testing::Test {
  protected:
    void SetUp() override {
        board().Reset(sim::BoardConfig{});
        board().SetTimeScale(0.001);
    }

    CorvaneLogger logger{7, false};
};

TEST_F(GrundTest, InputsAndOutputFollowTheirPins) {
    Grundmodul grund(&logger);
    ASSERT_EQ(grund.init(), 0);
    grund.StopThreads();

    for (int high = 0; high < 9; ++high) {
        for (int i = 0; i < 9; ++i) board().SetInput(kInputPins[i], i == high);
        for (int channel = 0; channel < 9; ++channel) {
            bool value = channel != high;
            EXPECT_EQ(grund.get_InputBit(channel, &value), 0);
            EXPECT_EQ(value, channel == high) << "input " << high << " read on " << channel;
        }
    }
    board().FailNext(sim::Op::Read, "/sys/class/gpio/gpio503/value", 1, EIO);
    bool value = false;
    EXPECT_EQ(grund.get_InputBit(0, &value), -1);

    EXPECT_EQ(board().Direction(kOutputPin), "out");
    for (bool on : {true, false}) {
        EXPECT_EQ(grund.set_OutputBit(0, on), 0);
        EXPECT_EQ(board().Level(kOutputPin), on ? 1 : 0);
        bool readBack = !on;
        EXPECT_EQ(grund.get_OutputBit(0, &readBack), 0);
        EXPECT_EQ(readBack, on);
    }
}

TEST_F(GrundTest, ReservedAndIllegalChannels) {
    ASSERT_TRUE(testsupport::EnsureJournald());
    Grundmodul grund(&logger);
    ASSERT_EQ(grund.init(), 0);
    grund.StopThreads();
    board().ClearLog();

    for (unsigned char ch = 1; ch <= 15; ++ch) {
        bool bit = true;
        unsigned short reg = 7;
        if (ch >= 9) {
            EXPECT_EQ(grund.get_InputBit(ch, &bit), 1);
            EXPECT_FALSE(bit);
        }
        bit = true;
        EXPECT_EQ(grund.set_OutputBit(ch, true), 1);
        EXPECT_EQ(grund.get_OutputBit(ch, &bit), 1);
        EXPECT_FALSE(bit);
        if (ch >= 12) {
            EXPECT_EQ(grund.get_InputRegister(ch, &reg), 1);
            EXPECT_EQ(reg, 0);
        }
        reg = 7;
        if (ch >= 2) {
            EXPECT_EQ(grund.set_OutputRegister(ch, 0), 1);
            EXPECT_EQ(grund.get_OutputRegister(ch, &reg), 1);
            EXPECT_EQ(reg, 0);
        }
    }

    const std::string mark = testsupport::JournalMark();
    for (unsigned char ch : {16, 255}) {
        bool bit = false;
        unsigned short reg = 0;
        EXPECT_EQ(grund.get_InputBit(ch, &bit), 1);
        EXPECT_EQ(grund.set_OutputBit(ch, true), 1);
        EXPECT_EQ(grund.get_OutputBit(ch, &bit), 1);
        EXPECT_EQ(grund.get_InputRegister(ch, &reg), 1);
        EXPECT_EQ(grund.set_OutputRegister(ch, GRUND_LOCK_CODE), 1);
        EXPECT_EQ(grund.get_OutputRegister(ch, &reg), 1);
    }
    EXPECT_FALSE(grund.ConfigLocked);
    EXPECT_TRUE(board().Log().empty()) << "no pin is touched for an unserved channel";
    const auto records = RecordsSince(mark);
    EXPECT_EQ(CountRecords(records, 3, " E |  GRUND1 Illegal function"), 12);
}

TEST_F(GrundTest, UserLedRegister) {
    Grundmodul grund(&logger);
    ASSERT_EQ(grund.init(), 0);
    grund.StopThreads();
    unsigned short value = 0;

    EXPECT_EQ(grund.set_OutputRegister(1, 0xFF00 | 0xCC | 0x12), 0);  // other bits ignored
    EXPECT_EQ(grund.Get_LED(0), LED_FAST_BLINK);
    EXPECT_EQ(grund.Get_LED(1), LED_ON);
    EXPECT_EQ(board().Level(kLedPins[1]), 1);
    EXPECT_EQ(grund.get_OutputRegister(1, &value), 0);
    EXPECT_EQ(value, 0x23);

    const size_t writes0 = board().ValueWrites(kLedPins[0]).size();
    const size_t writes1 = board().ValueWrites(kLedPins[1]).size();
    for (unsigned short refused : {0x33, 0x30, 0x03}) {
        EXPECT_EQ(grund.set_OutputRegister(1, refused), 3);
        EXPECT_EQ(grund.Get_LED(0), LED_FAST_BLINK);
        EXPECT_EQ(grund.Get_LED(1), LED_ON);
    }
    EXPECT_EQ(board().ValueWrites(kLedPins[0]).size(), writes0);
    EXPECT_EQ(board().ValueWrites(kLedPins[1]).size(), writes1);

    // Slow blink survives a client's mode; the other LED still follows.
    EXPECT_EQ(grund.Set_LED(0, LED_SLOW_BLINK), 0);
    EXPECT_EQ(grund.set_OutputRegister(1, 0x20), 0);
    EXPECT_EQ(grund.Get_LED(0), LED_SLOW_BLINK);
    EXPECT_EQ(grund.Get_LED(1), LED_OFF);
    EXPECT_EQ(board().Level(kLedPins[1]), 0);

    EXPECT_EQ(grund.Set_LED(0, LED_ON), 0);
    EXPECT_EQ(board().Level(kLedPins[0]), 1);
    EXPECT_EQ(grund.set_OutputRegister(1, 0x00), 0);
    EXPECT_EQ(board().Level(kLedPins[0]), 0);

    board().FailNext(sim::Op::Open, "/sys/class/gpio/gpio498/value", 1, EIO);
    EXPECT_EQ(grund.Set_LED(2, LED_ON), -1);
    EXPECT_EQ(grund.Get_LED(2), LED_ON);
}

TEST_F(GrundTest, LockRegister) {
    ASSERT_TRUE(testsupport::EnsureJournald());
    Grundmodul grund(&logger);
    const std::string mark = testsupport::JournalMark();

    EXPECT_EQ(grund.set_OutputRegister(0, 6914), 0);
    EXPECT_TRUE(grund.ConfigLocked);
    EXPECT_EQ(grund.set_OutputRegister(0, 1), 3);
    EXPECT_EQ(grund.set_OutputRegister(0, 5280), 3);
    EXPECT_TRUE(grund.ConfigLocked);
    EXPECT_EQ(grund.set_OutputRegister(0, 5281), 0);
    EXPECT_FALSE(grund.ConfigLocked);
    EXPECT_EQ(grund.set_OutputRegister(0, 5281), 0);
    EXPECT_EQ(grund.set_OutputRegister(0, 6914 + 1), 3);
    EXPECT_FALSE(grund.ConfigLocked);
    unsigned short value = 1;
    EXPECT_EQ(grund.get_OutputRegister(0, &value), 0);
    EXPECT_EQ(value, 0);

    std::vector<std::string> lock;
    for (const auto& r : RecordsSince(mark)) {
        if (r.message.find("Config has been") != std::string::npos) {
            EXPECT_EQ(r.priority, 6);
            lock.push_back(r.message);
        }
    }
    EXPECT_EQ(lock, (std::vector<std::string>{" I |  Config has been Locked",
                                              " I |  Config has been Unlocked",
                                              " I |  Config has been Unlocked"}));
}

TEST_F(GrundTest, IdentificationRegisters) {
    Grundmodul grund(&logger);
    EXPECT_EQ(grund.ConnectionTest(), 0);
    unsigned short value = 1;
    for (unsigned char ch = 0; ch <= 11; ++ch) {
        EXPECT_EQ(grund.get_InputRegister(ch, &value), 0);
        EXPECT_EQ(value, 0) << "register " << int(ch) << " before init";
    }
    ASSERT_EQ(grund.init(), 0);
    grund.StopThreads();
    EXPECT_EQ(grund.set_ModuleConnectionStatus(0x05, 0x02, 0x04, 0x40), 0);
    const unsigned short expected[12] = {0,    0,    7,    18,   1234, 1234,
                                         1234, 1234, 0x05, 0x02, 0x04, 0x40};
    for (unsigned char ch = 0; ch <= 11; ++ch) {
        EXPECT_EQ(grund.get_InputRegister(ch, &value), 0);
        EXPECT_EQ(value, expected[ch]) << "register " << int(ch);
    }
}

// One blinker pass is what lies between two sleeps in the transaction log.
struct Pass {
    int led[3] = {-1, -1, -1};  // level written to each LED pin, -1 none
    bool pinged = false;
    long pingResult = 0;
};

TEST_F(GrundTest, BlinkerPasses) {
    Grundmodul grund(&logger);
    ASSERT_EQ(grund.init(), 0);
    grund.Set_LED(0, LED_FAST_BLINK);
    grund.Set_LED(1, LED_SLOW_BLINK);
    grund.Set_LED(2, LED_FAST_BLINK);
    grund.set_OutputBit(0, true);  // marks in the log where the states are in place
    ASSERT_TRUE(WaitForPings(2));
    board().SetPingStatus(1);
    ASSERT_TRUE(WaitForPings(4));
    EXPECT_EQ(grund.StopThreads(), 0);

    std::vector<Pass> passes;
    bool markerSeen = false;
    for (const auto& t : board().Log()) {
        if (t.op == sim::Op::Sleep) {
            EXPECT_EQ(t.argument, 500000u);
            if (markerSeen) passes.emplace_back();
            continue;
        }
        if (t.op == sim::Op::Write && t.path == "/sys/class/gpio/gpio502/value") markerSeen = true;
        if (passes.empty()) continue;
        if (t.op == sim::Op::Command) {
            EXPECT_EQ(t.path, "ping -c1 -W1 -s1 sim.invalid > /dev/null 2>&1");
            passes.back().pinged = true;
            passes.back().pingResult = t.result;
        }
        for (int led = 0; led < 3; ++led) {
            if (t.op == sim::Op::Write && t.path == ValuePath(kLedPins[led])) {
                ASSERT_FALSE(t.data.empty());
                passes.back().led[led] = t.data[0] == '1';
            }
        }
    }
    ASSERT_GT(passes.size(), 60u);
    // The pass after the last sleep is empty: the thread ends right after it.
    const Pass tail = passes.back();
    passes.pop_back();
    EXPECT_EQ(tail.led[0], -1);

    int slow = -1, pingsSeen = 0, sinceLastPing = -1;
    bool internet = false, seenOk = false, seenFail = false;
    for (size_t p = 0; p < passes.size(); ++p) {
        const Pass& pass = passes[p];
        ASSERT_NE(pass.led[0], -1) << "fast LED written every pass";
        if (p > 0) {
            EXPECT_NE(pass.led[0], passes[p - 1].led[0]) << "pass " << p;
        }
        // Slow LED: written on odd passes only, inverted each time.
        EXPECT_EQ(pass.led[1] != -1, pass.led[0] == 1) << "pass " << p;
        if (pass.led[1] != -1) {
            if (slow != -1) {
                EXPECT_NE(pass.led[1], slow) << "pass " << p;
            }
            slow = pass.led[1];
        }
        EXPECT_EQ(pass.led[2], internet ? 1 : pass.led[0]) << "pass " << p;
        if (sinceLastPing >= 0) ++sinceLastPing;
        if (pass.pinged) {
            EXPECT_EQ(pass.led[0], 0) << "the ping pass is pass 40, an even one";
            if (sinceLastPing >= 0) {
                EXPECT_EQ(sinceLastPing, 40);
            }
            sinceLastPing = 0;
            ++pingsSeen;
            internet = pass.pingResult == 0;
            seenOk = seenOk || internet;
            seenFail = seenFail || !internet;
        }
    }
    EXPECT_GE(pingsSeen, 2);
    EXPECT_TRUE(seenOk);
    EXPECT_TRUE(seenFail);
}

TEST_F(GrundTest, FirstPingOnPassForty) {
    Grundmodul grund(&logger);
    ASSERT_EQ(grund.init(), 0);
    ASSERT_TRUE(WaitForPings(1));
    grund.StopThreads();
    int sleeps = 0;
    for (const auto& t : board().Log()) {
        if (t.op == sim::Op::Command) break;
        sleeps += t.op == sim::Op::Sleep;
    }
    EXPECT_EQ(sleeps, 40);
}

TEST_F(GrundTest, StopAndShutdownOrder) {
    const std::vector<int> order = {502, 503, 501, 500, 0, 22, 1, 27, 13, 12, 496, 497, 498};
    {
        Grundmodul grund(&logger);
        ASSERT_EQ(grund.init(), 0);
        grund.Set_LED(0, LED_ON);
        grund.Set_LED(1, LED_FAST_BLINK);
        EXPECT_EQ(grund.StopThreads(), 0);
        EXPECT_FALSE(grund.BlinkerRunning);
        EXPECT_EQ(grund.StopThreads(), 0);
        board().ClearLog();
    }
    EXPECT_EQ(board().Unexports(), order);
    // The LEDs go dark after the I/O pins are released and before their own.
    std::vector<std::string> expected;
    for (int i = 0; i < 10; ++i) expected.push_back("u" + std::to_string(order[i]));
    for (const char* step : {"496=0", "497=0", "498=0", "u496", "u497", "u498"})
        expected.push_back(step);
    EXPECT_EQ(PinSteps(), expected);

    // Without init the LEDs were never configured: no LED write on the way out.
    board().Reset(sim::BoardConfig{});
    { Grundmodul idle(&logger); }
    expected.erase(expected.begin() + 10, expected.begin() + 13);
    EXPECT_EQ(PinSteps(), expected);
}

TEST_F(GrundTest, InitStopsAtTheFirstFailingPin) {
    board().FailNext(sim::Op::Open, "/sys/class/gpio/gpio497/direction", 1, EIO);
    {
        Grundmodul grund(&logger);
        EXPECT_EQ(grund.init(), -1);
        EXPECT_TRUE(board().IsExported(kInputPins[8]));
        EXPECT_TRUE(board().IsExported(kLedPins[0]));
        EXPECT_FALSE(board().IsExported(kLedPins[2]));
        EXPECT_FALSE(grund.LedsReady);
        EXPECT_FALSE(grund.BlinkerRunning);
        unsigned short value = 0;
        grund.get_InputRegister(3, &value);
        EXPECT_EQ(value, 18);
    }
    EXPECT_TRUE(board().ValueWrites(kLedPins[0]).empty());
}

}  // namespace
