// The journal logger, the error texts and module error reports, checked
// against records read back from a real systemd-journald.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "error.h"
#include "journal.h"
#include "logger.h"
#include "modul.h"

using testsupport::JournalMark;
using testsupport::JournalRecord;
using testsupport::JournalSince;
using testsupport::Messages;

namespace {

class JournalTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(testsupport::EnsureJournald()) << "no systemd-journald"; }
};

// A driver with nothing behind it, to reach ModuleError.
class NullModule : public CorvaneModule {
  public:
    NullModule(CorvaneLogger* logger, const char* name, int number)
        : CorvaneModule(logger, name, number) {}
    int init() override { return 0; }
    int ConnectionTest() override { return 0; }
    int get_InputBit(unsigned char, bool*) override { return 1; }
    int set_OutputBit(unsigned char, bool) override { return 1; }
    int get_OutputBit(unsigned char, bool*) override { return 1; }
    int get_InputRegister(unsigned char, unsigned short*) override { return 1; }
    int set_OutputRegister(unsigned char, unsigned short) override { return 1; }
    int get_OutputRegister(unsigned char, unsigned short*) override { return 1; }
    int StopThreads() override { return 0; }
};

}  // namespace

TEST_F(JournalTest, RecordCarriesPriorityTagAndFixedLocation) {
    CorvaneLogger logger(7, false);
    std::string mark = JournalMark();
    logger.Log(3, "disk on fire", false);
    logger.Log(7, "debug detail", false);
    logger.Log(5, "", false);
    logger.Log(4, "last one", false);

    auto records = JournalSince(mark, "last one");
    ASSERT_EQ(records.size(), 4u) << ::testing::PrintToString(Messages(records));
    EXPECT_EQ(records[0].message, " E |  disk on fire");
    EXPECT_EQ(records[0].priority, 3);
    EXPECT_EQ(records[1].message, " D |  debug detail");
    EXPECT_EQ(records[1].priority, 7);
    // libsystemd trims trailing blanks from a printed record: the tag and
    // its blank arrive as " I |".
    EXPECT_EQ(records[2].message, " I |");
    EXPECT_EQ(records[3].message, " W |  last one");
    for (const auto& r : records) {
        EXPECT_EQ(r.codeLine, "65");
        EXPECT_EQ(r.codeFunc, "Log");
        ASSERT_FALSE(r.codeFile.empty());
        EXPECT_EQ(r.codeFile.front(), '/') << r.codeFile;
        const std::string tail = "src/logger.cpp";
        ASSERT_GE(r.codeFile.size(), tail.size());
        EXPECT_EQ(r.codeFile.substr(r.codeFile.size() - tail.size()), tail);
    }
}

TEST_F(JournalTest, PercentSignsAreText) {
    CorvaneLogger logger(5, false);
    std::string mark = JournalMark();
    testing::internal::CaptureStdout();
    logger.Log(4, "%s%n %d%% 100%", true);
    std::string echoed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(echoed, "%s%n %d%% 100%\n");
    auto records = JournalSince(mark, "100%");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, " W |  %s%n %d%% 100%");
}

TEST_F(JournalTest, ThresholdAndEcho) {
    CorvaneLogger quiet(5, false);
    std::string mark = JournalMark();
    testing::internal::CaptureStdout();
    quiet.Log(6, "above threshold even with echo", true);
    quiet.Log(4, "echoed warning", true);
    quiet.Log(5, "journal only", false);
    CorvaneLogger chatty(5, true);
    chatty.Log(0, "debug flag echoes", false);
    chatty.Log(7, "dropped despite debug", false);
    chatty.Log(5, "", false);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "echoed warning\ndebug flag echoes\n\n");

    auto records = JournalSince(mark, "debug flag echoes");
    auto messages = Messages(records);
    EXPECT_EQ(messages, (std::vector<std::string>{" W |  echoed warning", " I |  journal only",
                                                  " C |  debug flag echoes", " I |"}));
    EXPECT_EQ(records.at(2).priority, 0);
}

