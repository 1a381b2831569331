// The simulated board: the seam, the sysfs and bus models, board files.
#include "sim.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "i2c.h"
#include "platform.h"

namespace {

using sim::Board;
using sim::Op;

constexpr unsigned long kI2cSlave = 0x0703;
constexpr unsigned long kI2cTenBit = 0x0704;

void* IntArg(unsigned long value) {
    return reinterpret_cast<void*>(value);
}

// A call's result, or minus its errno when it failed: one comparison per call.
long Answer(long result) {
    return result == -1 ? -errno : result;
}

// A register file: a write sets the register pointer, further bytes fill
// registers from there; a read returns registers from the pointer.
class RegisterChip : public sim::I2cChip {
  public:
    uint8_t registers[256] = {};
    uint8_t pointer = 0;

    ssize_t Write(const uint8_t* data, size_t length) override {
        if (length == 0) return 0;
        pointer = data[0];
        for (size_t i = 1; i < length; ++i) registers[pointer++] = data[i];
        return static_cast<ssize_t>(length);
    }
    ssize_t Read(uint8_t* buffer, size_t length) override {
        for (size_t i = 0; i < length; ++i) buffer[i] = registers[pointer++];
        return static_cast<ssize_t>(length);
    }
};

class EchoSpi : public sim::SpiDevice {
  public:
    std::vector<unsigned long> requests;
    int Ioctl(unsigned long request, void*) override {
        requests.push_back(request);
        return 7;
    }
};

std::string WriteFile(const std::string& name, const std::string& text) {
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

class Sim : public testing::Test {
  protected:
    void SetUp() override {
        Board::Get().Reset(sim::BoardConfig{});
        Board::Get().SetTimeScale(0);
    }
};

TEST_F(Sim, SeamRoutesBusTrafficToTheBoundChipAndLogsIt) {
    Board& board = Board::Get();
    board.AddI2cChip(0x41, std::make_shared<RegisterChip>());
    int fd = os().Open("/dev/i2c-1", O_RDWR);
    ASSERT_GE(fd, 0);
    const uint8_t set[] = {0x06, 0xAB, 0xCD};
    const uint8_t select[] = {0x07};
    uint8_t got = 0;
    os().Ioctl(fd, kI2cTenBit, IntArg(0));
    os().Ioctl(fd, kI2cSlave, IntArg(0x41));
    os().Write(fd, set, 3);
    os().Write(fd, select, 1);
    os().Read(fd, &got, 1);
    EXPECT_EQ(got, 0xCD);
    os().Ioctl(fd, kI2cSlave, IntArg(0x42));  // nobody acknowledges 0x42
    EXPECT_EQ(Answer(os().Read(fd, &got, 1)), -EREMOTEIO);
    EXPECT_EQ(Answer(os().Ioctl(fd, kI2cSlave, IntArg(0x80))), -EINVAL);
    os().Close(fd);

    struct Expected {
        Op op;
        unsigned long request, argument;
        std::vector<uint8_t> data;
        long result;
    };
    const Expected expected[] = {
        {Op::Open, 0, O_RDWR, {}, fd},        {Op::Ioctl, kI2cTenBit, 0, {}, 0},
        {Op::Ioctl, kI2cSlave, 0x41, {}, 0},  {Op::Write, 0, 0, {0x06, 0xAB, 0xCD}, 3},
        {Op::Write, 0, 0, {0x07}, 1},         {Op::Read, 0, 0, {0xCD}, 1},
        {Op::Ioctl, kI2cSlave, 0x42, {}, 0},  {Op::Read, 0, 0, {}, -1},
        {Op::Ioctl, kI2cSlave, 0x80, {}, -1}, {Op::Close, 0, 0, {}, 0},
    };
    std::vector<sim::Transaction> log = board.Log();
    ASSERT_EQ(log.size(), std::size(expected));
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log[i].op, expected[i].op);
        EXPECT_EQ(log[i].path, "/dev/i2c-1");
        EXPECT_EQ(log[i].fd, fd);
        EXPECT_EQ(log[i].request, expected[i].request);
        EXPECT_EQ(log[i].argument, expected[i].argument);
        EXPECT_EQ(log[i].data, expected[i].data);
        EXPECT_EQ(log[i].result, expected[i].result);
    }

    // SPI devices get their ioctls; a device without a model does not exist.
    auto spi = std::make_shared<EchoSpi>();
    board.AddSpiDevice(2, spi);
    int spiFd = os().Open("/dev/spidev0.2", O_RDWR);
    EXPECT_EQ(os().Ioctl(spiFd, 0x40046b04, nullptr), 7);
    EXPECT_EQ(spi->requests, std::vector<unsigned long>{0x40046b04});
    EXPECT_EQ(Answer(os().Open("/dev/spidev0.3", O_RDWR)), -ENOENT);

