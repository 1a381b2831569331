// corvanebs-sim on the demo board with its control socket: the service
// serving Modbus beside control clients that misbehave, and the board as the
// socket and Modbus clients see it.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "service.h"
#include "tmp.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::UnixSocket;
const auto Receive = testsupport::ReceiveAnswers;

// On the demo board in debug mode: the start lists every kind; a silent
// control client, one sending garbage and one sending an endless line hold
// up neither the request loop nor the control clients after them; `show`
// gives the base module's lines, then the fitted modules' in module-number
// order; what the control socket changes reaches Modbus reads; a failed
// analog transfer fails a write with exception 4; a relay chip
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

    // AIO3: channel 1 a voltage input, channel 4 a digital input. A failed
    // transfer (-1, no code) refuses the write with exception 4; the monitor
    // may meet the fault first, so it is armed until the write does.
    int refusal = 0;
    for (int i = 0; i < 10 && refusal != EMBXSFAIL; ++i) {
        EXPECT_EQ(command("fail spi:2 1"), "ok\n");
        refusal = modbus_write_register(c.get(), 18, 0x8472) == -1 ? errno : 0;
    }
    EXPECT_EQ(refusal, EMBXSFAIL);
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
