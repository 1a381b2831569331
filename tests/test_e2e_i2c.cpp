// corvanebs-sim with relay and PWM modules, over Modbus TCP.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <modbus.h>

#include "service.h"

namespace {

using V = std::vector<int>;

TEST(EndToEnd, RelayAndPwmModules) {
    testsupport::ServiceOptions options;
    options.args = {"-d"};
    options.config = "IP = \"127.0.0.1\";\n";
    // After its probe and init, five transfers to REL2 in a row fail.
    options.board =
        "pwm = [1, 3];\nrelay = [1, 2];\n"
        "faults = ({ device = \"i2c:0x22\"; after = 4; count = 5; });\n";
    testsupport::Service service(options);
    ASSERT_TRUE(service.Start()) << service.Stderr();
    const testsupport::ModbusClient client = testsupport::ConnectModbus(service.port());
    ASSERT_TRUE(client);
    modbus_t* c = client.get();
    const auto refusal = [](int result) { return result == -1 ? errno : 0; };
    const auto reg = [&](int address) {
        uint16_t value = 0;
        return modbus_read_registers(c, address, 1, &value) == 1 ? int(value) : -1;
    };
    const auto bit = [&](int address) {
        uint8_t value = 9;
        return modbus_read_bits(c, address, 1, &value) == 1 ? int(value) : -1;
    };

    uint16_t masks[2] = {};
    ASSERT_EQ(modbus_read_input_registers(c, 8, 2, masks), 2);
    EXPECT_EQ(V(masks, masks + 2), (V{0b101, 0b11}));

    // Across REL1 and REL2: REL2's first coil fails and REL1's are rolled back.
    const uint8_t all[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(refusal(modbus_write_bits(c, 48, 16, all)), EMBXILFUN);
    EXPECT_EQ(V({reg(70), reg(71)}), (V{0, 0}));
    const uint8_t some[16] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 1};
    ASSERT_EQ(modbus_write_bits(c, 48, 16, some), 16);
    ASSERT_EQ(modbus_write_register(c, 23, 3), 1);  // REL1's inversion mask
    ASSERT_EQ(modbus_write_register(c, 30, 1357), 1);
    ASSERT_EQ(modbus_write_register(c, 38, 250), 1);
    ASSERT_EQ(modbus_write_bit(c, 16, 1), 1);
    EXPECT_EQ(V({reg(70), reg(71), bit(52), reg(30), reg(38), reg(32), bit(16)}),
              (V{0x35, 0x02, 1, 1743, 250, 200, 1}));

    // Spanning PWM1 and the absent PWM2: refused before anything is written.
    const uint16_t duties[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(refusal(modbus_write_registers(c, 38, 8, duties)), EMBXILFUN);
    EXPECT_EQ(refusal(modbus_write_bits(c, 16, 8, all)), EMBXILFUN);
    EXPECT_EQ(V({reg(38), reg(39), bit(17)}), (V{250, 0, 0}));

    // Locked: frequency, polarity and inversion mask are refused, duties and relays not.
    ASSERT_EQ(modbus_write_register(c, 0, 6914), 1);
    EXPECT_EQ(V({refusal(modbus_write_register(c, 30, 200)), refusal(modbus_write_bit(c, 16, 0)),
                 refusal(modbus_write_register(c, 23, 0)),
                 refusal(modbus_write_register(c, 39, 500)), refusal(modbus_write_bit(c, 49, 1))}),
              (V{EMBXILFUN, EMBXILFUN, EMBXILFUN, 0, 0}));
    EXPECT_EQ(V({reg(30), bit(16), reg(23), reg(39), reg(71)}), (V{1743, 1, 3, 500, 0x02}));

    std::string journal;
    for (const auto& r : service.Journal("[MM] Resetting")) journal += r.message + "\n";
    EXPECT_NE(journal.find("[MM] GRUND Module 1\n I |  [MM] PWM Module 1\n I |  [MM] PWM Module 3\n"
                           " I |  [MM] REL Module 1\n I |  [MM] REL Module 2\n"),
              std::string::npos)
        << journal;
    EXPECT_NE(journal.find(" E |  REL2 Module Communication Fault\n W |  Problem writing to Module "
                           "Nr 10 Module Communication Fault\n W |  [MM] Resetting to Prerequest "
                           "Values\n"),
              std::string::npos)
        << journal;
}

}  // namespace
