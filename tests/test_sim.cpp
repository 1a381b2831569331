// The simulated board: the seam, the sysfs and bus models, board files.
#include "sim.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

#include "driver_test.h"
#include "platform.h"

namespace {

using sim::Board;
using sim::Op;
using Ints = std::vector<int>;

constexpr unsigned long kI2cSlave = 0x0703;

// A call's result, or minus its errno when it failed.
const auto Answer = [](long result) { return result == -1 ? -errno : result; };
const auto Arg = [](unsigned long value) { return reinterpret_cast<void*>(value); };

// Takes every write.
struct Chip : sim::I2cChip {
    ssize_t Write(const uint8_t*, size_t n) override { return n; }
    ssize_t Read(uint8_t*, size_t n) override { return n; }
};

std::string WriteFile(const std::string& name, const std::string& text) {
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

class Sim : public testing::Test {
  protected:
    testsupport::BoardScope scope;
    Board& board = scope.board;
};

// Faults hit the next calls of one kind on a path prefix; sleeps and
// commands are logged. The bus models and the ping are met by the driver tests.
TEST_F(Sim, InjectedFaultsAndCommands) {
    board.AddI2cChip(0x41, std::make_shared<Chip>());
    const int fd = os().Open("/dev/i2c-1", O_RDWR);
    ASSERT_EQ(os().Ioctl(fd, kI2cSlave, Arg(0x41)), 0);
    board.ClearLog();
    board.FailNext(Op::Write, "/dev/i2c-1", 2, EIO);
    board.FailNext(Op::Write, "/sys/", 1, EPERM);  // another path: never hit here
    for (long expected : {-EIO, -EIO, 1}) EXPECT_EQ(Answer(os().Write(fd, "x", 1)), expected);
    board.FailNext(Op::Open, "/dev/i2c", 1, EACCES);
    EXPECT_EQ(Answer(os().Open("/dev/i2c-1", O_RDWR)), -EACCES);
    // Simulated descriptors are real numbers, taken until closed: nothing else gets them.
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(os().Close(fd), 0);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    os().SleepMicroseconds(1500);
    EXPECT_EQ(os().RunCommand("rm -rf /"), -1) << "only the ping is answered";
    EXPECT_EQ(testsupport::Steps(), "w78! w78! w78 open:i2c-1! close:i2c-1 z1500 cmd:rm -rf /!");
    EXPECT_EQ(board.OpenDescriptors(), 0);
}

// Board files: every key read, and each fault named with its line (the
// start on a bad one is met end to end).
TEST_F(Sim, BoardFiles) {
    auto Modules = [](const sim::BoardConfig& b) {
        return std::make_tuple(b.pwm, b.relay, b.temperature, b.analog,
                               Ints(b.inputs, b.inputs + 9), b.i2c_bus);
    };
    sim::BoardConfig config;
    std::string error;
    const std::string good =
        WriteFile("good.cfg",
                  "pwm = [1, 3];\nrelay = (4);\ntemperature = [];\nanalog = [7, 1];\n"
                  "inputs = [1,0,0,0,0,0,0,0,1];\ni2c_bus = false;\n"
                  "aio7 = { adc = [1, 2, 3, 65535]; din = [0, 1, 0, 1]; alert = 0x0C01; };\n");
    ASSERT_TRUE(sim::LoadBoardFile(good, &config, &error)) << error;
    EXPECT_EQ(Modules(config), std::make_tuple(Ints{1, 3}, Ints{4}, Ints{}, Ints{7, 1},
                                               Ints{1, 0, 0, 0, 0, 0, 0, 0, 1}, false));
    const sim::AioValues& aio7 = config.aio[6];
    EXPECT_EQ(std::make_tuple(Ints(aio7.adc, aio7.adc + 4), Ints(aio7.din, aio7.din + 4),
                              aio7.alert, config.aio[0].adc[0], config.tmp[2].raw[15]),
              std::make_tuple(Ints{1, 2, 3, 65535}, Ints{0, 1, 0, 1}, 0x0C01, 32768, 2000));

    const std::pair<std::string, std::string> bad[] = {
        {"pwm = [1];\n\nrelay = [1\n", "line 4: syntax error"},
        {"pwm = [9];\n", "line 1: 'pwm' must be a list of numbers 1-8"},
        {"analog = [2, 2];\n", "line 1: 'analog' lists module 2 twice"},
        {"analog = [1];\naio1 = { adc = [0, 0, 0, 65536]; };\n",
         "line 2: 'aio1.adc' must be a list of 4 codes 0-65535"},
        {"aio7 = { alert = 1; };\n", "line 1: 'aio7' describes a module that is not fitted"},
    };
    std::string path = testing::TempDir() + "bad.cfg";
    for (const auto& [text, reason] : bad) {
        WriteFile("bad.cfg", text);
        EXPECT_FALSE(sim::LoadBoardFile(path, &config, &error)) << text;
        EXPECT_EQ(error, "board file " + path + " " + reason);
    }
    EXPECT_FALSE(sim::LoadBoardFile(path + ".missing", &config, &error));
    EXPECT_EQ(error, "board file " + path + ".missing: No such file or directory");
}

}  // namespace
