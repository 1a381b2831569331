// The entry point of corvanebs-sim: command line, banner, start failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "journal.h"
#include "service.h"

using testsupport::ExitCode;
using testsupport::Service;
using testsupport::ServiceOptions;
using namespace std::chrono_literals;

namespace {

const std::string kVersionLine =
    "Corvane Base Software V0.7.18 Release Build for Kernel 5.4.0-88-generic created at: "
    "[2021-12-23 14:47:29]\n";

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

// -v and -h print and leave, unjournaled; only the first argument counts.
TEST_F(EntryPoint, VersionAndHelp) {
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

TEST_F(EntryPoint, StartFailuresEndWith255) {
    // No I2C bus, or an analog module on the SPI device of a temperature
    // module (both answer their probes): the module scan fails after Init.
    ServiceOptions options = Args({"-d"});
    for (const auto& [board, why] : std::vector<std::pair<std::string, std::string>>{
             {"i2c_bus = false;\n", "[MM] Not Able to Open I2C Bus"},
             {"temperature = [1];\nanalog = [2, 4];\n",
              "[MM] SPI Adress conflict on SPI Channel 1. Change AIO 2 or TMP 1 Module DIP "
              "Switch\n"}}) {
        options.board = board;
        Service service(options);
        ASSERT_TRUE(service.Start());
        EXPECT_EQ(ExitCode(service.WaitExit(20s)), 255);
        EXPECT_TRUE(
            testsupport::InOrder(service.Stdout(), {why, "Problem During Module Detection\n"}));
        EXPECT_EQ(service.Stdout().find("Server stopped"), std::string::npos);
    }
    // A board file the simulator cannot read, files that are no regular files,
    // an address or port that cannot be listened on as written, bad access
    // settings: a line saying why, no "up and running".
    testsupport::TempDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(dir.path() + "/board") << "pwm = [1, 9];\n";
    const std::string kIp = "IP = \"127.0.0.1\";\n";
    const struct {
        std::string config, board, error;
    } cases[] = {{"", dir.path() + "/board", "'pwm' must be a list of numbers 1-8"},
                 {"", dir.path(), "corvanebs-sim: board file: " + dir.path() + " is a directory"},
                 {"@include \"" + fifo + "\"\n", "", "Config error: " + fifo + " (included by "},
                 {"IP = \"localhost\";\n", "", "Config error: IP 'localhost' is not a dotted IPv4"},
                 {kIp + "AllowedClients = (\"127.0.0.2\", 3);", "",
                  "[MBS] Bad 'AllowedClients' setting: entry 2 is not"},
                 {kIp + "ConnectionLimit = \"ten\";", "",
                  "[MBS] Bad 'ConnectionLimit' setting: \"ten\" is not a number"},
                 {kIp + "# IdleTimeout = 6\nAllowedClients = [\"127.0.0.2\"", "",
                  "[MBS] Bad 'AllowedClients' setting: the configuration file cannot be parsed"}};
    for (const auto& c : cases) {
        options.config = c.config;
        options.board = "";
        options.env["CORVANE_SIM_BOARD"] = c.board;
        Service odd(options);
        ASSERT_TRUE(odd.Start());
        EXPECT_EQ(ExitCode(odd.WaitExit(10s)), 255) << c.error;
        EXPECT_TRUE(testsupport::InOrder(odd.Stderr() + odd.Stdout(), {c.error}));
        EXPECT_EQ(odd.Stdout().find("up and running"), std::string::npos);
        EXPECT_EQ(odd.Stdout().find("[VRS] Couldnt Start Corvane Server") == std::string::npos,
                  !c.board.empty());
    }
}

// The simulator's GPIO trace shows the board as the kernel would see it: the
// base module set up before the server listens, and released in order by
// the destructors that run after the shutdown, on SIGINT (status 2) or
// SIGTERM (15), also when the stop came before the start was through; the
// control socket's file goes too.
TEST_F(EntryPoint, BaseModulePinsComeUpBeforeServingAndGoDownAtExit) {
    // The I/O pins, then the three LEDs; at exit unexported, the LEDs dark first.
    const std::vector<std::string> pins = {"502", "503", "501", "500", "0",   "22", "1",
                                           "27",  "13",  "12",  "496", "497", "498"};
    std::vector<std::string> exports, teardown;
    for (const auto& pin : pins) exports.push_back("export " + pin + " 0");
    for (size_t i = 0; i < 10; ++i) teardown.push_back("unexport " + pins[i] + " 0");
    for (const char* line : {"gpio 496 0", "gpio 497 0", "gpio 498 0", "unexport 496 0",
                             "unexport 497 0", "unexport 498 0"})
        teardown.push_back(line);
    for (const auto& [signal, pending, status] :
         {std::tuple{SIGINT, false, 2}, {SIGTERM, false, 15}, {SIGTERM, true, 15}}) {
        SCOPED_TRACE(std::to_string(signal) + (pending ? " during the start" : " serving"));
        testsupport::TempDir dir;
        ServiceOptions options;
        options.env["CORVANE_SIM_TRACE"] = dir.path() + "/gpio.trace";
        options.env["CORVANE_SIM_CONTROL"] = dir.path() + "/control";
        options.pendingSignal = pending ? signal : 0;
        options.waitListening = !pending;
        Service service(options);
        ASSERT_TRUE(service.Start());
        ASSERT_EQ(ExitCode(pending ? service.WaitExit(10s) : service.Stop(signal)), status);
        // A stop during the start is carried out once the base module is up.
        EXPECT_EQ(service.Stdout().find("[MBS] Starting") == std::string::npos, pending);
        EXPECT_NE(service.Stdout().find("Server stopped and all connections closed"),
                  std::string::npos);
        EXPECT_NE(access((dir.path() + "/control").c_str(), F_OK), 0);
        std::vector<std::string> all, exported;
        std::istringstream lines(testsupport::ReadFile(dir.path() + "/gpio.trace"));
        for (std::string what, pin, level; lines >> what >> pin >> level;) {
            all.push_back(what + " " + pin + " " + level);
            if (what == "export") exported.push_back(all.back());
        }
        EXPECT_EQ(exported, exports);
        const auto first = std::find(all.begin(), all.end(), "unexport 502 0");
        EXPECT_EQ(std::vector<std::string>(first, all.end()), teardown);
    }
}
