// corvanebs-sim with three temperature modules: their temperatures in input
// registers 38-85 and their averaging switches in holding registers 27-29.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <modbus.h>
#include <sys/wait.h>
#include <thread>

#include "service.h"
#include "tmp.h"

using Regs = std::vector<uint16_t>;

TEST(EndToEnd, TemperatureModules) {
    testsupport::ServiceOptions options;
    options.board = "temperature = [1, 2, 3];\n";
    Regs expected;
    for (int m = 1; m <= 3; ++m) {
        options.board += "tmp" + std::to_string(m) + " = { raw = [";
        for (int j = 0; j < 16; ++j) {
            const int raw = 101 + 250 * j + 37 * m;  // all different
            options.board += std::to_string(raw) + (j < 15 ? ", " : "]; };\n");
            expected.push_back(TMP_RawToRegister(raw));
        }
    }
    testsupport::Service service(options);
    ASSERT_TRUE(service.Start()) << service.Stderr();
    const testsupport::ModbusClient c = testsupport::ConnectModbus(service.port());
    ASSERT_TRUE(c);
    auto read = [&](auto function, int start, int count) {
        Regs regs(count);
        return function(c.get(), start, count, regs.data()) == count ? regs : Regs{};
    };
    // Until ten samples are in, the mean reads low.
    for (int i = 0; i < 100 && read(modbus_read_input_registers, 38, 48) != expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(read(modbus_read_input_registers, 38, 48), expected);
    EXPECT_EQ(read(modbus_read_input_registers, 8, 3), (Regs{0, 0, 7})) << "presence masks";
    EXPECT_EQ(read(modbus_read_registers, 27, 3), Regs(3, 1));
    for (const Regs& modes : {Regs{1, 0, 1}, Regs{0, 0, 0}, Regs{1, 1, 0}}) {
        ASSERT_EQ(modbus_write_registers(c.get(), 27, 3, modes.data()), 3);
        EXPECT_EQ(read(modbus_read_registers, 27, 3), modes);
        EXPECT_EQ(read(modbus_read_input_registers, 38, 48), expected) << "direct reads agree";
    }
    EXPECT_EQ(modbus_write_register(c.get(), 29, 2) == -1 ? errno : 0, EMBXILVAL);
    EXPECT_EQ(read(modbus_read_registers, 29, 1), Regs{0});
    EXPECT_EQ(WEXITSTATUS(service.Stop(SIGINT)), 2);
    EXPECT_EQ(service.Stderr(), "");
}
