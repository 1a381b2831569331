// corvanebs-sim on the demo board as its control socket and Modbus clients see it.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "service.h"

namespace {

using testsupport::UnixSocket;
const auto Receive = testsupport::ReceiveAnswers;

// On the demo board: the start lists every kind; `show` gives the base
// module's lines, then the fitted modules' in module-number order; an input
// it sets reaches Modbus reads (the other values: Panel.Api); a failed analog
// transfer fails a write with exception 4; an over-long line is refused, the
// next one served.
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
    EXPECT_EQ(testsupport::ExitCode(service.Stop(SIGINT)), 2);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file outlived the simulator";
    close(control);
}

}  // namespace