    // Simulated descriptors are real numbers nothing else can get until closed.
    int real = ::open("/dev/null", O_RDONLY);
    EXPECT_NE(real, spiFd);
    ::close(real);
    EXPECT_EQ(os().Close(spiFd), 0);
    EXPECT_EQ(::fcntl(spiFd, F_GETFD), -1);
    EXPECT_EQ(board.OpenDescriptors(), 0);

    // Other paths are the real file system, unlogged.
    board.ClearLog();
    int file = os().Open(WriteFile("seam.txt", "abc").c_str(), O_RDONLY);
    char text[4] = {};
    EXPECT_EQ(os().Read(file, text, 3), 3);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(os().Close(file), 0);
    EXPECT_TRUE(board.Log().empty());
}

TEST_F(Sim, GpioModelAnswersLikeSysfs) {
    Board& board = Board::Get();
    auto write = [](const char* path, const std::string& text) {
        int fd = os().Open(path, O_WRONLY);
        long result = Answer(fd < 0 ? fd : os().Write(fd, text.data(), text.size()));
        if (fd >= 0) os().Close(fd);
        return result;
    };
    const char* value = "/sys/class/gpio/gpio496/value";
    const char* direction = "/sys/class/gpio/gpio496/direction";
    EXPECT_EQ(write(value, "1"), -ENOENT);
    EXPECT_EQ(write("/sys/class/gpio/export", "496"), 3);
    EXPECT_EQ(write("/sys/class/gpio/export", "496"), -EBUSY);
    EXPECT_EQ(write("/sys/class/gpio/export", "4x"), -EINVAL);
    EXPECT_EQ(board.Direction(496), "in");
    EXPECT_EQ(write(value, "1"), -EPERM);
    EXPECT_EQ(write(direction, "sideways"), -EINVAL);
    EXPECT_EQ(write(direction, "out"), 3);
    EXPECT_EQ(write(value, "1"), 1);
    EXPECT_EQ(board.Level(496), 1);
    EXPECT_EQ(board.ValueWrites(496), std::vector<int>{1});

    char text[8] = {};
    int fd = os().Open(value, O_RDONLY);
    EXPECT_EQ(os().Read(fd, text, sizeof text), 2);
    EXPECT_STREQ(text, "1\n");
    EXPECT_EQ(os().Read(fd, text, sizeof text), 0);
    EXPECT_EQ(Answer(os().Write(fd, "0", 1)), -EBADF);
    EXPECT_EQ(write("/sys/class/gpio/unexport", "496"), 3);
    EXPECT_EQ(Answer(os().Read(fd, text, 1)), -ENODEV);  // the file went with the pin
    os().Close(fd);
    fd = os().Open("/sys/class/gpio/export", O_WRONLY);
    EXPECT_EQ(Answer(os().Read(fd, text, 1)), -EBADF);
    os().Close(fd);

    EXPECT_EQ(write("/sys/class/gpio/unexport", "496"), -EINVAL);
    EXPECT_EQ(board.Unexports(), std::vector<int>{496});
    EXPECT_FALSE(board.IsExported(496));
    EXPECT_EQ(board.OpenDescriptors(), 0);
}

TEST_F(Sim, FaultsSleepsAndThePing) {
    Board& board = Board::Get();
    board.AddI2cChip(0x20, std::make_shared<RegisterChip>());
    int fd = os().Open("/dev/i2c-1", O_RDWR);
    os().Ioctl(fd, kI2cSlave, IntArg(0x20));
    const uint8_t byte[] = {1};
    board.FailNext(Op::Write, "/dev/i2c-1", 2, EIO);
    board.FailNext(Op::Write, "/sys/", 1, EPERM);  // another path: never hit here
    EXPECT_EQ(Answer(os().Write(fd, byte, 1)), -EIO);
    EXPECT_EQ(Answer(os().Write(fd, byte, 1)), -EIO);
    EXPECT_EQ(Answer(os().Write(fd, byte, 1)), 1);
    board.FailNext(Op::Open, "/dev/i2c", 1, EACCES);
    EXPECT_EQ(Answer(os().Open("/dev/i2c-1", O_RDWR)), -EACCES);
    os().Close(fd);
    std::vector<sim::Transaction> log = board.Log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[3].result, -1);
    EXPECT_EQ(log[5].op, Op::Open);
    EXPECT_EQ(log[5].result, -1);

    board.ClearLog();
    os().SleepMicroseconds(1500);
    EXPECT_EQ(os().RunCommand("ping -c1 -W1 -s1 " + os().PingHost() + " > /dev/null 2>&1"), 0);
    board.SetPingStatus(256);
    EXPECT_EQ(os().RunCommand("ping -c1 x"), 256);
    EXPECT_EQ(os().RunCommand("rm -rf /"), -1);
    EXPECT_EQ(board.PingCount(), 2);
    log = board.Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].op, Op::Sleep);
    EXPECT_EQ(log[0].argument, 1500u);
    EXPECT_EQ(log[3].op, Op::Command);
    EXPECT_EQ(log[3].path, "rm -rf /");
}

