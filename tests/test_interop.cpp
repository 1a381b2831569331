// Interoperability: the service as seen by Modbus clients written by others (mbpoll, and
// pymodbus through tests/interop_pymodbus.py). The board carries the base module only, so
// every value checked is fixed by the base module and the build's version.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "service.h"

namespace {

using testsupport::Service;

// Input registers 0-11: a zero, the version 0.7.18, the four constant words, and the
// presence masks of PWM, relay, temperature and analog modules (none fitted).
const std::vector<long> kIdentification = {0, 0, 7, 18, 1234, 1234, 1234, 1234, 0, 0, 0, 0};

constexpr const char* kMbpoll = "/usr/bin/mbpoll";
constexpr const char* kPython = "/usr/bin/python3";

struct CommandResult {
    int exitStatus = -1;  // -1: did not exit normally
    std::string output;   // standard output and standard error together
};

// `timeout` bounds a client that hangs; the service only listens on loopback, so a hang
// would be a fault of the service, and must fail rather than stall the suite.
CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    const std::string bounded = "timeout -k 5 60 " + command + " 2>&1";
    FILE* pipe = popen(bounded.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

bool Executable(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

// The "[ref]: value" lines of an mbpoll poll, in order.
std::vector<long> MbpollValues(const std::string& output) {
    std::vector<long> values;
    const std::regex line(R"(^\[(\d+)\]:\s+(-?\d+)\s*$)");
    std::istringstream in(output);
    std::string text;
    std::smatch m;
    while (std::getline(in, text)) {
        if (std::regex_match(text, m, line)) values.push_back(std::stol(m[2]));
    }
    return values;
}

class Interop : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Executable(kMbpoll)) << kMbpoll << " missing: scripts/setup installs mbpoll";
        ASSERT_TRUE(service_.Start()) << "corvanebs-sim did not listen\nstdout:\n"
                                      << service_.Stdout() << "\nstderr:\n"
                                      << service_.Stderr();
    }

    // mbpoll's references are 1-based: reference 1 is protocol address 0.
    std::string Mbpoll(const std::string& arguments) const {
        return std::string(kMbpoll) + " -m tcp -a 1 " + arguments + " -p " +
               std::to_string(service_.port()) + " 127.0.0.1";
    }

    CommandResult ReadCoil0() const { return RunCommand(Mbpoll("-t 0 -r 1 -c 1 -1")); }

    Service service_;
};

TEST_F(Interop, MbpollReadsIdentificationRegisters) {
    const CommandResult r = RunCommand(Mbpoll("-t 3 -r 1 -c 12 -1"));
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(MbpollValues(r.output), kIdentification) << r.output;
}

TEST_F(Interop, MbpollSwitchesCoilOnAndOffAndReadsItBack) {
    CommandResult r = RunCommand(Mbpoll("-t 0 -r 1") + " 1");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("Written 1 references"), std::string::npos) << r.output;
    r = ReadCoil0();
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(MbpollValues(r.output), std::vector<long>{1}) << r.output;

    r = RunCommand(Mbpoll("-t 0 -r 1") + " 0");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    r = ReadCoil0();
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(MbpollValues(r.output), std::vector<long>{0}) << r.output;
}

TEST_F(Interop, MbpollSeesLockedConfigurationAsIllegalFunction) {
    CommandResult r = RunCommand(Mbpoll("-t 4 -r 1") + " 6914");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    r = RunCommand(Mbpoll("-t 0 -r 1") + " 1");
    EXPECT_NE(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("Illegal function"), std::string::npos) << r.output;
    r = ReadCoil0();
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(MbpollValues(r.output), std::vector<long>{0}) << r.output;

    r = RunCommand(Mbpoll("-t 4 -r 1") + " 5281");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    r = RunCommand(Mbpoll("-t 0 -r 1") + " 1");
    EXPECT_EQ(r.exitStatus, 0) << r.output;
}

TEST_F(Interop, MbpollGetsIllegalDataAddressBeyondTheMap) {
    // Input registers 190-201 (references 191-202) run past the 198 the map has.
    const CommandResult r = RunCommand(Mbpoll("-t 3 -r 191 -c 12 -1"));
    EXPECT_NE(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("Illegal data address"), std::string::npos) << r.output;
    EXPECT_TRUE(service_.Running());
}

TEST_F(Interop, PymodbusReadsSwitchesAndHonoursTheLock) {
    ASSERT_TRUE(Executable(kPython)) << kPython << " missing";
    const std::string script = std::string(CORVANE_SOURCE_DIR) + "/tests/interop_pymodbus.py";
    const CommandResult r =
        RunCommand(std::string(kPython) + " " + script + " " + std::to_string(service_.port()));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    for (const char* expected : {
             "identification=0,0,7,18,1234,1234,1234,1234,0,0,0,0\n",
             "read_coil0=1\n",
             "read_coil0_after_off=0\n",
             "lock=ok\n",
             "write_hr16_locked=exception=1\n",
             "write_coil0_locked=exception=1\n",
             "unlock=ok\n",
             "write_coil0_unlocked=ok\n",
             "result=pass\n",
         }) {
        EXPECT_NE(r.output.find(expected), std::string::npos)
            << "missing line " << expected << "in:\n"
            << r.output;
    }
    EXPECT_TRUE(service_.Running());
}

}  // namespace
