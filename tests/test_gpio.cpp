// The GPIO layer against the simulated sysfs.
#include "gpio.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>

#include "driver_test.h"

namespace {

using sim::Op;

int Read(int pin, int) {
    return GPIO_Read(pin);
}
int Unexport(int pin, int) {
    return GPIO_Unexport(pin);
}

// Calls in order on one board, optionally with the first `faultOp` on
// `faultPath` failing (EIO). After each, pin 502 as "direction level" ("-"
// when not exported), or "untouched" when the call touched no file at all.
struct Step {
    int (*call)(int pin, int arg);
    int pin, arg, result;
    const char *out, *pin502;
    Op faultOp = Op::Sleep;
    const char* faultPath = nullptr;
};
const char kDir[] = "/sys/class/gpio/gpio502/direction", kValue[] = "/sys/class/gpio/gpio502/value";

// clang-format off
const Step kSteps[] = {
    {GPIO_Init, 502, 1, 0, "", "out 0"},
    {GPIO_Init, 502, 0, 0, "", "in 0"},  // the kernel refuses the second export: the direction is set all the same
    {GPIO_Direction, 502, 7, 0, "", "out 0"},
    {GPIO_Write, 502, 2, 0, "", "out 1"},
    {Read, 502, 0, 1, "", "out 1"},
    {GPIO_Write, 502, 0, 0, "", "out 0"},
    {Read, 502, 0, 0, "", "out 0"},
    // Every failure prints its message and closes what it opened.
    {GPIO_Init, 502, 0, -1, "Export Failed: Pin502\n", "out 0", Op::Open, "/sys/class/gpio/export"},
    {GPIO_Init, 502, 0, -1, "Set Direction failed: Pin502\n", "out 0", Op::Open, kDir},
    {GPIO_Direction, 502, 0, -1, "failed to set direction!\r\n", "out 0", Op::Write, kDir},
    {Unexport, 502, 0, -1, "unexport Failed: Pin502\n", "out 0", Op::Open, "/sys/class/gpio/unexport"},
    {Read, 502, 0, -1, "Read failed Pin502\n", "out 0", Op::Open, kValue},
    {GPIO_Write, 502, 7, -1, "Write failed : Pin502,value = 7\n", "out 0", Op::Open, kValue},
    // Pin numbers that do not fit the 4-byte text touch no file.
    {GPIO_Init, 1000, 1, -1, "Export Failed: Pin1000\n", "untouched"},
    // Unexport needs only the unexport file: a pin not exported is fine.
    {Unexport, 22, 0, 0, "", "out 0"},
    {Unexport, 502, 0, 0, "", "-"},
    {Read, 502, 0, -1, "Read failed Pin502\n", "-"},
    // Input 0 of the board file is pin 503. An input's value is not written.
    {GPIO_Init, 503, 0, 0, "", "-"}, {GPIO_Write, 503, 0, -1, "failed to write value!\n", "-"},
    {Read, 503, 0, 1, "", "-"},
};
// clang-format on

TEST(Gpio, CallsAndTheirFailures) {
    sim::BoardConfig config;
    config.inputs[0] = 1;
    testsupport::BoardScope scope(config);
    sim::Board& board = scope.board;
    for (size_t i = 0; i < std::size(kSteps); ++i) {
        const Step& s = kSteps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        if (s.faultPath) board.FailNext(s.faultOp, s.faultPath, 1, EIO);
        testing::internal::CaptureStdout();
        EXPECT_EQ(s.call(s.pin, s.arg), s.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), s.out);
        EXPECT_EQ(board.OpenDescriptors(), 0);  // whatever it opened, it closed
        const std::string pin502 =
            !board.IsExported(502) ? "-"
                                   : board.Direction(502) + " " + std::to_string(board.Level(502));
        EXPECT_EQ(testsupport::Steps().empty() ? "untouched" : pin502, s.pin502);
    }
}

}  // namespace
