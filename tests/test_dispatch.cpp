// Request dispatch, the module table and the scan on the simulated board,
// with the real base module in entry 0 and recording drivers elsewhere.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "fake_module.h"
#include "journal.h"
#include "modbus_server.h"
#include "module_manager.h"
#include "sim.h"

using testsupport::FakeModule;
using Lines = std::vector<std::string>;
using Calls = std::vector<FakeModule::Call>;

namespace {

sim::Board& board() {
    return sim::Board::Get();
}

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        board().Reset(sim::BoardConfig{});
        board().SetTimeScale(0.01);
        manager = std::make_unique<Module_Manager>(&logger);
        manager->Init();
        mapping = modbus_mapping_new(80, 44, 158, 198);
    }
    void TearDown() override {
        for (int nr = 1; nr < MM_MODULE_SLOTS; ++nr) manager->Modules[nr] = nullptr;
        manager.reset();
        modbus_mapping_free(mapping);
    }

    FakeModule* Fit(int nr) {
        fakes.push_back(std::make_unique<FakeModule>(&logger, "FAKE", nr));
        manager->Modules[nr] = fakes.back().get();
        return fakes.back().get();
    }

    // Runs one request; `lines` gets what the dispatcher echoed.
    int Run(uint8_t function, uint16_t start, uint16_t count, std::vector<uint16_t> values = {},
            int byteCount = -1) {
        modbus_request request;
        std::memset(&request, 0, sizeof request);
        request.function = function;
        request.start = start;
        request.count = count;
        request.byteCount = static_cast<uint8_t>(byteCount >= 0 ? byteCount : values.size());
        for (size_t i = 0; i < values.size(); ++i) request.values[i] = values[i];
        testing::internal::CaptureStdout();
        const int result = manager->RequestHandler(mapping, &request);
        std::istringstream out(testing::internal::GetCapturedStdout());
        lines.clear();
        for (std::string line; std::getline(out, line);) lines.push_back(line);
        return result;
    }

    std::vector<int> Registers(int from, int count) {
        return std::vector<int>(mapping->tab_registers + from,
                                mapping->tab_registers + from + count);
    }
    std::vector<int> Bits(int from, int count) {
        return std::vector<int>(mapping->tab_bits + from, mapping->tab_bits + from + count);
    }
    bool Locked() { return manager->BaseModule.ConfigLocked; }

    CorvaneLogger logger{7, false};
    std::vector<std::unique_ptr<FakeModule>> fakes;
    std::unique_ptr<Module_Manager> manager;
    modbus_mapping_t* mapping = nullptr;
    Lines lines;
};

