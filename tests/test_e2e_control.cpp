// corvanebs-sim on the demo board as its control socket and Modbus clients see it.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
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

// On the demo board: the start lists every kind; `show` gives the base
// module's lines, then the fitted modules' in module-number order; what the
// control socket changes reaches Modbus reads; a failed analog transfer fails
// a write with exception 4; an over-long line is refused, the next one served.
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
    const int control = UnixSocket(path);
    auto command = [&](const std::string& line) {
        send(control, (line + "\n").data(), line.size() + 1, 0);
        return Receive(control, 1 + (line.size() > 256));
    };
    EXPECT_EQ(command(std::string(8192, 'y') + "\ninput 4 1"),
              "error: line longer than 256 bytes\nok\n");
    const std::string shown = command("show");
    EXPECT_TRUE(testsupport::InOrder(
        shown, {"GRUND leds ", "\nGRUND output 0\nGRUND inputs 1 0 0 0 1 0 0 0 0\nPWM1 ", "\nREL1 ",
                "\nTMP1 ", "\nAIO3 ", "\nok\n"}))
        << shown;
    uint8_t inputs[5] = {};
    EXPECT_EQ(modbus_read_input_bits(c.get(), 0, 5, inputs), 5);
    EXPECT_EQ(std::vector<int>(inputs, inputs + 5), (std::vector<int>{1, 0, 0, 0, 1}));

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

    EXPECT_EQ(testsupport::ExitCode(service.Stop(SIGINT)), 2);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file outlived the simulator";
    close(control);
}

}  // namespace
