// The simulator's control socket: its commands and its server.
#include "control.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

#include "driver_test.h"
#include "service.h"

namespace {

using testsupport::UnixSocket;
const auto Receive = testsupport::ReceiveAnswers;
sim::Board& board = sim::Board::Get();

class Control : public testing::Test {
  protected:
    testsupport::BoardScope scope;
};

TEST_F(Control, Commands) {
    // A command and its answer: "ok", else what follows "error: ".
    const std::string device = "device must be i2c:0xAA (a bus address 0x00-0x7F) or spi:N (0-7)";
    const std::pair<const char*, std::string> cases[] = {
        {"input 3 1", "ok"},
        {" input\t0x8  1 \r", "ok"},
        {"input 9 1", "input must be 0-8"},
        {"input 1", "usage: input N L"},
        {"tmp 2 raw 1 100", "TMP2 is not fitted"},
        {"tmp 1 raw 1 4096", "code must be 0-4095"},
        {"aio 2 alert 0x0C01", "AIO2 is not fitted"},
        {"aio 1 alert", "usage: aio M adc C CODE | aio M din C L | aio M alert BITS"},
        {"aio 1 alert 0x0010", "bits must be among 0-3 and 10-11 (mask 0x0C0F)"},
        {"fail spi:8 1", device},
        {"reboot", "unknown command (input, tmp, aio, fail, show)"},
        {"fail i2c:0x41 5", "ok"},
        {"fail i2c:0x41 0", "ok"},  // clears the five
        {"fail i2c:0x41 2", "ok"}};
    for (const auto& [line, why] : cases) {
        const std::string answer = why == "ok" ? why : "error: " + why;
        EXPECT_EQ(sim::RunControlCommand(board, line), answer + "\n") << line;
    }
    // The inputs set above (a fault armed: EndToEnd.ControlSocketOnTheDemoBoard).
    EXPECT_EQ(sim::RunControlCommand(board, "show"),
              "GRUND leds 0 0 0\nGRUND output 0\nGRUND inputs 0 0 0 1 0 0 0 0 1\nok\n");
}

TEST_F(Control, ServerListensOnlyWhereItMayAndServesEachClientApart) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/control";
    std::string error;
    std::ofstream(path) << "not a socket";
    EXPECT_EQ(sim::ControlServer(board).Start(path, &error), -1);
    EXPECT_EQ(error, "control socket " + path + ": exists and is not a socket");
    EXPECT_EQ(testsupport::ReadFile(path), "not a socket");
    unlink(path.c_str());
    close(UnixSocket(path, bind));  // left behind by a killed simulator: taken over
    sim::ControlServer server(board);
    ASSERT_EQ(server.Start(path, &error), 0) << error;
    EXPECT_EQ(sim::ControlServer(board).Start(path, &error), -1);
    EXPECT_EQ(error, "control socket " + path + ": another program listens on it");

    const int split = UnixSocket(path), last = UnixSocket(path);
    send(split, "show\nin", 7, 0);
    EXPECT_EQ(Receive(split, 1),
              "GRUND leds 0 0 0\nGRUND output 0\nGRUND inputs 0 0 0 0 0 0 0 0 0\nok\n");
    send(last, "input 5 1", 9, 0);  // no line end: the client's end ends the line
    shutdown(last, SHUT_WR);
    send(split, "put 2 1\n", 8, 0);
    EXPECT_EQ(Receive(split, 1), "ok\n");
    EXPECT_EQ(Receive(last, 2), "ok\n") << "answered, then closed";
    EXPECT_EQ(board.Level(sim::kInputPins[2]) + board.Level(sim::kInputPins[5]), 2);
    // One client more than served at once takes the place of the longest idle.
    std::vector<int> idle = {split, last};
    while (idle.size() < sim::ControlServer::kMaxClients + 3) idle.push_back(UnixSocket(path));
    send(idle.back(), "input 6 1\n", 10, 0);
    EXPECT_EQ(Receive(idle.back(), 1), "ok\n");
    char byte;
    EXPECT_EQ(recv(idle[2], &byte, 1, MSG_DONTWAIT), 0);
    EXPECT_EQ(recv(idle[3], &byte, 1, MSG_DONTWAIT), -1);
    for (int s : idle) close(s);
}

}  // namespace
