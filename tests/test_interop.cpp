// The service as Modbus clients written by others see it: mbpoll, and pymodbus
// through tests/interop_pymodbus.py, reading and writing every module kind of
// the demo board (PWM1, REL1, TMP1, AIO3 and the base module), whose values
// and the build's version fix every value checked.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "service.h"

namespace {

using Result = std::pair<int, std::string>;  // exit status, output

::testing::AssertionResult Says(const Result& r, bool success, const std::string& text) {
    if ((r.first == 0) == success && r.second.find(text) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit status " << r.first << ", output:\n" << r.second;
}

// The values of the "[reference]: value" lines of an mbpoll poll.
std::vector<long> Values(const Result& r) {
    const std::regex line(R"((^|\n)\[\d+\]:\s+(-?\d+))");
    std::vector<long> values;
    for (std::sregex_iterator m(r.second.begin(), r.second.end(), line), end; m != end; ++m)
        values.push_back(std::stol((*m)[2]));
    return values;
}

class Interop : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(service.Start()) << service.Stderr(); }

    // mbpoll on unit 1; its references are 1-based: reference 1 is address 0.
    Result Mbpoll(const std::string& options, const std::string& values = "") {
        return testsupport::Shell("/usr/bin/mbpoll -m tcp -a 1 -p " +
                                  std::to_string(service.port()) + " " + options + " 127.0.0.1 " +
                                  values);
    }

    testsupport::Service service{[] {
        testsupport::ServiceOptions demoBoard;
        demoBoard.board = "";
        return demoBoard;
    }()};
};

// One mbpoll run: a write of `values` when given, which succeeds unless it
// expects the `refused` text, else a read of `expected`.
struct Step {
    const char* options;
    const char* values;
    std::vector<long> expected = {};
    const char* refused = "";
};

const Step kMbpollSteps[] = {
    // Base module: identification with the presence masks of PWM1, REL1, TMP1
    // and AIO3; the output. Locked, configuration entries are refused.
    {"-t 3 -r 1 -c 12", "", {0, 0, 7, 18, 1234, 1234, 1234, 1234, 1, 1, 1, 4}},
    {"-t 0 -r 1", "1"},
    {"-t 0 -r 1 -c 1", "", {1}},
    {"-t 4 -r 1", "6914"},
    {"-t 4 -r 31", "100", {}, "Illegal function"},
    {"-t 4 -r 1", "5281"},
    // A PWM1 duty out of range (the other modules are pymodbus's part).
    {"-t 4 -r 39", "1001", {}, "Illegal data value"},
    // Input registers 190-201 run past the map's last, 198.
    {"-t 3 -r 191 -c 12", "", {}, "Illegal data address"},
};

TEST_F(Interop, Mbpoll) {
    for (const Step& step : kMbpollSteps) {
        const bool write = *step.values != '\0';
        Result r = Mbpoll(step.options + std::string(write ? "" : " -1"), step.values);
        // Module values fill up in the first passes after the start.
        for (int i = 0; i < 50 && !write && Values(r) != step.expected; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            r = Mbpoll(step.options + std::string(" -1"));
        }
        const std::string what = std::string(step.options) + " " + step.values;
        if (*step.refused != '\0') {
            EXPECT_TRUE(Says(r, false, step.refused)) << what;
        } else if (write) {
            EXPECT_TRUE(Says(r, true, "Written ")) << what;
        } else {
            EXPECT_EQ(Values(r), step.expected) << what << "\n" << r.second;
        }
    }
    EXPECT_TRUE(service.Running());
}

TEST_F(Interop, Pymodbus) {
    const std::string script = std::string(CORVANE_SOURCE_DIR) + "/tests/interop_pymodbus.py";
    EXPECT_TRUE(Says(
        testsupport::Shell("/usr/bin/python3 " + script + " " + std::to_string(service.port())),
        true, "result=pass\n"));
    EXPECT_TRUE(service.Running());
}

}  // namespace
