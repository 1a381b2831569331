// The SPI layer and the temperature module's driver on the simulated
// converters, and the driver's positions in the module scan.
#include <gtest/gtest.h>

#include <chrono>
#include <linux/spi/spidev.h>
#include <thread>

#include "driver_test.h"
#include "models.h"
#include "sim.h"
#include "spi.h"
#include "tmp.h"

namespace {

using namespace testsupport;
sim::Board& board = sim::Board::Get();

// The raw code of module input j (0-15): all different, none 0.
int Raw(int j) {
    return 150 + 250 * j;
}

sim::BoardConfig Fitted(V fitted, int zeroInput = -1) {
    sim::BoardConfig config;
    config.temperature = std::move(fitted);
    for (auto& module : config.tmp)
        for (int j = 0; j < 16; ++j)
            module.raw[j] = static_cast<uint16_t>(j == zeroInput ? 0 : Raw(j));
    return config;
}

TEST(Spi, OpenTransferCloseAndTheirFailures) {
    BoardScope scope(Fitted({1}), 0.001);
    // The controller caps the clock; word size 0 means 8; bits above the low byte stay.
    SpiPort port{0, 200000000, 0x100 | SPI_MODE_3, 0, -1};
    ASSERT_EQ(SpiOpenPort(port), 0);
    EXPECT_EQ(V({int(port.Speed), int(port.Mode), int(port.BitsPerWord)}),
              V({125000000, 0x103, 8}));
    EXPECT_EQ(Steps(), "open:spidev0.0 0:mode= 0:mode? 0:bits= 0:bits? 0:speed= 0:speed?");
    port.Speed = 500000;  // what the converter can follow
    const uint8_t command[3] = {0x06, 0x00, 0x00};
    uint8_t rx[3] = {};
    EXPECT_EQ(SpiWriteAndRead(port, command, rx, 3), 0);
    EXPECT_EQ(V(rx, rx + 3), V({0xFF, 0xE7, 0x6C})) << "input 8: code 1900";
    EXPECT_EQ(Steps(), "0:m060000");

    board.FailDevice("spi:0", 1);
    board.FailNext(sim::Op::Close, "/dev/spidev0.0", 1, EIO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(V({SpiWriteAndRead(port, command, rx, 3), SpiClosePort(port), port.Fd}),
              V({-1, -1, -1}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error - Problem transmitting spi data..ioctl: Input/output error\n"
              "Error - Could not close SPI device: Input/output error\n");
    // The kernel refuses the word size: nothing stays open.
    SpiPort wide{1, 500000, 0, 16, -1};
    Steps();
    EXPECT_EQ(V({SpiOpenPort(wide), wide.Fd, board.OpenDescriptors()}), V({-1, -1, 0}));
    EXPECT_EQ(Steps(), "open:spidev0.1 1:mode= 1:mode? 1:bits=! close:spidev0.1");
    SpiPort missing{5, 500000, 0, 8, -1};
    EXPECT_EQ(V({SpiOpenPort(missing), missing.Fd}), V({-1, -1})) << "no device node";
}

class Tmp : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(tmp->ConnectionTest(), 0); }
    R Read(int channel) { return Got(*tmp, &TemperatureModule::get_InputRegister, channel); }
    BoardScope scope{Fitted({1}), 0.001};
    CorvaneLogger logger{7, false};
    std::unique_ptr<TemperatureModule> tmp = std::make_unique<TemperatureModule>(0, &logger);
};

TEST_F(Tmp, DirectReadsAndRefusals) {
    for (int j = 0; j < 16; ++j) EXPECT_EQ(Read(j + 1), R(0, TMP_RawToRegister(Raw(j)))) << j;
    // Truncated toward zero; below zero in two's complement.
    for (auto [raw, value] :
         {R(0, 0xFE68), R(2000, 178), R(4095, 1128), R(1380, 0xFFDC), R(1490, 0)}) {
        ASSERT_TRUE(sim::SetTemperatureRaw(board, 0, 15, static_cast<uint16_t>(raw)));
        EXPECT_EQ(Read(16), R(0, value)) << raw;
    }
    Steps();
    EXPECT_EQ(Read(9).first, 0);
    EXPECT_EQ(Steps(), "1:m060000");

    board.FailDevice("spi:0", 1);
    bool bit = false;
    unsigned short reg = 0;
    EXPECT_EQ(V({Read(17).first, Read(0) == R(0, 0), Read(1).first, tmp->set_OutputRegister(1, 1),
                 tmp->get_OutputRegister(1, &reg), tmp->get_InputBit(0, &bit),
                 tmp->set_OutputBit(0, true), tmp->set_OutputRegister(0, 2), tmp->HistoryEnabled}),
              V({1, 1, 4, 1, 1, 1, 1, 3, 0}));
}

TEST(TmpProbe, ModulesThatDoNotAnswerAreNotFound) {
    BoardScope scope;
    CorvaneLogger logger{7, false};
    // Module index, input tied low, device whose transfer fails.
    const std::tuple<int, int, const char*> cases[] = {
        {0, 0, ""}, {0, 15, ""}, {1, -1, ""}, {0, -1, "spi:1"}};
    for (auto [index, zero, failing] : cases) {
        ResetBoard(Fitted({1}, zero));
        board.FailDevice(failing, 1);
        EXPECT_EQ(TemperatureModule(static_cast<unsigned char>(index), &logger).ConnectionTest(),
                  -1)
            << index << zero;
        EXPECT_EQ(board.OpenDescriptors(), 0);
    }
}

TEST_F(Tmp, SamplingThread) {
    board.ClearLog();
    ASSERT_EQ(tmp->init(), 0);
    const auto thread = tmp->HistoryThread.get_id();
    EXPECT_EQ(tmp->set_OutputRegister(0, 1), 0);
    EXPECT_EQ(tmp->HistoryThread.get_id(), thread) << "a second start";
    std::thread control([] {
        for (int j = 0; j < 16; ++j) sim::SetTemperatureRaw(board, 0, j, 4095);
    });
    R last;
    for (int i = 0; i < 5000 && ((last = Read(16)) != R(0, 1128) || board.Log().size() < 500);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    control.join();
    EXPECT_EQ(last, R(0, 1128));
    EXPECT_EQ(tmp->set_OutputRegister(0, 0), 0);
    EXPECT_FALSE(tmp->HistoryThread.joinable());
    // Ten passes of sixteen conversions back to back, then 100 ms (the
    // first cycle may have left the bounded log, the last is cut anywhere).
    V cycles{0};
    for (const auto& t : board.Log()) {
        if (t.op == sim::Op::Ioctl) ++cycles.back();
        if (t.op == sim::Op::Sleep) cycles.push_back(t.argument == 100000 ? 0 : -1000);
    }
    ASSERT_GE(cycles.size(), 3u);
    EXPECT_EQ(V(cycles.begin() + 1, cycles.end() - 1), V(cycles.size() - 2, 160));

    const int live = TemperatureModule::TmpModuleCount;
    ASSERT_EQ(tmp->set_OutputRegister(0, 1), 0);
    tmp.reset();  // joins the running thread
    EXPECT_EQ(V({TemperatureModule::TmpModuleCount, board.OpenDescriptors()}), V({live - 1, 0}));
}

}  // namespace
