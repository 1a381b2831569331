// The SPI access layer on the simulated spidev nodes.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <tuple>

#include "sim.h"
#include "spi.h"

namespace {

using Bytes = std::vector<uint8_t>;
sim::Board& board = sim::Board::Get();

// A node whose call number `failAt` (0-based) fails with EINVAL.
struct FailingNode : sim::SpiDevice {
    explicit FailingNode(int failAt) : failAt(failAt) {}
    int Ioctl(unsigned long, void*) override { return calls++ == failAt ? errno = EINVAL, -1 : 0; }
    int failAt, calls = 0;
};

std::vector<unsigned long> IoctlRequests() {
    std::vector<unsigned long> requests;
    for (const auto& t : board.Log()) {
        if (t.op == sim::Op::Ioctl) requests.push_back(t.request);
    }
    return requests;
}

class Spi : public testing::Test {
  protected:
    void SetUp() override {
        sim::BoardConfig config;
        config.temperature = {1};
        config.tmp[0].raw[8] = 0x5A3;  // converter input 0 of spidev0.1
        board.Reset(config);
        board.SetTimeScale(0);
    }
};

TEST_F(Spi, OpenKeepsWhatTheKernelTookAndTransfersThreeBytes) {
    // Word size 0 means 8; the controller caps the clock; bits above the low byte stay.
    SpiPort fast{0, 200000000, 0x100 | SPI_MODE_3, 0, -1};
    ASSERT_EQ(SpiOpenPort(fast), 0);
    EXPECT_GE(fast.Fd, 0);
    EXPECT_EQ(std::make_tuple(fast.Speed, fast.Mode, fast.BitsPerWord),
              std::make_tuple(125000000u, 0x103u, 8u));
    EXPECT_EQ(board.Log().front().path + std::to_string(board.Log().front().argument),
              "/dev/spidev0.0" + std::to_string(O_RDWR));
    EXPECT_EQ(IoctlRequests(),
              (std::vector<unsigned long>{SPI_IOC_WR_MODE, SPI_IOC_RD_MODE,
                                          SPI_IOC_WR_BITS_PER_WORD, SPI_IOC_RD_BITS_PER_WORD,
                                          SPI_IOC_WR_MAX_SPEED_HZ, SPI_IOC_RD_MAX_SPEED_HZ}));

    const uint8_t command[3] = {0x06, 0x00, 0x00};
    SpiPort port{1, 500000, 0, 8, -1};
    ASSERT_EQ(SpiOpenPort(port), 0);
    for (auto [p, answer] : {std::make_pair(&port, Bytes{0xFF, 0xE5, 0xA3}),
                             std::make_pair(&fast, Bytes{0xFF, 0xFF, 0xFF})}) {  // too fast
        board.ClearLog();
        Bytes rx(3, 0);
        EXPECT_EQ(SpiWriteAndRead(*p, command, rx.data(), 3), 0);
        EXPECT_EQ(rx, answer);
        ASSERT_EQ(board.Log().size(), 1u);
        EXPECT_EQ(board.Log()[0].data, Bytes(command, command + 3));
        EXPECT_EQ(board.Log()[0].request, SPI_IOC_MESSAGE(1));
    }
    EXPECT_EQ(SpiClosePort(port) + SpiClosePort(fast), 0);
    EXPECT_EQ(port.Fd + fast.Fd, -2);
    EXPECT_EQ(board.OpenDescriptors(), 0);
}

TEST_F(Spi, FailuresCloseWhatWasOpenedAndSayWhy) {
    for (int port : {2, 8, -1}) {  // no node, and no such index
        SpiPort missing{port, 500000, 0, 8, -1};
        EXPECT_EQ(SpiOpenPort(missing), -1) << port;
        EXPECT_EQ(missing.Fd, -1);
    }
    for (int step = 0; step < 6; ++step) {
        board.AddSpiDevice(6, std::make_shared<FailingNode>(step));
        board.ClearLog();
        SpiPort port{6, 500000, 0, 8, -1};
        EXPECT_EQ(SpiOpenPort(port), -1) << step;
        EXPECT_EQ(port.Fd, -1);
        EXPECT_EQ(IoctlRequests().size(), step + 1u);
        EXPECT_EQ(board.Log().back().op, sim::Op::Close);
    }
    EXPECT_EQ(board.OpenDescriptors(), 0);

    SpiPort port{1, 500000, 0, 8, -1};
    ASSERT_EQ(SpiOpenPort(port), 0);
    board.FailDevice("spi:1", 1);
    board.FailNext(sim::Op::Close, "/dev/spidev0.1", 1, EIO);
    uint8_t rx[3] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(SpiWriteAndRead(port, rx, rx, 3), -1);
    EXPECT_EQ(SpiClosePort(port), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error - Problem transmitting spi data..ioctl: Input/output error\n"
              "Error - Could not close SPI device: Input/output error\n");
    EXPECT_EQ(port.Fd, -1);
    EXPECT_EQ(board.OpenDescriptors(), 0);
}

}  // namespace
