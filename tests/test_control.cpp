// The simulator's control socket: its commands, its server, the service
// serving Modbus beside control clients that misbehave, and the demo board
// as the socket and Modbus clients see it.
#include "control.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "grund.h"
#include "service.h"
#include "tmp.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

sim::Board& board = sim::Board::Get();

struct Chip : sim::I2cChip {
    ssize_t Write(const uint8_t*, size_t n) override { return static_cast<ssize_t>(n); }
    ssize_t Read(uint8_t*, size_t) override { return -1; }
};

// A Unix stream socket connected (connect) or bound (bind) to `path`, or -1.
int UnixSocket(const std::string& path, int (*how)(int, const sockaddr*, socklen_t) = connect) {
    sockaddr_un a{AF_UNIX, {}};
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (how(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
    close(s);
    return -1;
}

// What `s` receives until `answers` lines "ok" or "error: ..." came, or it closes (5 s at most).
std::string Receive(int s, long answers) {
    std::string text;
    auto count = [&] {
        long n = 0;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            n += text.compare(at, end - at, "ok") == 0 || text.compare(at, 7, "error: ") == 0;
        return n;
    };
    char buffer[4096];
    pollfd p{s, POLLIN, 0};
    for (const auto end = Clock::now() + 5s; count() < answers && Clock::now() < end;) {
        const ssize_t n = poll(&p, 1, 100) == 1 ? recv(s, buffer, sizeof buffer, 0) : -2;
        if (n == 0 || n == -1) break;
        if (n > 0) text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

class Control : public testing::Test {
  protected:
    void SetUp() override {
        board.Reset(sim::BoardConfig{});
        board.SetTimeScale(0);
    }
};

TEST_F(Control, Commands) {
    board.AddI2cChip(0x41, std::make_shared<Chip>());
    // A command and its answer: "ok", else what follows "error: ".
    const std::string device = "device must be i2c:0xAA (a bus address 0x00-0x7F) or spi:N (0-7)";
    const std::pair<const char*, std::string> cases[] = {
        {"input 3 1", "ok"},
        {" input\t0x8  1 \r", "ok"},
        {" \t", "empty line"},
        {"input 9 1", "input must be 0-8"},
        {"input 1", "usage: input N L"},
        {"tmp 2 raw 1 100", "TMP2 is not fitted"},
        {"tmp 1 raw 1 4096", "code must be 0-4095"},
        {"aio 7 adc 1 65535", "AIO7 is not fitted"},
        {"aio 1 din 4 1", "AIO1 is not fitted"},
        {"aio 2 alert 0x0C01", "AIO2 is not fitted"},
        {"aio 1 adc 5 1", "channel must be 1-4"},
        {"aio 1 alert", "usage: aio M adc C CODE | aio M din C L | aio M alert BITS"},
        {"fail i2c:0x41 -1", "count must be 0-1000000"},
        {"aio 1 alert 0x0010", "bits must be among 0-3 and 10-11 (mask 0x0C0F)"},
        {"fail spi:8 1", device},
        {"fail i2c:0x80 1", device},
        {"reboot", "unknown command (input, tmp, aio, fail, show)"},
        {"fail i2c:0x41 5", "ok"},
        {"fail i2c:0x41 0", "ok"},  // clears the five
        {"fail i2c:0x41 2", "ok"}};
    for (const auto& [line, why] : cases) {
        const std::string answer = why == "ok" ? why : "error: " + why;
        EXPECT_EQ(sim::RunControlCommand(board, line), answer + "\n") << line;
    }
    EXPECT_EQ(sim::RunControlCommand(board, "show"),
              "GRUND leds 0 0 0\nGRUND output 0\nGRUND inputs 0 0 0 1 0 0 0 0 1\nok\n");
    // The driver's view of the inputs set above, and of the chip's two failures.
    EXPECT_EQ(board.Level(LL_GPIO_IN_Map[3]) + board.Level(LL_GPIO_IN_Map[8]), 2);
    const int bus = board.Open("/dev/i2c-1", O_RDWR);
    ASSERT_EQ(board.Ioctl(bus, 0x0703, reinterpret_cast<void*>(0x41)), 0);
    uint8_t byte = 0;
    for (int expected : {-1, -1, 1}) EXPECT_EQ(board.Write(bus, &byte, 1), expected);
    board.Close(bus);
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
    EXPECT_EQ(board.Level(LL_GPIO_IN_Map[2]) + board.Level(LL_GPIO_IN_Map[5]), 2);
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

// On the demo board in debug mode: the start lists every kind; a silent
// control client, one sending garbage and one sending an endless line hold
// up neither the request loop nor the control clients after them; `show`
// gives the base module's lines, then the fitted modules' in module-number
// order; what the control socket changes reaches Modbus reads; a relay chip
// failing once fails one write with exception 4, and the service serves on.
TEST(EndToEnd, ControlSocketOnTheDemoBoard) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/control";
    testsupport::ServiceOptions options;
    options.board = "";
    options.args = {"-d"};
    options.env["CORVANE_SIM_CONTROL"] = path;
    testsupport::Service service(options);
    ASSERT_TRUE(service.Start()) << service.Stderr();
    EXPECT_TRUE(testsupport::InOrder(service.Stdout(), {"\n[MM] GRUND Module 1\n[MM] PWM Module 1\n"
                                                        "[MM] REL Module 1\n[MM] TMP Module 1\n"
                                                        "[MM] AIO Module 3\n"}));
    const auto c = testsupport::ConnectModbus(service.port());
    ASSERT_TRUE(c);
    uint16_t masks[4] = {};
    EXPECT_EQ(modbus_read_input_registers(c.get(), 8, 4, masks), 4);
    EXPECT_EQ(std::vector<int>(masks, masks + 4), (std::vector<int>{1, 1, 1, 4}));

    const int silent = UnixSocket(path), garbage = UnixSocket(path), endless = UnixSocket(path);
    std::string noise = "input 1 1 1\ninpu 1 1\ninput 1 1\x01\n";
    for (int i = 0; i < 65536; ++i) noise += static_cast<char>(i * 7919 % 251);
    fcntl(endless, F_SETFL, O_NONBLOCK);
    std::thread flood([&] {
        send(garbage, noise.data(), noise.size(), MSG_NOSIGNAL);
        const std::string chunk(65536, 'y');
        for (const auto end = Clock::now() + 3s; Clock::now() < end;) {
            if (send(endless, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0)
                std::this_thread::sleep_for(1ms);
        }
    });
    auto slowest = Clock::duration::zero();
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(20ms)) {
        const auto begin = Clock::now();
        uint16_t version[3] = {};
        EXPECT_EQ(modbus_read_input_registers(c.get(), 1, 3, version), 3);
        slowest = std::max(slowest, Clock::now() - begin);
    }
    flood.join();
    EXPECT_LT(slowest, 1s) << "a Modbus request waited behind the control clients";
    fcntl(endless, F_SETFL, 0);
    send(endless, "\ninput 4 1\n", 11, 0);
    EXPECT_EQ(Receive(endless, 2), "error: line longer than 256 bytes\nok\n");
    EXPECT_NE(Receive(garbage, 1).find("error: "), std::string::npos);

    const int control = UnixSocket(path);
    auto command = [&](const std::string& line) {
        send(control, (line + "\n").data(), line.size() + 1, 0);
        return Receive(control, 1);
    };
    EXPECT_EQ(command("input 2 1"), "ok\n");
    const std::string shown = command("show");
    EXPECT_TRUE(testsupport::InOrder(
        shown, {"GRUND leds ", "\nGRUND output 0\nGRUND inputs 1 0 1 0 1 0 0 0 0\nPWM1 ", "\nREL1 ",
                "\nTMP1 ", "\nAIO3 ", "\nok\n"}))
        << "the garbage changed the board";
    uint8_t inputs[5] = {};
    EXPECT_EQ(modbus_read_input_bits(c.get(), 0, 5, inputs), 5);
    EXPECT_EQ(std::vector<int>(inputs, inputs + 5), (std::vector<int>{1, 0, 1, 0, 1}));

    // AIO3: channel 1 a voltage input, channel 4 a digital input.
    ASSERT_EQ(modbus_write_register(c.get(), 18, 0x8472), 1);
    // Each unlike the demo board's value; the temperature passes through the ten-sample mean.
    const struct {
        const char* command;
        bool bit;
        int address, expected;
    } cases[] = {{"tmp 1 raw 1 2200", false, 38, TMP_RawToRegister(2200)},
                 {"aio 3 adc 1 16384", false, 150, 2500},
                 {"aio 3 din 4 0", true, 27, 0}};
    for (const auto& k : cases) {
        EXPECT_EQ(command(k.command), "ok\n");
        auto read = [&] {
            uint16_t reg = 0;
            uint8_t bit = 0;
            if (k.bit) return modbus_read_input_bits(c.get(), k.address, 1, &bit) == 1 ? bit : -1;
            return modbus_read_input_registers(c.get(), k.address, 1, &reg) == 1 ? reg : -1;
        };
        int got = read();
        for (const auto end = Clock::now() + 5s; got != k.expected && Clock::now() < end;) {
            std::this_thread::sleep_for(20ms);
            got = read();
        }
        EXPECT_EQ(got, k.expected) << k.command;
    }

    EXPECT_EQ(command("fail i2c:0x20 1"), "ok\n");  // REL1's port expander
    EXPECT_EQ(modbus_write_bit(c.get(), 48, 1) == -1 ? errno : 0, EMBXSFAIL);
    ASSERT_TRUE(service.WaitStdout(" FC: 5 START: 48 COUNT: "));
    EXPECT_TRUE(std::regex_search(
        service.Stdout(), std::regex("\nRequest Blocked:  127\\.0\\.0\\.1:\\d+ FC: 5 START: 48 "
                                     "COUNT: \\d+ -> Module Communication Fault\n")))
        << service.Stdout();
    uint8_t relay = 0;
    EXPECT_EQ(modbus_write_bit(c.get(), 48, 1), 1);
    EXPECT_EQ(modbus_read_bits(c.get(), 48, 1, &relay), 1);
    EXPECT_EQ(relay, 1);

    EXPECT_EQ(testsupport::ExitCode(service.Stop(SIGINT)), 2);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file outlived the simulator";
    for (int s : {silent, garbage, endless, control}) close(s);
}

}  // namespace
