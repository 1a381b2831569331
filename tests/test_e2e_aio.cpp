// corvanebs-sim end to end with analog modules on the board.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <modbus.h>
#include <sys/wait.h>

#include "service.h"

using namespace std::chrono_literals;

namespace {

using Regs = std::vector<uint16_t>;

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

testsupport::ServiceOptions Debug(const std::string& board) {
    testsupport::ServiceOptions options;
    options.args = {"-d"};
    options.config = "IP = \"127.0.0.1\";\n";
    options.board = board;
    return options;
}

// Registers `from` to `to` of `regs`, and what they should be: 0x8000 but the given ones.
std::pair<Regs, Regs> Range(const Regs& regs, int from, int to, std::map<int, uint16_t> values) {
    Regs expected(to - from, 0x8000);
    for (auto [address, value] : values) expected[address - from] = value;
    return {Regs(regs.begin() + from, regs.begin() + to), expected};
}

}  // namespace

TEST(EndToEnd, AnalogModulesThroughTheirRegisters) {
    // AIO1 converts 5 V on channel 2 and 5 mA on channel 3, channel 4 reads
    // high; AIO3 presents the defaults.
    testsupport::Service service(
        Debug("analog = [1, 3];\naio1 = { adc = [0, 32768, 13107, 0]; din = [0, 0, 0, 1]; };\n"));
    ASSERT_TRUE(service.Start()) << service.Stderr();
    const testsupport::ModbusClient client = testsupport::ConnectModbus(service.port());
    ASSERT_TRUE(client);
    modbus_t* c = client.get();

    // AIO1: voltage output, voltage input, 4-20 mA current input, digital input.
    ASSERT_EQ(modbus_write_register(c, 16, 0x8621), 1) << modbus_strerror(errno);
    ASSERT_EQ(modbus_write_register(c, 102, 10000), 1) << "channel 1 in mV";
    EXPECT_EQ(modbus_write_register(c, 74, 1001) == -1 ? errno : 0, EMBXILVAL) << "level 1001";
    Regs holding(158), input(198);
    ASSERT_EQ(modbus_read_registers(c, 16, 7, &holding[16]), 7);
    ASSERT_EQ(modbus_read_registers(c, 74, 84, &holding[74]), 84);
    ASSERT_EQ(modbus_read_input_registers(c, 86, 112, &input[86]), 112);
    for (const auto& [got, expected] :
         {Range(holding, 16, 23, {{16, 0x8621}, {18, 0}}),
          Range(holding, 74, 158, {{74, 1000}, {102, 10000}}),
          Range(input, 86, 198, {{115, 500}, {116, 62}, {143, 5000}, {172, 5000}})})
        EXPECT_EQ(got, expected);
    uint8_t bits[28];
    EXPECT_EQ(modbus_read_input_bits(c, 16, 28, bits), -1) << "channel 1 is analog";
    ASSERT_EQ(modbus_read_input_bits(c, 19, 1, bits), 1);
    EXPECT_EQ(bits[0], 1);
    EXPECT_EQ(ExitCode(service.Stop(SIGINT)), 2);
    // Channels that serve another function are no error, only a warning.
    for (const auto& record : service.Journal("Server stopped"))
        EXPECT_GT(record.priority, 3) << record.message;
}

// Temperature module 1 uses SPI devices 0 and 1; analog module 2 device 1.
// Both answer their probes, so the scan only finds the clash at AIO2.
TEST(EndToEnd, AnalogModuleOnTheSpiDeviceOfATemperatureModuleEndsTheStart) {
    testsupport::ServiceOptions options = Debug("temperature = [1];\nanalog = [2, 4];\n");
    options.waitListening = false;
    testsupport::Service service(options);
    ASSERT_TRUE(service.Start());
    EXPECT_EQ(ExitCode(service.WaitExit(20s)), 255);
    const std::string out = service.Stdout();
    EXPECT_NE(
        out.find("[MM] SPI Adress conflict on SPI Channel 1. Change AIO 2 or TMP 1 Module DIP "
                 "Switch\nProblem During Module Detection\n"),
        std::string::npos)
        << out;
    EXPECT_EQ(out.find("[MM] GRUND Module 1"), std::string::npos) << "no listing";
}
