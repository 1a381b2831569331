#include "driver_test.h"

#include <linux/i2c-dev.h>
#include <linux/spi/spidev.h>

#include <cstdio>

namespace testsupport {

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) text += {digits[b >> 4], digits[b & 15]};
    return text;
}

std::string SpiSetting(unsigned long request) {
    const std::pair<unsigned long, const char*> names[] = {
        {SPI_IOC_WR_MODE, "mode="},          {SPI_IOC_RD_MODE, "mode?"},
        {SPI_IOC_WR_BITS_PER_WORD, "bits="}, {SPI_IOC_RD_BITS_PER_WORD, "bits?"},
        {SPI_IOC_WR_MAX_SPEED_HZ, "speed="}, {SPI_IOC_RD_MAX_SPEED_HZ, "speed?"}};
    for (const auto& [r, name] : names)
        if (r == request) return name;
    return "m";
}

}  // namespace

std::string Step(const sim::Transaction& t) {
    std::string path = t.path;
    for (const char* prefix : {"/dev/", "/sys/class/gpio/"})
        if (path.rfind(prefix, 0) == 0) path.erase(0, std::string(prefix).size());
    const bool spi = path.rfind("spidev0.", 0) == 0, i2c = path.rfind("i2c-", 0) == 0;
    std::string step;
    switch (t.op) {
        case sim::Op::Open:
        case sim::Op::Close:
            step = sim::OpName(t.op) + (":" + path);
            break;
        case sim::Op::Read:
        case sim::Op::Write:
            if (i2c) {
                step = (t.op == sim::Op::Read ? "r" : "w") + Hex(t.data);
            } else {
                step = path + (t.op == sim::Op::Read ? "?" : "=") +
                       std::string(t.data.begin(), t.data.end());
                if (step.back() == '\n') step.pop_back();
            }
            break;
        case sim::Op::Ioctl: {
            char text[24];
            if (spi) {
                step = path.substr(8) + ":" + SpiSetting(t.request) + Hex(t.data);
            } else {
                std::snprintf(text, sizeof text, t.request == I2C_SLAVE ? "s%lx" : "t%lu",
                              t.argument);
                step = text;
            }
            break;
        }
        case sim::Op::Sleep:
            step = "z" + std::to_string(t.argument);
            break;
        case sim::Op::Command:
            step = "cmd:" + t.path;
            break;
    }
    return t.result == -1 ? step + "!" : step;
}

std::string Steps(const std::function<bool(const sim::Transaction&)>& keep) {
    sim::Board& board = sim::Board::Get();
    std::string text;
    for (const sim::Transaction& t : board.Log())
        if (!keep || keep(t)) text += (text.empty() ? "" : " ") + Step(t);
    board.ClearLog();
    return text;
}

}  // namespace testsupport
