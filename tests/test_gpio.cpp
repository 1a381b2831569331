// The GPIO layer against the simulated sysfs.
#include "gpio.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "sim.h"

namespace {

using sim::Board;
using sim::Op;

// The log as "op file [w|r] ['data'] [-1]; ...", paths without /sys/class/gpio/gpio502/.
std::string Traffic() {
    std::string text;
    for (const sim::Transaction& t : Board::Get().Log()) {
        text += (text.empty() ? "" : "; ") + std::string(sim::OpName(t.op)) + " " +
                t.path.substr(t.path.find("gpio502/") != std::string::npos ? 24 : 16);
        if (t.op == Op::Open) text += t.argument == O_WRONLY ? " w" : t.argument ? " ?" : " r";
        if (!t.data.empty()) text += " '" + std::string(t.data.begin(), t.data.end()) + "'";
        if (t.result < 0) text += " -1";
    }
    return text;
}

int (*const Read)(int, int) = [](int pin, int) { return GPIO_Read(pin); };
int (*const Unexport)(int, int) = [](int pin, int) { return GPIO_Unexport(pin); };

// Calls in order on one board, optionally with the first `faultOp` on
// `faultPath` failing (EIO); traffic nullptr: not checked.
struct Step {
    int (*call)(int pin, int arg);
    int pin, arg, result;
    const char *out, *traffic;
    Op faultOp = Op::Sleep;
    const char* faultPath = nullptr;
};
const char kDir[] = "/sys/class/gpio/gpio502/direction", kValue[] = "/sys/class/gpio/gpio502/value";

// clang-format off
const Step kSteps[] = {
    {GPIO_Init, 502, 1, 0, "", "open export w; write export '502'; close export; "
                              "open direction w; write direction 'out'; close direction"},
    // The kernel refuses the second export; the direction is set all the same.
    {GPIO_Init, 502, 0, 0, "", "open export w; write export '502' -1; close export; "
                              "open direction w; write direction 'in'; close direction"},
    {GPIO_Direction, 502, 7, 0, "", "open direction w; write direction 'out'; close direction"},
    {GPIO_Write, 502, 2, 0, "", "open value w; write value '1'; close value"},
    {GPIO_Write, 502, 3, 0, "", "open value w; write value '1'; close value"},
    {Read, 502, 0, 1, "", "open value r; read value '1\n'; close value"},
    {GPIO_Write, 502, 0, 0, "", "open value w; write value '0'; close value"},
    {Read, 502, 0, 0, "", "open value r; read value '0\n'; close value"},
    // Every failure prints its message and closes what it opened.
    {GPIO_Init, 502, 1, -1, "Export Failed: Pin502\n", nullptr, Op::Open, "/sys/class/gpio/export"},
    {GPIO_Init, 502, 1, -1, "Set Direction failed: Pin502\n", nullptr, Op::Open, kDir},
    {GPIO_Direction, 502, 0, -1, "failed to set direction!\r\n", nullptr, Op::Write, kDir},
    {Unexport, 502, 0, -1, "unexport Failed: Pin502\n", nullptr, Op::Open, "/sys/class/gpio/unexport"},
    {Read, 502, 0, -1, "Read failed Pin502\n", nullptr, Op::Open, kValue},
    {Read, 502, 0, -1, "failed to read value!\n", nullptr, Op::Read, kValue},
    {GPIO_Write, 502, 7, -1, "Write failed : Pin502,value = 7\n", nullptr, Op::Open, kValue},
    {GPIO_Write, 502, 7, -1, "failed to write value!\n", nullptr, Op::Write, kValue},
    // Pin numbers that do not fit the 4-byte text touch no file.
    {GPIO_Init, 1000, 1, -1, "Export Failed: Pin1000\n", ""},
    {Read, 123456, 0, -1, "Read failed Pin123456\n", ""},
    {GPIO_Write, 1000, 0, -1, "Write failed : Pin1000,value = 0\n", ""},
    // Unexport needs only the unexport file: a pin not exported is fine.
    {Unexport, 22, 0, 0, "", "open unexport w; write unexport '22' -1; close unexport"},
    {Unexport, 502, 0, 0, "", "open unexport w; write unexport '502'; close unexport"},
    {Read, 502, 0, -1, "Read failed Pin502\n", "open value r -1"},
    // Inputs of the board file: input 0 is pin 503, input 3 pin 0.
    {GPIO_Init, 503, 0, 0, "", nullptr}, {GPIO_Init, 0, 0, 0, "", nullptr}, {GPIO_Init, 501, 0, 0, "", nullptr},
    {Read, 503, 0, 1, "", nullptr}, {Read, 0, 0, 1, "", nullptr}, {Read, 501, 0, 0, "", nullptr},
};
// clang-format on

TEST(Gpio, CallsTheirFileTrafficFailuresAndConcurrentWriters) {
    Board& board = Board::Get();
    sim::BoardConfig config;
    config.inputs[0] = config.inputs[3] = 1;
    board.Reset(config);
    for (size_t i = 0; i < std::size(kSteps); ++i) {
        const Step& s = kSteps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        board.ClearLog();
        if (s.faultPath) board.FailNext(s.faultOp, s.faultPath, 1, EIO);
        testing::internal::CaptureStdout();
        EXPECT_EQ(s.call(s.pin, s.arg), s.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), s.out);
        EXPECT_EQ(board.OpenDescriptors(), 0);  // whatever it opened, it closed
        EXPECT_EQ(s.traffic ? Traffic() : "", s.traffic ? s.traffic : "");
    }
    board.SetInput(501, 1);
    EXPECT_EQ(GPIO_Read(501), 1);

    // Writers on three pins at once: every write lands, in order (and TSan
    // watches); the board keeps the newest of them.
    std::vector<int> pins = {496, 497, 498}, expected(sim::Board::kValueHistory);
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = (100 - expected.size() + i) & 1;
    std::vector<std::thread> writers;
    for (int pin : pins) {
        EXPECT_EQ(GPIO_Init(pin, 1), 0);
        writers.emplace_back([pin] {
            for (int i = 0; i < 100; ++i) {
                GPIO_Write(pin, i & 1);
                GPIO_Read(pin);
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    for (int pin : pins) EXPECT_EQ(board.ValueWrites(pin), expected) << pin;
    EXPECT_EQ(board.OpenDescriptors(), 0);
}

}  // namespace