TEST_F(JournalTest, LevelsOutsideTheJournalRangeStillLeaveARecord) {
    CorvaneLogger logger(9, false);
    std::string mark = JournalMark();
    logger.Log(-4, "negative level", false);
    logger.Log(8, "level eight", false);
    logger.Log(9, "level nine", false);
    auto records = JournalSince(mark, "level nine");
    ASSERT_EQ(records.size(), 3u) << ::testing::PrintToString(Messages(records));
    EXPECT_EQ(records[0].message, " C |  negative level");
    EXPECT_EQ(records[0].priority, 0);
    EXPECT_EQ(records[1].message, " I |  level eight");
    EXPECT_EQ(records[1].priority, 7);
    EXPECT_EQ(records[2].priority, 7);
}

TEST(LoggerTags, EveryLevelHasItsFiveCharacterTag) {
    CorvaneLogger logger(5, false);
    const char* expected[] = {" C | ", " C | ", " C | ", " E | ", " W | ",
                              " I | ", " I | ", " D | ", " I | ", " I | "};
    for (int level = 0; level < 10; ++level) {
        EXPECT_EQ(logger.LogLevel2String(level), expected[level]) << level;
    }
    EXPECT_EQ(logger.LogLevel2String(-1), " C | ");
    EXPECT_EQ(logger.LogLevel2String(-100000), " C | ");
}

TEST(ErrorTexts, OwnCodesAndTheCLibraryForTheRest) {
    EXPECT_EQ(Corvane_strerror(1), "Illegal function");
    EXPECT_EQ(Corvane_strerror(2), "Illegal data address");
    EXPECT_EQ(Corvane_strerror(3), "Illegal data value");
    EXPECT_EQ(Corvane_strerror(4), "Module Communication Fault");
    EXPECT_EQ(Corvane_strerror(5), "Illegal Module Register");
    EXPECT_EQ(Corvane_strerror(6), "Module Malfunction");
    EXPECT_EQ(Corvane_strerror(7), "Config Acces DENIED");
    EXPECT_EQ(Corvane_strerror(8), "Module not connected");
    EXPECT_EQ(Corvane_strerror(-32768), "Invalid data");
    for (int code : {0, -1, 9, 32768, -32767, 1000000}) {
        EXPECT_EQ(Corvane_strerror(code), std::strerror(code)) << code;
    }
}

TEST_F(JournalTest, ModuleErrorReportsAndReturnsTheCode) {
    CorvaneLogger logger(5, false);
    NullModule relay(&logger, "REL", 2);
    std::string mark = JournalMark();
    EXPECT_EQ(relay.ModuleError(4, 3, ""), 4);
    EXPECT_EQ(relay.ModuleError(4, 4, "on channel 3"), 4);
    EXPECT_EQ(relay.ModuleError(7, 3, "done"), 7);

    auto records = JournalSince(mark, "REL2 Config Acces DENIED");
    EXPECT_EQ(Messages(records),
              (std::vector<std::string>{" E |  REL2 Module Communication Fault",
                                        " W |  REL2 Module Communication Fault on channel 3",
                                        " E |  REL2 Config Acces DENIED done"}));
    EXPECT_EQ(relay.WriteError(4, "ignored"), 0);

    // Below the threshold nothing is written, the code still comes back.
    CorvaneLogger strict(3, false);
    NullModule pwm(&strict, "PWM", 5);
    mark = JournalMark();
    EXPECT_EQ(pwm.ModuleError(3, 4, "dropped"), 3);
    EXPECT_EQ(pwm.ModuleError(8, 3, ""), 8);
    records = JournalSince(mark, "PWM5 Module not connected");
    EXPECT_EQ(Messages(records), (std::vector<std::string>{" E |  PWM5 Module not connected"}));
}

TEST(ModuleInterface, FallbackLoggerWhenNoneIsGiven) {
    NullModule lonely(nullptr, "TMP", 3);
    ASSERT_NE(lonely.Logger, nullptr);
    EXPECT_EQ(lonely.Logger->level, 7);
    EXPECT_TRUE(lonely.Logger->debug);
    EXPECT_EQ(lonely.ModuleName, "TMP");
    EXPECT_EQ(lonely.ModuleNumber, 3);
    EXPECT_FALSE(lonely.ThreadActive.load());

    CorvaneLogger shared(5, true);
    NullModule attached(&shared, "AIO", 1);
    EXPECT_EQ(attached.Logger, &shared);
}
