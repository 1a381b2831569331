// The I2C access layer, the relay and PWM drivers and their scan, against the
// chip models of the simulated board.
#include <gtest/gtest.h>

#include <linux/i2c-dev.h>
#include <memory>
#include <tuple>

#include "driver_test.h"
#include "expander.h"
#include "models.h"
#include "modbus_server.h"
#include "pca9685.h"
#include "pwm.h"
#include "rel.h"

namespace {

using namespace testsupport;
sim::Board& board = sim::Board::Get();

// The bus traffic since the last call: transfers and the longer waits.
std::string Traffic() {
    return Steps([](auto& t) { return IsTransfer(t) || (IsSleep(t) && t.argument > 1000); });
}

// A register or coil read: the value, or minus the result.
int Reg(CorvaneModule* m, int channel) {
    const auto [r, value] = Got(*m, &CorvaneModule::get_OutputRegister, channel);
    return r != 0 ? -r : value;
}
int Bit(CorvaneModule* m, int channel) {
    const auto [r, value] = Got(*m, &CorvaneModule::get_OutputBit, channel);
    return r != 0 ? -r : value;
}

sim::BoardConfig Fitted(V pwm, V relay) {
    sim::BoardConfig config;
    config.pwm = std::move(pwm);
    config.relay = std::move(relay);
    return config;
}

class I2c : public testing::Test {
  protected:
    void SetUp() override {
        bus = i2c_open("/dev/i2c-1");
        pwm = std::make_unique<PwmModule>(bus, 0, &logger, 200);
        rel = std::make_unique<RelayModule>(bus, 0, &logger);
        pca = std::dynamic_pointer_cast<sim::Pca9685>(board.I2cChipAt(0x41));
        port = std::dynamic_pointer_cast<sim::PortExpander>(board.I2cChipAt(0x20));
        ASSERT_EQ(pwm->init() + rel->init(), 0);
        Traffic();
    }
    void TearDown() override { i2c_close(bus); }
    BoardScope scope{Fitted({1, 3}, {1, 2})};
    int bus = -1;
    CorvaneLogger logger{7, true};
    std::unique_ptr<PwmModule> pwm;
    std::unique_ptr<RelayModule> rel;
    std::shared_ptr<sim::Pca9685> pca;
    std::shared_ptr<sim::PortExpander> port;
};

TEST_F(I2c, AccessLayer) {
    const uint8_t data[] = {1, 2, 3, 4, 5}, autoIncrement[] = {0x00, 0x21};
    pca->Write(autoIncrement, 2);
    // {read, device, internal address, length, result, traffic}
    const std::tuple<bool, i2c_device, uint32_t, int, int, std::string> cases[] = {
        {false, {bus, 0x41, 0, 1, 0, 8, 1}, 6, 5, 5, "t0 s41 w060102 z1000 w08030405 z1000"},
        {false, {bus, 0x41, 0, 0, 0, 8, 2}, 0x1234, 1, 1, "t0 s41 w123401 z1000"},
        {false, {bus, 0x41, 0, 1, 0, 8, 0}, 0, 2, 2, "t0 s41 w0102 z1000"},
        {false, {bus, 0x41, 0, 1, 0, 8, 0}, 0, 0, 0, "t0 s41"},
        {true, {bus, 0x41, 0, 0, 0, 8, 1}, 7, 2, 2, "t0 s41 w07 z1000 r0203"},
        {true, {bus, 0x41, 0, 1, 0, 8, 0}, 0, 1, 1, "t0 s41 z1000 r04"},
        {true, {bus, 0x80, 0, 1, 0, 8, 1}, 0, 1, -1, "t0 s80!"},
        {false, {bus, 0x80, 0, 1, 0, 8, 1}, 0, 1, -1, "t0 s80!"},  // nothing to the chip before
        {false, {bus, 0x41, 0, 1, 0, 0, 1}, 0, 1, -1, ""},         // page size 0
    };
    for (const auto& [read, device, iaddr, length, result, traffic] : cases) {
        uint8_t in[5] = {};
        EXPECT_EQ(
            read ? i2c_read(&device, iaddr, in, length) : i2c_write(&device, iaddr, data, length),
            result)
            << traffic;
        EXPECT_EQ(Steps(), traffic);
    }
    // The second page fails: the first stays written.
    board.FailDevice("i2c:0x41", 1, 1);
    EXPECT_EQ(i2c_write(&pwm->Device, 6, "\x9\x9\x9\x9\x9", 5), -1);
    EXPECT_EQ(Traffic(), "w060909 w08090909!");
    EXPECT_EQ(V({pca->Register(6), pca->Register(7), pca->Register(8)}), (V{9, 9, 3}));
}

TEST_F(I2c, Relay) {
    EXPECT_EQ(V({port->Register(0x00), port->Pins()}), (V{0, 0}));
    // The mask changes what the registers show, not the pins.
    EXPECT_EQ(rel->set_OutputRegister(0, 0x3), 0);
    EXPECT_EQ(Traffic(), "");
    EXPECT_EQ(V({port->Pins(), Reg(rel.get(), 1), Bit(rel.get(), 4), Bit(rel.get(), 3)}),
              (V{0, 0x30, 1, 0}));
    EXPECT_EQ(rel->set_OutputRegister(1, 0), 0);
    EXPECT_EQ(V({port->Pins(), Reg(rel.get(), 1)}), (V{0x30, 0}));
    // Bits a register cannot hold are refused, not dropped.
    EXPECT_EQ(V({rel->set_OutputRegister(0, 0x25), rel->set_OutputRegister(1, 0x1F3),
                 Reg(rel.get(), 0), port->Pins()}),
              (V{3, 3, 3, 0x30}));
    rel->InvertMask = 0;
    Traffic();
    EXPECT_EQ(rel->set_OutputRegister(1, 0xF3), 0);
    EXPECT_EQ(Traffic(), "w0af3");
    // A coil: the port is read, then the latch written; a failed read writes nothing.
    EXPECT_EQ(rel->set_OutputBit(2, true), 0);
    EXPECT_EQ(Traffic(), "w09 rf3 w0af7");
    board.FailDevice("i2c:0x20", 1);
    EXPECT_EQ(Echoed([&] { return rel->set_OutputBit(0, false); }),
              "4 REL1 Module Communication Fault");
    EXPECT_EQ(Echoed([&] { return rel->set_OutputBit(8, true); }), "1 REL1 Illegal function");
    EXPECT_EQ(Traffic(), "w09!");
    EXPECT_EQ(sim::ShowRelayModule(board, 0), Lines{"REL1 pins 1 1 1 0 1 1 1 1"});
}

TEST_F(I2c, PwmFrequency) {
    // {written, result, prescale, read back}
    const V cases[] = {{24, 3, 30, 200},   {1501, 3, 30, 200}, {25, 0, 243, 25},
                       {1500, 0, 3, 1743}, {1357, 0, 3, 1743}, {200, 0, 30, 200}};
    std::string traffic;
    for (const V& c : cases) {
        const int result = pwm->set_OutputRegister(0, static_cast<unsigned short>(c[0]));
        traffic = Traffic();
        EXPECT_EQ(V({result, pca->Register(0xFE), Reg(pwm.get(), 0), pca->Running()}),
                  (V{c[1], c[2], c[3], 1}))
            << c[0];
        Traffic();
    }
    // The old prescale read, asleep for the new one, awake, the wake-up wait, restart.
    EXPECT_EQ(traffic, "w00 r01 wfe r03 w0011 wfe1e w0001 z50000 w0081");
}

TEST_F(I2c, PwmDutyPolarityAndIndicators) {
    // After init: outputs off in the driver's sense (full-on bit), indicators dark.
    for (uint8_t base :
         std::initializer_list<uint8_t>{0x0A, 0x0E, 0x12, 0x16, 0x26, 0x2A, 0x2E, 0x32})
        EXPECT_EQ(V({pca->Register(base + 1), pca->Register(base + 3)}), (V{0x10, 0}));
    // Output 2: {polarity, duty, result, ON low, ON high, OFF low, OFF high, indicator OFF high}
    const V cases[] = {
        {0, 250, 0, 0, 0, 0x00, 0x0C, 0x10}, {0, 1000, 0, 0, 0, 0, 0x10, 0x10},
        {0, 0, 0, 0, 0x10, 0, 0, 0},         {1, 300, 0, 0, 0, 0xCD, 0x04, 0x10},
        {1, 1000, 0, 0, 0x10, 0, 0, 0x10},   {1, 1001, 3, 0, 0x10, 0, 0, 0x10},
    };
    for (const V& c : cases) {
        pwm->Polarity[1] = c[0];
        V got = {pwm->set_OutputRegister(2, static_cast<unsigned short>(c[1]))};
        for (uint8_t r : std::initializer_list<uint8_t>{0x0E, 0x0F, 0x10, 0x11, 0x2D})
            got.push_back(pca->Register(r));
        EXPECT_EQ(got, V(c.begin() + 2, c.end())) << c[1];
        EXPECT_EQ(Reg(pwm.get(), 2), std::min(c[1], 1000));
    }
    // The polarity flips, the duty stays.
    ASSERT_EQ(pwm->set_OutputRegister(1, 300), 0);
    EXPECT_EQ(pwm->set_OutputBit(0, true), 0);
    EXPECT_EQ(V({pca->Register(0x0C), pca->Register(0x0D), Reg(pwm.get(), 1), Bit(pwm.get(), 0)}),
              (V{0xCD, 0x04, 300, 1}));
    // Holding registers from 5 answer 1 without a report.
    unsigned short value = 0;
    EXPECT_EQ(V({pwm->get_OutputRegister(5, &value), value}), (V{1, 0x8000}));
    EXPECT_EQ(Echoed([&] { return pwm->set_OutputRegister(5, 1); }), "1");
}

// A PWM write whose put-back fails too (five tries a byte) leaves the output
// reading as missing until a write to it succeeds. (Put-backs after a fault
// at each transfer: ScanAndWritesUnderBusFaults.)
TEST_F(I2c, PwmOutputThatCannotBeReset) {
    pwm->Polarity[0] = false;
    ASSERT_EQ(pwm->set_OutputRegister(1, 300), 0);
    const auto duty = [&] { return pwm->set_OutputRegister(1, 700); };
    // The indicator's second byte fails, and so do five tries at each byte put back.
    board.FailDevice("i2c:0x41", 11, 17);
    EXPECT_EQ(Echoed(duty),
              "4 PWM1 Module Communication Fault (Output 1 could not be "
              "reset: it reads as missing until written)");
    EXPECT_EQ(V({Reg(pwm.get(), 1), Echoed([&] { return pwm->set_OutputBit(0, true); })[0],
                 pwm->Polarity[0]}),
              (V{-4, '4', 0}));
    EXPECT_EQ(V({duty(), Reg(pwm.get(), 1)}), (V{0, 700}));
    // The frequency's first write fails, and so does each of five tries to put it back.
    board.FailDevice("i2c:0x41", 6, 4);
    EXPECT_EQ(
        V({Echoed([&] { return pwm->set_OutputRegister(0, 1000); })[0], Reg(pwm.get(), 0),
           Reg(pwm.get(), 1), Echoed(duty)[0], pwm->set_OutputRegister(0, 200), Reg(pwm.get(), 1)}),
        (V{'4', -4, -4, '4', 0, 700}));
}

// The scan keeps the bus while a module uses it, and finds each module at
// its jumpers' address: PWM4 at 0x49, PWM5 at 0x47.
TEST_F(I2c, ScanKeepsTheBusWhileAModuleUsesIt) {
    pwm.reset();
    rel.reset();
    // {PWM fitted, relay fitted, PWM mask, relay mask, bus still open}
    const std::tuple<V, V, int, int, int> cases[] = {
        {{4}, {}, 8, 0, 1}, {{5}, {}, 16, 0, 1}, {{}, {3}, 0, 4, 1}, {{}, {}, 0, 0, 0}};
    for (const auto& [pwms, relays, pwmMask, relMask, kept] : cases) {
        board.Reset(Fitted(pwms, relays));
        const int descriptors = board.OpenDescriptors();
        Module_Manager manager(&logger);
        Echoed([&] { return manager.ScanModules(); });
        EXPECT_EQ(
            V({manager.PwmPresent, manager.RelPresent, board.OpenDescriptors() - descriptors}),
            (V{pwmMask, relMask, kept}));
        for (CorvaneModule*& module : manager.Modules) delete std::exchange(module, nullptr);
        if (kept) i2c_close(manager.I2cHandle);
    }
}

// The scan over the fixture's board, and requests to it; its drivers go and
// the bus closes at the end.
struct Scanned {
    explicit Scanned(CorvaneLogger* logger) : manager(logger) {
        scan = Echoed([&] { return manager.ScanModules(); });
    }
    ~Scanned() {
        for (CorvaneModule*& module : manager.Modules) delete std::exchange(module, nullptr);
        i2c_close(manager.I2cHandle);
    }
    int Run(uint8_t function, uint16_t start, uint16_t count, std::vector<uint16_t> values = {}) {
        modbus_request request{0, function, start, count, static_cast<uint8_t>(values.size()), {}};
        std::copy(values.begin(), values.end(), request.values);
        return manager.RequestHandler(mapping.get(), &request);
    }
    Module_Manager manager;
    std::string scan;
    std::unique_ptr<modbus_mapping_t, void (*)(modbus_mapping_t*)> mapping{
        modbus_mapping_new(80, 44, 158, 198), modbus_mapping_free};
};

// The scan keeps what answers and the bus with it. A write whose transfers
// to one chip fail anywhere, up to four in a row, either goes through whole
// or is refused with every relay and PWM output as it was (a multiple write
// puts back what the drivers wrote, a PWM driver what the chip held).
TEST_F(I2c, ScanAndWritesUnderBusFaults) {
    const V live = {PwmModule::PwmModuleCount, RelayModule::RelayModuleCount};
    const int descriptors = board.OpenDescriptors();
    {
        CorvaneLogger quiet{7, false};
        Scanned s(&quiet);
        EXPECT_EQ(V({s.scan[0], s.manager.PwmPresent, s.manager.RelPresent, s.manager.ModuleCount,
                     PwmModule::PwmModuleCount - live[0], RelayModule::RelayModuleCount - live[1],
                     board.OpenDescriptors() - descriptors}),
                  (V{'0', 5, 3, 4, 2, 2, 1}));
        const auto reset = [&] {
            return s.Run(16, 70, 2, {0x11, 0x22}) + s.Run(15, 16, 4, {0}) +
                   s.Run(16, 38, 4, {10, 20, 30, 40}) + s.Run(6, 30, 0, {200});
        };
        const auto outputs = [&] {
            Lines lines = sim::ShowPwmModule(board, 0);
            lines.push_back(pca->Running() ? "running" : "asleep");
            for (int i : {0, 1}) lines.push_back(sim::ShowRelayModule(board, i)[0]);
            return lines;
        };
        // {function, start, count, values, failing chip, its transfers in the request}
        const std::tuple<uint8_t, uint16_t, uint16_t, std::vector<uint16_t>, std::string, int>
            writes[] = {
                {15, 48, 16, {0xAA, 0x55}, "i2c:0x20", 40},
                {15, 48, 16, {0xAA, 0x55}, "i2c:0x22", 40},
                {16, 70, 2, {0x0F, 0xF0}, "i2c:0x22", 3},
                {15, 16, 4, {0x0F}, "i2c:0x41", 128},
                {16, 38, 4, {100, 200, 300, 400}, "i2c:0x41", 128},
                {6, 38, 0, {700}, "i2c:0x41", 24},
                {5, 16, 0, {0xFF00}, "i2c:0x41", 32},
                {6, 30, 0, {1000}, "i2c:0x41", 8},
            };
        for (const auto& [function, start, count, values, device, transfers] : writes) {
            ASSERT_EQ(reset(), 0);
            const Lines before = outputs();
            ASSERT_EQ(s.Run(function, start, count, values), 0);
            const Lines written = outputs();
            const uint16_t address =
                static_cast<uint16_t>(std::stoi(device.substr(4), nullptr, 16));
            const i2c_device chip{s.manager.I2cHandle, address, 0, 1, 0, 8, 1};
            for (int after = 0; after < transfers; ++after) {
                for (int faults : {1, 4}) {
                    ASSERT_EQ(reset(), 0);
                    board.FailDevice(device, faults, after);
                    const int result =
                        Echoed([&] { return s.Run(function, start, count, values); })[0];
                    uint8_t drain = 0;
                    for (int i = 0; i < 4; ++i) i2c_read(&chip, 0, &drain, 1);
                    EXPECT_EQ(outputs(), result == '0' ? written : before)
                        << function << device << " " << after << " " << faults;
                    EXPECT_TRUE(s.manager.UnsetCoils.none() && s.manager.UnsetRegisters.none());
                }
            }
        }
    }
    EXPECT_EQ(V({PwmModule::PwmModuleCount, RelayModule::RelayModuleCount}), live);
}

// A PWM module whose init fails stays listed and present, but reads as
// missing and refuses writes with 4, its init tried again once per
// request, until it starts.
TEST_F(I2c, ModuleWhoseInitFailed) {
    board.FailDevice("i2c:0x45", 5, 2);  // PWM3's probe goes through, its init and four more fail
    Scanned s(&logger);
    const auto pca3 = std::dynamic_pointer_cast<sim::Pca9685>(board.I2cChipAt(0x45));
    EXPECT_NE(s.scan.find("[MM] PWM3 did not start: tried again when used"), std::string::npos);
    const auto run = [&](uint8_t function, uint16_t start, uint16_t count) {
        return Echoed([&] { return s.Run(function, start, count, {500, 500}); })[0];
    };
    EXPECT_EQ(V({s.manager.PwmPresent, s.manager.InitFailed[3], pca3->Running(), run(3, 32, 1),
                 s.mapping->tab_registers[32], run(1, 24, 1), run(6, 46, 1), run(16, 46, 2)}),
              (V{5, 1, 0, '0', 0x8000, '4', '4', '4'}));
    EXPECT_EQ(Echoed([&] { return s.Run(3, 32, 1); }), "0 [MM] PWM3 started");
    EXPECT_EQ(V({s.mapping->tab_registers[32], s.manager.InitFailed[3], pca3->Running()}),
              (V{200, 0, 1}));
}

}  // namespace
