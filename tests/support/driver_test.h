// What the driver tests share: the board reset for a scope, the transaction
// log as steps, a call's result with what it echoed, a getter's result with
// its value.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sim.h"

namespace testsupport {

using R = std::pair<int, int>;  // a result and a value
using V = std::vector<int>;
using Lines = std::vector<std::string>;

// The board reset to `config`, its time scaled by `scale` (0: no sleeping).
inline sim::Board& ResetBoard(const sim::BoardConfig& config = {}, double scale = 0) {
    sim::Board& board = sim::Board::Get();
    board.Reset(config);
    board.SetTimeScale(scale);
    return board;
}

// The board as ResetBoard leaves it for the life of the scope, and empty
// again after it: no test meets another's models, faults, pins or log.
// Declared before the drivers, it outlives them.
struct BoardScope {
    explicit BoardScope(const sim::BoardConfig& config = {}, double scale = 0)
        : board(ResetBoard(config, scale)) {}
    ~BoardScope() { board.Reset({}); }
    BoardScope(const BoardScope&) = delete;
    BoardScope& operator=(const BoardScope&) = delete;
    sim::Board& board;
};

// One call of the transaction log as a word; "!" ends a failed one.
//   open:PATH close:PATH   PATH without "/dev/" or "/sys/class/gpio/"
//   s41 t0                 I2C bind to address 0x41, ten-bit addressing off
//   w0a00 r10              I2C write and read, the bytes in hex
//   0:m060000 0:mode=      SPI device 0: a message (bytes sent), a setting
//                          written (mode= bits= speed=) or read (mode? ...)
//   gpio502/value=1        a sysfs write; "gpio502/value?1" a read
//   z500000 cmd:TEXT       a sleep in microseconds, a command
std::string Step(const sim::Transaction& t);
// The steps `keep` selects (all without it) since the last call,
// blank-separated; the log is cleared.
std::string Steps(const std::function<bool(const sim::Transaction&)>& keep = nullptr);
// Selectors for Steps.
inline bool IsSleep(const sim::Transaction& t) {
    return t.op == sim::Op::Sleep;
}
inline bool IsTransfer(const sim::Transaction& t) {
    return t.op == sim::Op::Read || t.op == sim::Op::Write;
}

// The result of `call`, then what it echoed without the last newline: "4 REL1 ...".
template <typename Call>
std::string Echoed(Call call) {
    testing::internal::CaptureStdout();
    const std::string out = std::to_string(call());
    const std::string echo = testing::internal::GetCapturedStdout();
    return echo.empty() ? out : out + " " + echo.substr(0, echo.size() - 1);
}

// {result, value} of a getter; the value starts at 77 (true) so an unwritten one shows.
template <typename M, typename C, typename T>
std::pair<int, int> Got(M& module, int (C::*get)(unsigned char, T*), int channel) {
    T value = static_cast<T>(77);
    const int result = (module.*get)(static_cast<unsigned char>(channel), &value);
    return {result, static_cast<int>(value)};
}

}  // namespace testsupport
