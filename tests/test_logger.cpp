// The journal logger, the error texts and module error reports, checked
// against records read back from a real systemd-journald.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "error.h"
#include "fake_module.h"
#include "journal.h"
#include "logger.h"

using testsupport::FakeModule;
using testsupport::JournalMark;
using testsupport::JournalSince;
using testsupport::Lines;

namespace {

class JournalTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(testsupport::EnsureJournald()) << "no systemd-journald"; }
    void TearDown() override {
        if (capturing) testing::internal::GetCapturedStdout();
    }

    // Runs `logs` and returns its standard output and journal records as
    // "<priority><MESSAGE>" lines, `until` being the text of the last one.
    Lines Logged(const std::function<void()>& logs, const std::string& until, std::string* out) {
        const std::string mark = JournalMark();
        testing::internal::CaptureStdout();
        capturing = true;
        logs();
        *out = testing::internal::GetCapturedStdout();
        capturing = false;
        Lines lines;
        for (const auto& r : JournalSince(mark, until)) {
            lines.push_back(std::to_string(r.priority) + r.message);
            EXPECT_EQ(r.codeLine, "65");
            EXPECT_EQ(r.codeFunc, "Log");
            const std::string tail = "/src/logger.cpp";  // absolute, as the build saw it
            EXPECT_EQ(r.codeFile.front(), '/') << r.codeFile;
            EXPECT_EQ(
                r.codeFile.substr(r.codeFile.size() - std::min(r.codeFile.size(), tail.size())),
                tail);
        }
        return lines;
    }
    bool capturing = false;
};

}  // namespace

TEST_F(JournalTest, PriorityTagLocationThresholdAndEcho) {
    std::string out;
    Lines lines = Logged(
        [] {
            CorvaneLogger quiet(5, false);
            quiet.Log(6, "above threshold even with echo", true);
            quiet.Log(3, "disk on fire", false);
            quiet.Log(4, "echoed warning", true);
            quiet.Log(4, "%s%n %d%% 100%", true);  // text, never a format
            CorvaneLogger chatty(7, true);
            chatty.Log(0, "debug flag echoes", false);
            chatty.Log(7, "debug detail", false);
            chatty.Log(5, "", false);
            chatty.Log(6, "last", false);
        },
        "last", &out);
    EXPECT_EQ(out, "echoed warning\n%s%n %d%% 100%\ndebug flag echoes\ndebug detail\n\nlast\n");
    // libsystemd trims trailing blanks from a printed record: the empty
    // message's tag and blank arrive as " I |".
    EXPECT_EQ(lines,
              (Lines{"3 E |  disk on fire", "4 W |  echoed warning", "4 W |  %s%n %d%% 100%",
                     "0 C |  debug flag echoes", "7 D |  debug detail", "5 I |", "6 I |  last"}));
}

TEST_F(JournalTest, LevelsOutsideTheJournalRangeStillLeaveARecord) {
    std::string out;
    Lines lines = Logged(
        [] {
            CorvaneLogger logger(9, false);
            logger.Log(-4, "negative level", false);
            logger.Log(8, "level eight", false);
            logger.Log(9, "level nine", false);
        },
        "level nine", &out);
    EXPECT_EQ(lines, (Lines{"0 C |  negative level", "7 I |  level eight", "7 I |  level nine"}));

    CorvaneLogger logger(5, false);
    const char* tags[] = {" C | ", " C | ", " C | ", " E | ", " W | ",
                          " I | ", " I | ", " D | ", " I | ", " I | "};
    for (int level = -2; level < 10; ++level) {
        EXPECT_EQ(logger.LogLevel2String(level), tags[std::max(level, 0)]) << level;
    }
}

TEST(ErrorTexts, OwnCodesAndTheCLibraryForTheRest) {
    const char* own[] = {"Illegal function",        "Illegal data address",
                         "Illegal data value",      "Module Communication Fault",
                         "Illegal Module Register", "Module Malfunction",
                         "Config Acces DENIED",     "Module not connected"};
    for (int code = 1; code <= 8; ++code) EXPECT_EQ(Corvane_strerror(code), own[code - 1]);
    EXPECT_EQ(Corvane_strerror(-32768), "Invalid data");
    for (int code : {0, -1, 9, 32768, -32767, 1000000}) {
        EXPECT_EQ(Corvane_strerror(code), std::strerror(code)) << code;
    }
}

TEST_F(JournalTest, ModuleErrorReportsAndReturnsTheCode) {
    std::string out;
    Lines lines = Logged(
        [] {
            CorvaneLogger logger(5, false);
            FakeModule relay(&logger, 2, "REL");
            EXPECT_EQ(relay.ModuleError(4, 3, ""), 4);
            EXPECT_EQ(relay.ModuleError(4, 4, "on channel 3"), 4);
            EXPECT_EQ(relay.WriteError(4, "ignored"), 0);
            // Below the threshold nothing is written; the code still comes back.
            CorvaneLogger strict(3, false);
            FakeModule pwm(&strict, 5, "PWM");
            EXPECT_EQ(pwm.ModuleError(3, 4, "dropped"), 3);
            EXPECT_EQ(pwm.ModuleError(7, 3, "done"), 7);
        },
        "PWM5 Config Acces DENIED done", &out);
    EXPECT_EQ(lines, (Lines{"3 E |  REL2 Module Communication Fault",
                            "4 W |  REL2 Module Communication Fault on channel 3",
                            "3 E |  PWM5 Config Acces DENIED done"}));
    EXPECT_EQ(out, "");
}

TEST(ModuleInterface, FallbackLoggerWhenNoneIsGiven) {
    FakeModule lonely(nullptr, 3, "TMP");
    ASSERT_NE(lonely.Logger, nullptr);
    EXPECT_EQ(lonely.Logger->level, 7);
    EXPECT_TRUE(lonely.Logger->debug);
    CorvaneLogger shared(5, true);
    EXPECT_EQ(FakeModule(&shared, 1, "AIO").Logger, &shared);
}
