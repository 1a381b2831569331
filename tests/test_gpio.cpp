// The GPIO layer against the simulated sysfs.
#include "gpio.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "sim.h"

namespace {

using sim::Board;
using sim::Op;

std::string Text(const std::vector<uint8_t>& data) {
    return std::string(data.begin(), data.end());
}

// "op path data" per log entry, enough to read the exact file traffic.
std::vector<std::string> Traffic() {
    std::vector<std::string> lines;
    for (const sim::Transaction& t : Board::Get().Log()) {
        std::string line = std::string(sim::OpName(t.op)) + " " + t.path;
        if (t.op == Op::Read || t.op == Op::Write) line += " '" + Text(t.data) + "'";
        if (t.result < 0) line += " -1";
        lines.push_back(line);
    }
    return lines;
}

class Gpio : public testing::Test {
  protected:
    void SetUp() override { Board::Get().Reset(sim::BoardConfig{}); }
};

TEST_F(Gpio, InitExportsThenSetsDirectionEvenWhenAlreadyExported) {
    Board& board = Board::Get();
    ASSERT_EQ(GPIO_Init(502, 1), 0);
    EXPECT_EQ(board.Direction(502), "out");
    EXPECT_EQ(Traffic(), (std::vector<std::string>{
                             "open /sys/class/gpio/export",
                             "write /sys/class/gpio/export '502'",
                             "close /sys/class/gpio/export",
                             "open /sys/class/gpio/gpio502/direction",
                             "write /sys/class/gpio/gpio502/direction 'out'",
                             "close /sys/class/gpio/gpio502/direction",
                         }));
    for (const sim::Transaction& t : board.Log()) {
        if (t.op == Op::Open) {
            EXPECT_EQ(t.argument, static_cast<unsigned long>(O_WRONLY));
        }
    }

    // The kernel refuses the second export; the direction is set all the same.
    board.ClearLog();
    EXPECT_EQ(GPIO_Init(502, 0), 0);
    EXPECT_EQ(board.Direction(502), "in");
    EXPECT_EQ(Traffic()[1], "write /sys/class/gpio/export '502' -1");
    EXPECT_EQ(Traffic()[4], "write /sys/class/gpio/gpio502/direction 'in'");

    EXPECT_EQ(GPIO_Direction(502, 7), 0);
    EXPECT_EQ(board.Direction(502), "out");
}

TEST_F(Gpio, WritesOneByteAndReadsTheKernelsText) {
    sim::BoardConfig config;
    config.inputs[0] = 1;  // pin 503
    config.inputs[3] = 1;  // pin 0
    Board& board = Board::Get();
    board.Reset(config);
    ASSERT_EQ(GPIO_Init(502, 1), 0);

    board.ClearLog();
    EXPECT_EQ(GPIO_Write(502, 2), 0);
    EXPECT_EQ(GPIO_Write(502, 3), 0);
    EXPECT_EQ(Traffic()[1], "write /sys/class/gpio/gpio502/value '1'");
    EXPECT_EQ(Traffic()[4], "write /sys/class/gpio/gpio502/value '1'");
    EXPECT_EQ(GPIO_Read(502), 1);
    EXPECT_EQ(GPIO_Write(502, 0), 0);
    EXPECT_EQ(GPIO_Read(502), 0);
    EXPECT_EQ(board.ValueWrites(502), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(Traffic().back(), "close /sys/class/gpio/gpio502/value");
    EXPECT_EQ(Traffic()[Traffic().size() - 2], "read /sys/class/gpio/gpio502/value '0\n'");

    for (int pin : {503, 501, 0}) ASSERT_EQ(GPIO_Init(pin, 0), 0) << pin;
    EXPECT_EQ(GPIO_Read(503), 1);
    EXPECT_EQ(GPIO_Read(501), 0);
    EXPECT_EQ(GPIO_Read(0), 1);
    board.SetInput(501, 1);
    EXPECT_EQ(GPIO_Read(501), 1);
    EXPECT_EQ(board.OpenDescriptors(), 0);
}

TEST_F(Gpio, UnexportNeedsOnlyTheUnexportFile) {
    Board& board = Board::Get();
    EXPECT_EQ(GPIO_Unexport(22), 0);
    EXPECT_TRUE(board.Unexports().empty());
    ASSERT_EQ(GPIO_Init(22, 0), 0);
    EXPECT_EQ(GPIO_Unexport(22), 0);
    EXPECT_FALSE(board.IsExported(22));
    EXPECT_EQ(board.Unexports(), std::vector<int>{22});
    testing::internal::CaptureStdout();
    EXPECT_EQ(GPIO_Read(22), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Read failed Pin22\n");
}

TEST_F(Gpio, EveryFailurePrintsItsMessageAndClosesWhatItOpened) {
    struct Case {
        Op op;
        const char* path;
        std::function<int()> call;
        const char* message;
    };
    const char* value = "/sys/class/gpio/gpio502/value";
    const char* direction = "/sys/class/gpio/gpio502/direction";
    const Case cases[] = {
        {Op::Open, "/sys/class/gpio/export", [] { return GPIO_Init(502, 1); },
         "Export Failed: Pin502\n"},
        {Op::Open, direction, [] { return GPIO_Init(502, 1); }, "Set Direction failed: Pin502\n"},
        {Op::Write, direction, [] { return GPIO_Init(502, 1); }, "failed to set direction!\r\n"},
        {Op::Write, direction, [] { return GPIO_Direction(502, 0); },
         "failed to set direction!\r\n"},
        {Op::Open, "/sys/class/gpio/unexport", [] { return GPIO_Unexport(502); },
         "unexport Failed: Pin502\n"},
        {Op::Open, value, [] { return GPIO_Read(502); }, "Read failed Pin502\n"},
        {Op::Read, value, [] { return GPIO_Read(502); }, "failed to read value!\n"},
        {Op::Open, value, [] { return GPIO_Write(502, 7); }, "Write failed : Pin502,value = 7\n"},
        {Op::Write, value, [] { return GPIO_Write(502, 7); }, "failed to write value!\n"},
        // Pins that do not fit the 4-byte text are refused without touching a file.
        {Op::Open, "-", [] { return GPIO_Init(1000, 1); }, "Export Failed: Pin1000\n"},
        {Op::Open, "-", [] { return GPIO_Read(123456); }, "Read failed Pin123456\n"},
        {Op::Open, "-", [] { return GPIO_Write(1000, 0); }, "Write failed : Pin1000,value = 0\n"},
    };
    Board& board = Board::Get();
    for (const Case& c : cases) {
        board.Reset(sim::BoardConfig{});
        ASSERT_EQ(GPIO_Init(502, 1), 0);
        board.ClearLog();
        board.FailNext(c.op, c.path, 1, EIO);
        testing::internal::CaptureStdout();
        int result = c.call();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        EXPECT_EQ(result, -1) << c.message;
        int opened = 0, closed = 0;
        for (const sim::Transaction& t : board.Log()) {
            opened += t.op == Op::Open && t.result >= 0;
            closed += t.op == Op::Close;
        }
        EXPECT_EQ(closed, opened) << c.message;
        EXPECT_EQ(board.OpenDescriptors(), 0) << c.message;
        if (std::string(c.path) == "-") {
            EXPECT_TRUE(board.Log().empty()) << c.message;
        }
    }
}

TEST_F(Gpio, ConcurrentWritersKeepEveryWrite) {
    Board& board = Board::Get();
    const int pins[] = {496, 497, 498};
    for (int pin : pins) ASSERT_EQ(GPIO_Init(pin, 1), 0);
    constexpr int kWrites = 100;
    std::vector<std::thread> writers;
    for (int pin : pins) {
        writers.emplace_back([pin] {
            for (int i = 0; i < kWrites; ++i) {
                GPIO_Write(pin, i & 1);
                GPIO_Read(pin);
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    for (int pin : pins) {
        std::vector<int> writes = board.ValueWrites(pin);
        ASSERT_EQ(writes.size(), static_cast<size_t>(kWrites));
        for (int i = 0; i < kWrites; ++i) ASSERT_EQ(writes[i], i & 1) << pin;
    }
    EXPECT_EQ(board.OpenDescriptors(), 0);
}

}  // namespace
