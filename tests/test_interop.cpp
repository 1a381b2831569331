// The service as Modbus clients written by others see it: mbpoll, and pymodbus
// through tests/interop_pymodbus.py. The board has the base module only, so
// every value checked is fixed by it and by the build's version.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "service.h"

namespace {

struct Result {
    int status = -1;     // exit status, -1 if none
    std::string output;  // standard output and error
};

// Bounded: a client hanging on the loopback service is the service's fault.
Result RunCommand(const std::string& command) {
    Result r;
    FILE* pipe = popen(("timeout -k 5 60 " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return r;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.output.append(buffer, n);
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    return r;
}

::testing::AssertionResult Says(const Result& r, bool success, const std::string& text) {
    if ((r.status == 0) == success && r.output.find(text) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "exit status " << r.status << ", output:\n" << r.output;
}

// The values of the "[reference]: value" lines of an mbpoll poll.
std::vector<long> Values(const Result& r) {
    const std::regex line(R"((^|\n)\[\d+\]:\s+(-?\d+))");
    std::vector<long> values;
    for (std::sregex_iterator m(r.output.begin(), r.output.end(), line), end; m != end; ++m) {
        values.push_back(std::stol((*m)[2]));
    }
    return values;
}

class Interop : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(service.Start()) << service.Stderr(); }

    // mbpoll on unit 1; its references are 1-based: reference 1 is address 0.
    Result Mbpoll(const std::string& options, const std::string& values = "") {
        return RunCommand("/usr/bin/mbpoll -m tcp -a 1 -p " + std::to_string(service.port()) + " " +
                          options + " 127.0.0.1 " + values);
    }

    testsupport::Service service;
};

TEST_F(Interop, Mbpoll) {
    Result r = Mbpoll("-t 3 -r 1 -c 12 -1");
    EXPECT_EQ(Values(r), (std::vector<long>{0, 0, 7, 18, 1234, 1234, 1234, 1234, 0, 0, 0, 0}))
        << r.output;
    auto coil0 = [&] { return Values(Mbpoll("-t 0 -r 1 -c 1 -1")); };
    for (long on : {1, 0}) {
        EXPECT_TRUE(Says(Mbpoll("-t 0 -r 1", std::to_string(on)), true, "Written 1 references"));
        EXPECT_EQ(coil0(), std::vector<long>{on});
    }

    // Locked, the coil write is refused and not applied.
    EXPECT_TRUE(Says(Mbpoll("-t 4 -r 1", "6914"), true, "Written 1 references"));
    EXPECT_TRUE(Says(Mbpoll("-t 0 -r 1", "1"), false, "Illegal function"));
    EXPECT_EQ(coil0(), std::vector<long>{0});
    EXPECT_TRUE(Says(Mbpoll("-t 4 -r 1", "5281"), true, "Written 1 references"));
    EXPECT_TRUE(Says(Mbpoll("-t 0 -r 1", "1"), true, "Written 1 references"));

    // Input registers 190-201 run past the map's last, 198.
    EXPECT_TRUE(Says(Mbpoll("-t 3 -r 191 -c 12 -1"), false, "Illegal data address"));
    EXPECT_TRUE(service.Running());
}

TEST_F(Interop, Pymodbus) {
    const std::string script = std::string(CORVANE_SOURCE_DIR) + "/tests/interop_pymodbus.py";
    EXPECT_TRUE(
        Says(RunCommand("/usr/bin/python3 " + script + " " + std::to_string(service.port())), true,
             "result=pass\n"));
    EXPECT_TRUE(service.Running());
}

}  // namespace
