// The entry point of corvanebs-sim: command line, banner, start failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "journal.h"
#include "service.h"

using testsupport::ExitCode;
using testsupport::Messages;
using testsupport::Service;
using testsupport::ServiceOptions;
using namespace std::chrono_literals;

namespace {

const std::string kVersionLine =
    "Corvane Base Software V0.7.18 Release Build for Kernel 5.4.0-88-generic created at: "
    "[2021-12-23 14:47:29]\n";
const std::string kBanner = "Corvane Base Software V0.7.18 started";
const std::string kSeparator(41, '-');

class EntryPoint : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(testsupport::EnsureJournald()); }
};

ServiceOptions Args(std::vector<std::string> args) {
    ServiceOptions options;
    options.args = std::move(args);
    options.waitListening = false;
    return options;
}

}  // namespace

TEST_F(EntryPoint, VersionAndHelpPrintAndLeave) {
    const std::string help =
        "Arguments:)\n-d or --debug: Debug Messages\n-v or --version: Print version string\n";
    for (const auto& [option, out] : std::vector<std::pair<std::string, std::string>>{
             {"-v", kVersionLine}, {"--version", kVersionLine}, {"-h", help}, {"--help", help}}) {
        Service service(Args({option, "-d"}));
        ASSERT_TRUE(service.Start());
        EXPECT_EQ(ExitCode(service.WaitExit(10s)), 0) << option;
        EXPECT_EQ(service.Stdout(), out) << option;
        EXPECT_TRUE(service.Journal("", 1s).empty()) << option;
    }
}

TEST_F(EntryPoint, DefaultStartJournalsTheBannerButNotTheSeparators) {
    // --Debug is not an option: ignored without a word.
    Service service(Args({"--Debug", "-d"}));
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.WaitStdout("[MBS] Starting"));
    auto records = service.Journal("[MBS] Starting");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().message, " I |  " + kBanner);
    EXPECT_EQ(records.front().priority, 5);
    for (const auto& r : records) EXPECT_EQ(r.message.find("-----"), std::string::npos);
    EXPECT_EQ(service.Stdout().find("VRS launched in Debug Mode"), std::string::npos);
    EXPECT_EQ(service.Stdout().rfind(kBanner + "\n", 0), 0u) << service.Stdout();
    EXPECT_EQ(ExitCode(service.Stop(SIGINT)), 2);
}

TEST_F(EntryPoint, DebugModeCountsOnlyTheFirstArgument) {
    Service service(Args({"-d", "-v"}));
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.WaitStdout("is up and running :)"));
    std::string out = service.Stdout();
    EXPECT_EQ(out.rfind("VRS launched in Debug Mode\n" + kSeparator + "\n" + kBanner + "\n" +
                            kSeparator + "\n",
                        0),
              0u)
        << out;
    EXPECT_EQ(out.find("Build for Kernel"), std::string::npos);
    auto messages = Messages(service.Journal("is up and running :)"));
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0], " I |  " + kSeparator);
    EXPECT_EQ(messages[1], " I |  " + kBanner);
    EXPECT_EQ(messages[2], " I |  " + kSeparator);
    EXPECT_EQ(ExitCode(service.Stop(SIGINT)), 2);
}

TEST_F(EntryPoint, StartFailuresEndWith255) {
    // No I2C bus: the module scan fails after a successful Init.
    ServiceOptions options = Args({"-d"});
    options.board = "i2c_bus = false;\n";
    Service noBus(options);
    ASSERT_TRUE(noBus.Start());
    EXPECT_EQ(ExitCode(noBus.WaitExit(10s)), 255);
    auto records = noBus.Journal("Problem During Module Detection");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().message, " C |  Problem During Module Detection");
    EXPECT_EQ(records.back().priority, 2);
    for (const auto& r : records) {
        EXPECT_EQ(r.message.find("Server stopped"), std::string::npos);
        EXPECT_EQ(r.message.find("Aborting"), std::string::npos);
    }

    // A board file the simulator cannot read: a clear line, nothing started.
    options.board = "pwm = [1, 9];\n";
    Service badBoard(options);
    ASSERT_TRUE(badBoard.Start());
    EXPECT_EQ(ExitCode(badBoard.WaitExit(10s)), 255);
    EXPECT_NE(badBoard.Stderr().find("'pwm' must be a list of numbers 1-8"), std::string::npos)
        << badBoard.Stderr();
    EXPECT_EQ(badBoard.Stdout(), "");
    EXPECT_TRUE(badBoard.Journal("", 1s).empty());
}

// The simulator's GPIO trace shows the board as the kernel would see it: the
// base module set up before the server listens, and released in order by
// the destructors that run after the SIGINT shutdown.
TEST_F(EntryPoint, BaseModulePinsComeUpBeforeServingAndGoDownAtExit) {
    testsupport::TempDir traceDir;
    ServiceOptions options;
    options.env["CORVANE_SIM_TRACE"] = traceDir.path() + "/gpio.trace";
    Service service(options);
    ASSERT_TRUE(service.Start());
    auto events = [&](const std::string& kind) {
        std::vector<std::string> out;
        std::istringstream lines(testsupport::ReadFile(traceDir.path() + "/gpio.trace"));
        std::string what, pin, level;
        while (lines >> what >> pin >> level) {
            if (what == kind || kind.empty()) out.push_back(what + " " + pin + " " + level);
        }
        return out;
    };
    // The I/O pins, then the three LEDs.
    const std::vector<std::string> pins = {"502", "503", "501", "500", "0",   "22", "1",
                                           "27",  "13",  "12",  "496", "497", "498"};
    std::vector<std::string> exports, expected;
    for (const auto& pin : pins) exports.push_back("export " + pin + " 0");
    EXPECT_EQ(events("export"), exports);

    ASSERT_EQ(ExitCode(service.Stop(SIGINT)), 2);
    auto all = events("");
    auto firstUnexport = std::find(all.begin(), all.end(), "unexport 502 0");
    ASSERT_NE(firstUnexport, all.end());
    std::vector<std::string> teardown(firstUnexport, all.end());
    for (size_t i = 0; i < 10; ++i) expected.push_back("unexport " + pins[i] + " 0");
    for (const char* line : {"gpio 496 0", "gpio 497 0", "gpio 498 0", "unexport 496 0",
                             "unexport 497 0", "unexport 498 0"}) {
        expected.push_back(line);
    }
    EXPECT_EQ(teardown, expected);
}