TEST_F(DispatchTest, Reads) {
    manager->Set_LED_State(0, LED_FAST_BLINK);
    manager->Set_LED_State(1, LED_ON);
    for (int a = 0; a < 4; ++a) mapping->tab_registers[a] = 7;
    EXPECT_EQ(Run(3, 0, 4), 0);
    EXPECT_EQ(Registers(0, 4), (std::vector<int>{0x8000, 0x23, 0x8000, 0x8000}));

    EXPECT_EQ(Run(4, 1, 11), 0);
    EXPECT_EQ(std::vector<int>(mapping->tab_input_registers + 1, mapping->tab_input_registers + 12),
              (std::vector<int>{0, 7, 18, 1234, 1234, 1234, 1234, 0, 0, 0, 0}));

    board().SetInput(500, 1);  // discrete input 2
    EXPECT_EQ(Run(2, 0, 9), 0);
    EXPECT_EQ(std::vector<int>(mapping->tab_input_bits, mapping->tab_input_bits + 9),
              (std::vector<int>{0, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Run(2, 8, 2), 1) << "input 9 is reserved: the driver's 1 is passed on";

    mapping->tab_bits[16] = 5;
    EXPECT_EQ(Run(1, 16, 4), 1);
    EXPECT_EQ(mapping->tab_bits[16], 5);

    FakeModule* pwm1 = Fit(1);
    pwm1->registers[0] = 4242;
    EXPECT_EQ(Run(4, 16, 22), 0);
    EXPECT_EQ(mapping->tab_input_registers[16], 4242);
    for (int a = 17; a <= 37; ++a) EXPECT_EQ(mapping->tab_input_registers[a], 0x8000) << a;
    EXPECT_EQ(pwm1->calls, (Calls{{"get_InputRegister", 0, 0}}));

    FakeModule* rel1 = Fit(9);
    rel1->bits[0] = true;
    rel1->failChannel = 2;
    for (int a = 48; a < 52; ++a) mapping->tab_bits[a] = 9;
    EXPECT_EQ(Run(1, 48, 4), 4);
    EXPECT_EQ(Bits(48, 4), (std::vector<int>{1, 0, 9, 9}));

    pwm1->failChannel = 1;
    mapping->tab_registers[38] = 1;
    EXPECT_EQ(Run(3, 38, 1), 0);
    EXPECT_EQ(mapping->tab_registers[38], 0x8000);
    EXPECT_TRUE(lines.empty());
}

TEST_F(DispatchTest, SingleWrites) {
    EXPECT_EQ(Run(5, 0, 0, {0xFF00}), 0);
    EXPECT_EQ(board().Level(502), 1);
    EXPECT_EQ(mapping->tab_bits[0], 0xFF);
    EXPECT_EQ(Run(5, 0, 0, {0x00FF}), 0);
    EXPECT_EQ(board().Level(502), 0);
    EXPECT_EQ(mapping->tab_bits[0], 0);

    EXPECT_EQ(Run(5, 16, 0, {0xFF00}), 1);
    EXPECT_EQ(lines, Lines{"Writing to unconnected Module PWM1 @Register: 16"});
    EXPECT_EQ(Run(6, 40, 0, {1}), 1);
    EXPECT_EQ(lines, Lines{"Adress 40041 Writing to unconnected Module PWM1 @Register: 40"});

    FakeModule* pwm1 = Fit(1);
    FakeModule* rel1 = Fit(9);
    EXPECT_EQ(Run(6, 0, 0, {6914}), 0);
    EXPECT_TRUE(Locked());
    EXPECT_EQ(Run(5, 16, 0, {0xFF00}), 1);
    EXPECT_EQ(lines, Lines{"Adress 16Access to Config Bits DENIED. Corvane is LOCKED"});
    EXPECT_EQ(Run(6, 30, 0, {200}), 1);
    EXPECT_EQ(lines, Lines{"Adress 40031 Access to Config Register DENIED. Corvane is LOCKED"});
    EXPECT_TRUE(pwm1->calls.empty());
    EXPECT_EQ(Run(5, 48, 0, {0xFF00}), 0) << "relay coils are not under the lock";
    EXPECT_EQ(Run(6, 38, 0, {77}), 0) << "nor are PWM duty registers";
    EXPECT_EQ(mapping->tab_registers[38], 77);
    EXPECT_EQ(Run(6, 0, 0, {5281}), 0) << "the lock register stays writable";
    EXPECT_FALSE(Locked());
    EXPECT_EQ(mapping->tab_registers[0], 5281);

    rel1->failChannel = 1;
    EXPECT_EQ(Run(5, 49, 0, {0xFF00}), 4);
    EXPECT_EQ(lines, Lines{"Problem writing to Module Nr 9 Module Communication Fault"});
    EXPECT_EQ(mapping->tab_bits[49], 0);
    pwm1->failChannel = 2;
    pwm1->failCode = 3;
    EXPECT_EQ(Run(6, 39, 0, {88}), 3);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(mapping->tab_registers[39], 0);
    EXPECT_EQ(rel1->CallsOf("set_OutputBit"),
              (Calls{{"set_OutputBit", 0, 1}, {"set_OutputBit", 1, 1}}));
    EXPECT_EQ(pwm1->calls, (Calls{{"set_OutputRegister", 1, 77}, {"set_OutputRegister", 2, 88}}));
}

TEST_F(DispatchTest, MultipleRegisterWritesUnderTheLock) {
    manager->BaseModule.ConfigLocked = true;
    EXPECT_EQ(Run(16, 0, 2, {5281, 0x12}), 0);
    EXPECT_FALSE(Locked());
    EXPECT_EQ(manager->BaseModule.Get_LED(0), LED_FAST_BLINK);
    EXPECT_EQ(manager->BaseModule.Get_LED(1), LED_ON);

    mapping->tab_registers[1] = 0x12;
    EXPECT_EQ(Run(16, 0, 2, {6914, 0x00}), 1);
    EXPECT_EQ(lines, Lines{"Adress 40002 Access to Config Register DENIED. Corvane is LOCKED"});
    EXPECT_TRUE(Locked());
    EXPECT_EQ(Registers(0, 2), (std::vector<int>{6914, 0x12}));
    EXPECT_EQ(manager->BaseModule.Get_LED(1), LED_ON);

    FakeModule* pwm1 = Fit(1);
    FakeModule* pwm7 = Fit(7);
    Fit(8);
    EXPECT_EQ(Run(16, 36, 4, {1, 2, 3, 4}), 1);
    EXPECT_EQ(lines, Lines{"Adress 40037 Access to Config Register DENIED. Corvane is LOCKED"});
    EXPECT_TRUE(pwm7->calls.empty());
    EXPECT_TRUE(pwm1->calls.empty());
    EXPECT_EQ(Run(16, 38, 4, {1, 2, 3, 4}), 0);
    EXPECT_EQ(Registers(38, 4), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(pwm1->calls.size(), 4u);

    EXPECT_EQ(Run(16, 60, 4, {9, 9, 9, 9}), 1);
    EXPECT_EQ(lines, Lines{"Adress 40061: Writing to unconnected Module PWM6"});
    EXPECT_EQ(Registers(60, 4), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(pwm7->calls.size(), 0u);
}

TEST_F(DispatchTest, MultipleRegisterWritesRollBack) {
    ASSERT_TRUE(testsupport::EnsureJournald());
    FakeModule* pwm1 = Fit(1);
    const Lines failed = {"Problem writing to Module Nr 1 Module Communication Fault",
                          "[MM] Resetting to Prerequest Values"};
    const auto Preset = [&] {
        for (int i = 0; i < 4; ++i) mapping->tab_registers[38 + i] = 11 + i;
        pwm1->calls.clear();
    };

    Preset();
    pwm1->failChannel = 3;
    EXPECT_EQ(Run(16, 38, 4, {21, 22, 23, 24}), 1);
    EXPECT_EQ(lines, failed);
    EXPECT_EQ(pwm1->calls, (Calls{{"set_OutputRegister", 1, 21},
                                  {"set_OutputRegister", 2, 22},
                                  {"set_OutputRegister", 3, 23},
                                  {"set_OutputRegister", 1, 11},
                                  {"set_OutputRegister", 2, 12}}));
    EXPECT_EQ(Registers(38, 4), (std::vector<int>{11, 12, 13, 14}));

    Preset();
    pwm1->failChannel = 1;
    EXPECT_EQ(Run(16, 38, 4, {21, 22, 23, 24}), 1);
    EXPECT_EQ(lines, failed);
    EXPECT_EQ(pwm1->calls.size(), 1u) << "nothing to roll back";

    Preset();
    pwm1->failChannel = 3;
    pwm1->failCall = 3;  // the first rollback write
    const std::string mark = testsupport::JournalMark();
    EXPECT_EQ(Run(16, 38, 4, {21, 22, 23, 24}), 1);
    const std::string undefined =
        "Values could not be Reset. System in undefined state !!! Error Occured on Module1 "
        "Module Communication Fault";
    EXPECT_EQ(lines, (Lines{failed[0], failed[1], undefined}));
    EXPECT_EQ(pwm1->calls.size(), 4u) << "the rollback stops at its first failure";
    EXPECT_EQ(Registers(38, 4), (std::vector<int>{21, 22, 13, 14}));
    int found = 0;
    for (const auto& r : testsupport::JournalSince(mark, undefined)) {
        if (r.message.find(undefined) != std::string::npos) found += r.priority == 3;
    }
    EXPECT_EQ(found, 1);
}

TEST_F(DispatchTest, MultipleCoilWrites) {
    FakeModule* rel1 = Fit(9);
    FakeModule* rel2 = Fit(10);
    EXPECT_EQ(Run(15, 48, 10, {0x05, 0x02}), 0);
    EXPECT_EQ(Bits(48, 10), (std::vector<int>{1, 0, 1, 0, 0, 0, 0, 0, 0, 1}));
    const Calls rel1Calls = {{"set_OutputBit", 0, 1}, {"set_OutputBit", 1, 0},
                             {"set_OutputBit", 2, 1}, {"set_OutputBit", 3, 0},
                             {"set_OutputBit", 4, 0}, {"set_OutputBit", 5, 0},
                             {"set_OutputBit", 6, 0}, {"set_OutputBit", 7, 0}};
    EXPECT_EQ(rel1->calls, rel1Calls);
    EXPECT_EQ(rel2->calls, (Calls{{"set_OutputBit", 0, 0}, {"set_OutputBit", 1, 1}}));

    // A frame with fewer data bytes than its coils: the missing ones are off,
    // whatever an earlier request left in the record.
    EXPECT_EQ(Run(15, 48, 16, {0xFF, 0xFF}, 1), 0);
    EXPECT_EQ(Bits(48, 16), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}));

    for (int a = 48; a < 52; ++a) mapping->tab_bits[a] = a < 50 ? 1 : 0;
    rel1->calls.clear();
    rel1->failChannel = 2;
    EXPECT_EQ(Run(15, 48, 4, {0x00}), 1);
    EXPECT_EQ(lines, (Lines{"Problem writing to Module Nr 9 Module Communication Fault",
                            "[MM] Resetting to Prerequest Values"}));
    EXPECT_EQ(rel1->calls, (Calls{{"set_OutputBit", 0, 0},
                                  {"set_OutputBit", 1, 0},
                                  {"set_OutputBit", 2, 0},
                                  {"set_OutputBit", 0, 1},
                                  {"set_OutputBit", 1, 1}}));
    EXPECT_EQ(Bits(48, 4), (std::vector<int>{1, 1, 0, 0}));
    rel1->failChannel = -1;

    FakeModule* pwm8 = Fit(8);
    rel1->calls.clear();
    manager->BaseModule.ConfigLocked = true;
    EXPECT_EQ(Run(15, 14, 4, {0x0F}), 1);
    EXPECT_EQ(lines, Lines{"Adress 14Access to Config Bits DENIED. Corvane is LOCKED"});
    EXPECT_EQ(Run(15, 46, 4, {0x0F}), 1);
    EXPECT_EQ(lines, Lines{"Adress 46Access to Config Bits DENIED. Corvane is LOCKED"});
    EXPECT_TRUE(pwm8->calls.empty());
    EXPECT_TRUE(rel1->calls.empty());

    manager->BaseModule.ConfigLocked = false;
    EXPECT_EQ(Run(15, 46, 4, {0x0F}), 0);
    EXPECT_EQ(pwm8->calls, (Calls{{"set_OutputBit", 2, 1}, {"set_OutputBit", 3, 1}}));
    EXPECT_EQ(rel1->calls, (Calls{{"set_OutputBit", 0, 1}, {"set_OutputBit", 1, 1}}));

    manager->Modules[9] = nullptr;
    const size_t rel2Calls = rel2->calls.size();
    EXPECT_EQ(Run(15, 48, 16, {0xFF, 0xFF}), 1);
    EXPECT_EQ(lines, Lines{"Adress 48Writing to unconnected Module REL1"});
    EXPECT_EQ(rel2->calls.size(), rel2Calls);
}

TEST_F(DispatchTest, UnservedFunctionsAndRangesTouchNothing) {
    FakeModule* pwm1 = Fit(1);
    std::vector<uint8_t> bits(mapping->tab_bits, mapping->tab_bits + 80);
    std::vector<uint16_t> registers(mapping->tab_registers, mapping->tab_registers + 158);
    for (uint8_t function : {0, 7, 8, 17, 43, 255}) {
        EXPECT_EQ(Run(function, 16, 1, {0xFF00}, 2), -1) << int(function);
    }
    EXPECT_EQ(Run(3, 150, 9), 2);
    EXPECT_EQ(Run(1, 79, 2), 2);
    EXPECT_EQ(Run(5, 80, 0, {0xFF00}), 2);
    EXPECT_EQ(Run(6, 158, 0, {1}), 2);
    EXPECT_EQ(Run(15, 75, 6, {0xFF}), 2);
    EXPECT_EQ(Run(16, 0, 126, {5281}), 3);
    EXPECT_EQ(Run(1, 80, 0), 0);
    EXPECT_TRUE(pwm1->calls.empty());
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(bits, std::vector<uint8_t>(mapping->tab_bits, mapping->tab_bits + 80));
    EXPECT_EQ(registers,
              std::vector<uint16_t>(mapping->tab_registers, mapping->tab_registers + 158));
}

TEST_F(DispatchTest, ScanWithoutExtensionModules) {
    ASSERT_TRUE(testsupport::EnsureJournald());
    manager->BaseModule.set_ModuleConnectionStatus(1, 1, 1, 1);
    board().ClearLog();
    std::string mark = testsupport::JournalMark();
    testing::internal::CaptureStdout();
    EXPECT_EQ(manager->ScanModules(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[MM] No Modules Connected\n");

    Lines messages;
    for (const auto& r : testsupport::JournalSince(mark, "No Modules Connected")) {
        if (r.message.find("[MM]") != std::string::npos) messages.push_back(r.message);
    }
    EXPECT_EQ(messages, (Lines{" I |  [MM] Scanning for Modules:", " I |  [MM] GRUND Module 1",
                               " I |  [MM] No Modules Connected"}));
    for (unsigned short mask : manager->BaseModule.PresenceMask) EXPECT_EQ(mask, 0);
    EXPECT_EQ(manager->ModuleCount, 0);
    EXPECT_EQ(manager->BaseModule.Get_LED(2), LED_SLOW_BLINK);

    std::vector<std::string> bus;
    for (const auto& t : board().Log()) {
        if (t.path == "/dev/i2c-1") bus.push_back(sim::OpName(t.op) + std::to_string(t.fd));
    }
    ASSERT_GT(manager->I2cHandle, 0);
    const std::string fd = std::to_string(manager->I2cHandle);
    EXPECT_EQ(bus, (std::vector<std::string>{std::string(sim::OpName(sim::Op::Open)) + fd,
                                             std::string(sim::OpName(sim::Op::Close)) + fd}));

    sim::BoardConfig noBus;
    noBus.i2c_bus = false;
    board().Reset(noBus);
    manager->Set_LED_State(2, LED_OFF);
    mark = testsupport::JournalMark();
    testing::internal::CaptureStdout();
    EXPECT_EQ(manager->ScanModules(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    int found = 0;
    for (const auto& r : testsupport::JournalSince(mark, "Not Able to Open")) {
        found += r.priority == 3 && r.message.rfind(" E |  [MM] Not Able to Open I2C Bus", 0) == 0;
        EXPECT_EQ(r.message.find("GRUND Module"), std::string::npos);
    }
    EXPECT_EQ(found, 1);
    EXPECT_EQ(manager->BaseModule.Get_LED(2), LED_OFF);
}

TEST(ModuleTable, Lifecycle) {
    board().Reset(sim::BoardConfig{});
    board().SetTimeScale(0.01);
    CorvaneLogger logger(7, false);
    auto kept = std::make_unique<FakeModule>(&logger, "FAKE", 1);
    auto manager = std::make_unique<Module_Manager>(&logger);

    EXPECT_EQ(manager->CheckModule(0), -1);
    EXPECT_EQ(manager->Init(), 0);
    EXPECT_EQ(manager->CheckModule(0), 0);
    EXPECT_EQ(manager->Modules[0], &manager->BaseModule);
    EXPECT_EQ(manager->BaseModule.Logger, &logger);
    EXPECT_TRUE(manager->BaseModule.BlinkerRunning);

    bool destroyed = false;
    auto* absent = new FakeModule(&logger, "FAKE", 3);
    absent->connectionResult = -1;
    absent->destroyed = &destroyed;
    manager->Modules[3] = absent;
    EXPECT_EQ(manager->TryModule(3), -1);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(manager->CheckModule(3), -1);
    EXPECT_EQ(manager->ModuleCount, 0);

    manager->Modules[1] = kept.get();
    EXPECT_EQ(manager->TryModule(1), 0);
    EXPECT_EQ(manager->ModuleCount, 1);
    EXPECT_EQ(kept->initCount, 1);
    EXPECT_EQ(manager->PwmPresent, 0) << "TryModule leaves the masks to the scan";

    EXPECT_EQ(manager->Set_LED_State(2, LED_ON), 0);
    EXPECT_EQ(board().Level(498), 1);

    EXPECT_EQ(manager->StopAllThreads(), 0);
    EXPECT_FALSE(manager->BaseModule.BlinkerRunning);
    EXPECT_EQ(kept->stopCount, 1);
    manager.reset();
    EXPECT_EQ(kept->stopCount, 2);
    EXPECT_EQ(kept->initCount, 1);
}

}  // namespace