TEST_F(Sim, BoardFilesAndStart) {
    sim::BoardConfig demo = sim::DemoBoard();
    EXPECT_TRUE(demo.pwm == demo.relay && demo.relay == demo.temperature && demo.i2c_bus);
    EXPECT_EQ(demo.pwm, std::vector<int>{1});
    EXPECT_EQ(demo.analog, std::vector<int>{3});  // spidev0.2, clear of TMP1's 0 and 1

    sim::BoardConfig board;
    std::string error;
    std::string good = WriteFile("good.cfg",
                                 "pwm = [1, 3];\nrelay = (4);\ntemperature = [];\n"
                                 "analog = [7, 1];\ninputs = [1,0,0,0,0,0,0,0,1];\n"
                                 "i2c_bus = false;\n");
    ASSERT_TRUE(sim::LoadBoardFile(good, &board, &error)) << error;
    EXPECT_EQ(board.pwm, (std::vector<int>{1, 3}));
    EXPECT_EQ(board.relay, std::vector<int>{4});
    EXPECT_TRUE(board.temperature.empty());
    EXPECT_EQ(board.analog, (std::vector<int>{7, 1}));
    EXPECT_EQ(board.inputs[0] + board.inputs[8], 2);
    EXPECT_FALSE(board.i2c_bus);
    ASSERT_TRUE(sim::LoadBoardFile(WriteFile("empty.cfg", ""), &board, &error));
    EXPECT_TRUE(board.pwm.empty() && board.i2c_bus);

    const struct {
        const char* text;
        const char* reason;
    } bad[] = {
        {"pwm = [1];\n\nrelay = [1\n", "line 4: syntax error"},
        {"pwm = [1];\nfan = [1];\n", "line 2: unknown key 'fan'"},
        {"pwm = [9];\n", "line 1: 'pwm' must be a list of numbers 1-8"},
        {"relay = [0];\n", "line 1: 'relay' must be a list of numbers 1-4"},
        {"temperature = 1;\n", "line 1: 'temperature' must be a list of numbers 1-3"},
        {"analog = (\"1\");\n", "line 1: 'analog' must be a list of numbers 1-7"},
        {"analog = [2, 2];\n", "line 1: 'analog' lists module 2 twice"},
        {"inputs = [0,0,0,0,0,0,0,0];\n", "line 1: 'inputs' must be a list of 9 values 0 or 1"},
        {"inputs = [0,0,0,0,0,0,0,0,2];\n", "line 1: 'inputs' must be a list of 9 values 0 or 1"},
        {"i2c_bus = 1;\n", "line 1: 'i2c_bus' must be true or false"},
    };
    std::string path = testing::TempDir() + "bad.cfg";
    for (const auto& c : bad) {
        WriteFile("bad.cfg", c.text);
        EXPECT_FALSE(sim::LoadBoardFile(path, &board, &error)) << c.text;
        EXPECT_EQ(error, "board file " + path + " " + c.reason);
    }
    EXPECT_FALSE(sim::LoadBoardFile(path + ".missing", &board, &error));
    EXPECT_EQ(error, "board file " + path + ".missing: No such file or directory");

    // Start: a bad file is one line on standard error; a good one is the board.
    setenv("CORVANE_SIM_BOARD", path.c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(PlatformStart(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "corvanebs-sim: board file " + path + " line 1: 'i2c_bus' must be true or false\n");
    setenv("CORVANE_SIM_BOARD", good.c_str(), 1);
    EXPECT_EQ(PlatformStart(), 0);
    EXPECT_EQ(Board::Get().Config().analog, (std::vector<int>{7, 1}));
    unsetenv("CORVANE_SIM_BOARD");
    EXPECT_EQ(PlatformStart(), 0);
    EXPECT_EQ(Board::Get().Config().analog, std::vector<int>{3});

    setenv("CORVANE_CONFIG", "/tmp/x.conf", 1);
    EXPECT_EQ(os().ConfigPath(), "/tmp/x.conf");
    unsetenv("CORVANE_CONFIG");
    EXPECT_EQ(os().ConfigPath(), "/usr/etc/corvanebs/corvane.conf");
}

TEST_F(Sim, MissingBusCannotBeOpened) {
    sim::BoardConfig config;
    config.i2c_bus = false;
    Board::Get().Reset(config);
    EXPECT_EQ(Answer(os().Open("/dev/i2c-1", O_RDWR)), -ENOENT);
    EXPECT_EQ(i2c_open("/dev/i2c-1"), -1);

    Board::Get().Reset(sim::BoardConfig{});
    int bus = i2c_open("/dev/i2c-1");
    ASSERT_GE(bus, 0);
    EXPECT_EQ(Board::Get().Log()[0].argument, static_cast<unsigned long>(O_RDWR));
    EXPECT_EQ(i2c_open("/dev/i2c-0"), -1);
    i2c_close(bus);
    EXPECT_EQ(Board::Get().OpenDescriptors(), 0);
}

}  // namespace
