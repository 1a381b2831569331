// What the driver tests share: the board reset whole, a call's result with
// what it echoed, a getter's result with its value.
#pragma once

#include <gtest/gtest.h>
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
