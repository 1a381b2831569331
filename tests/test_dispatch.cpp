// Request dispatch, the module table and the scan, with the real base module.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "driver_test.h"
#include "fake_module.h"
#include "journal.h"
#include "modbus_server.h"
#include "module_manager.h"

namespace {

using namespace testsupport;

sim::Board& board = sim::Board::Get();
const std::string kLockedBits = "Access to Config Bits DENIED. Corvane is LOCKED";
const std::string kLockedRegister = " Access to Config Register DENIED. Corvane is LOCKED";
const std::string kFailed = "Problem writing to Module Nr ";
const std::string kResetting = " Module Communication Fault\n[MM] Resetting to Prerequest Values";

template <typename T>
V Slice(const T* table, int from, int count) {
    return V(table + from, table + from + count);
}

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetBoard({}, 0.01);
        manager.Init();
        for (FakeModule* m : {&pwm1, &pwm7, &pwm8, &rel1, &rel2})
            manager.Modules[m->ModuleNumber] = m;
    }
    std::string Run(uint8_t function, uint16_t start, uint16_t count,
                    std::vector<uint16_t> values = {}, int byteCount = -1) {
        modbus_request request{0, function, start, count, 0, {}};
        request.byteCount = static_cast<uint8_t>(byteCount >= 0 ? byteCount : values.size());
        std::copy(values.begin(), values.end(), request.values);
        return Echoed([&] { return manager.RequestHandler(mapping.get(), &request); });
    }

    CorvaneLogger logger{7, false};
    // Fitted in entries 1, 7, 8, 9, 10; they outlive the manager, which stops them.
    FakeModule pwm1{&logger, 1}, pwm7{&logger, 7}, pwm8{&logger, 8}, rel1{&logger, 9},
        rel2{&logger, 10};
    Module_Manager manager{&logger};
    Grundmodul& base = manager.BaseModule;
    std::unique_ptr<modbus_mapping_t, void (*)(modbus_mapping_t*)> mapping{
        modbus_mapping_new(80, 44, 158, 198), modbus_mapping_free};
    uint16_t* holding = mapping->tab_registers;
    uint8_t* coils = mapping->tab_bits;
};

TEST_F(DispatchTest, Reads) {
    base.set_OutputRegister(1, 0x12);  // LED 0 blinking, LED 1 on
    std::fill(holding, holding + 4, 7);
    EXPECT_EQ(Run(3, 0, 4), "0");
    EXPECT_EQ(Slice(holding, 0, 4), (V{0x8000, 0x23, 0x8000, 0x8000}));  // the lock reads nothing
    EXPECT_EQ(Run(2, 8, 2), "1") << "input 9 is reserved: the driver's 1 is passed on";
    coils[20] = 5;
    EXPECT_EQ(Run(1, 20, 4), "1") << "PWM2 absent";
    EXPECT_EQ(coils[20], 5);

    pwm1.values[0] = 4242;
    pwm1.failChannel = 1;
    EXPECT_EQ(Run(4, 16, 3), "0");
    EXPECT_EQ(Slice(mapping->tab_input_registers, 16, 3), (V{4242, 0x8000, 0x8000}));
    EXPECT_EQ(Run(3, 38, 1), "0");
    EXPECT_EQ(holding[38], 0x8000) << "a failed register read gives no value";
    EXPECT_EQ(pwm1.calls, "ir0? r1?");
    rel1.values[0] = 1;
    rel1.failChannel = 2;
    std::fill(coils + 48, coils + 52, 9);
    EXPECT_EQ(Run(1, 48, 4), "4") << "a failed bit read ends the request";
    EXPECT_EQ(Slice(coils, 48, 4), (V{1, 0, 9, 9}));
}

// The lock refuses configuration entries to single and multiple writes; in
// an FC 16, register 0 locks or unlocks for the rest of the request.
TEST_F(DispatchTest, WritesUnderTheLock) {
    EXPECT_EQ(Run(6, 0, 0, {6914}), "0");
    EXPECT_EQ(Run(5, 16, 0, {0xFF00}), "1 Adress 16" + kLockedBits);
    EXPECT_EQ(Run(6, 30, 0, {200}), "1 Adress 40031" + kLockedRegister);
    EXPECT_EQ(Run(16, 36, 4, {1, 2, 3, 4}), "1 Adress 40037" + kLockedRegister);
    EXPECT_EQ(Run(16, 0, 2, {5281, 0x12}), "0");
    EXPECT_EQ(V({base.ConfigLocked, base.Get_LED(0), base.Get_LED(1)}),
              V({false, LED_FAST_BLINK, LED_ON}));
    EXPECT_EQ(Run(16, 0, 2, {6914, 0x00}), "1 Adress 40002" + kLockedRegister);
    EXPECT_EQ(V({base.ConfigLocked, base.Get_LED(1), holding[0], holding[1]}),
              V({true, LED_ON, 6914, 0x12}));
    EXPECT_EQ(Run(16, 38, 4, {1, 2, 3, 4}), "0");
    EXPECT_EQ(Slice(holding, 38, 4), (V{1, 2, 3, 4}));
    EXPECT_EQ(Run(6, 0, 0, {5281}), "0") << "the lock register stays writable";
    EXPECT_FALSE(base.ConfigLocked);
    // Writes to a module that is not fitted, or that fails.
    EXPECT_EQ(Run(5, 20, 0, {0xFF00}), "1 Writing to unconnected Module PWM2 @Register: 20");
    EXPECT_EQ(Run(6, 42, 0, {1}),
              "1 Adress 40043 Writing to unconnected Module PWM2 @Register: 42");
    EXPECT_EQ(Run(16, 60, 4, {9, 9, 9, 9}), "1 Adress 40061: Writing to unconnected Module PWM6");
    rel1.failChannel = 1;
    EXPECT_EQ(Run(5, 49, 0, {0xFF00}), "4 " + kFailed + "9 Module Communication Fault");
    EXPECT_EQ(coils[49], 0);
}

// A failed multiple write puts back what the outputs held, read from them
// rather than from the mapping, trying each a few times; what it cannot put
// back is reported and reads as missing until written.
TEST_F(DispatchTest, MultipleRegisterWritesRollBack) {
    ASSERT_TRUE(EnsureJournald());
    std::copy_n(V{11, 12, 13, 14}.begin(), 4, pwm1.values + 1);
    const auto attempt = [&](int failCalls) {
        std::fill(holding + 38, holding + 42, 7);
        pwm1.calls.clear();
        pwm1.failCall = 5;  // the third write, "r3=23"
        pwm1.failCalls = failCalls;
        const std::string result = Run(16, 38, 4, {21, 22, 23, 24}) + " | " + pwm1.calls;
        pwm1.failCall = -1;
        return result;
    };
    const std::string failed = "1 " + kFailed + "1" + kResetting;
    const std::string written = " | r1? r1=21 r2? r2=22 r3? r3=23";
    EXPECT_EQ(attempt(1), failed + written + " r1=11 r2=12");
    EXPECT_EQ(Slice(holding, 38, 4), (V{11, 12, 7, 7}));
    EXPECT_EQ(attempt(3), failed + written + " r1=11 r1=11 r1=11 r2=12");

    const std::string undefined =
        "Values could not be Reset. System in undefined state !!! Error Occured on Module1 "
        "Module Communication Fault";
    const std::string notReset =
        "[MM] Not reset, read as missing until written: FAKE1 register 38, FAKE1 register 39";
    const std::string mark = JournalMark();
    EXPECT_EQ(attempt(99), failed + "\n" + undefined + "\n" + undefined + "\n" + notReset +
                               written +
                               " r1=11 r1=11 r1=11 r1=11 r1=11 r2=12 r2=12 r2=12 r2=12 r2=12");
    EXPECT_EQ(JournalLines(mark, 3, "[MM] Not reset"), Lines{" E |  " + notReset});
    pwm1.calls.clear();
    EXPECT_EQ(Run(3, 38, 4), "0");
    EXPECT_EQ(Slice(holding, 38, 4), (V{0x8000, 0x8000, 13, 14}));
    EXPECT_EQ(Run(6, 38, 0, {5}), "0");
    EXPECT_EQ(Run(3, 38, 1), "0");
    EXPECT_EQ(holding[38], 5);
    EXPECT_EQ(pwm1.calls, "r3? r4? r1=5 r1?") << "missing outputs are not read";
}

TEST_F(DispatchTest, MultipleCoilWrites) {
    EXPECT_EQ(Run(15, 48, 10, {0x05, 0x02}), "0");
    EXPECT_EQ(Slice(coils, 48, 10), (V{1, 0, 1, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(rel1.calls + " | " + rel2.calls,
              "b0? b0=1 b1? b1=0 b2? b2=1 b3? b3=0 b4? b4=0 b5? b5=0 b6? b6=0 b7? b7=0 | b0? b0=0 "
              "b1? b1=1");
    // Coils beyond the data bytes are off, whatever an earlier request left.
    EXPECT_EQ(Run(15, 48, 16, {0xFF, 0xFF}, 1), "0");
    EXPECT_EQ(Slice(coils, 48, 16), (V{1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}));

    rel1.calls.clear();
    rel1.failChannel = 2;
    EXPECT_EQ(Run(15, 48, 4, {0x00}), "1 " + kFailed + "9" + kResetting);
    EXPECT_EQ(rel1.calls, "b0? b0=0 b1? b1=0 b2? b2? b2? b2? b2? b0=1 b1=1");
    EXPECT_EQ(Slice(coils, 48, 4), V(4, 1));

    rel1.calls.clear();
    rel1.failChannel = -1;
    base.ConfigLocked = true;
    EXPECT_EQ(Run(15, 46, 4, {0x0F}), "1 Adress 46" + kLockedBits);
    base.ConfigLocked = false;
    EXPECT_EQ(Run(15, 46, 4, {0x0F}), "0");
    EXPECT_EQ(pwm8.calls + " | " + rel1.calls, "b2? b2=1 b3? b3=1 | b0? b0=1 b1? b1=1");
    manager.Modules[9] = nullptr;
    EXPECT_EQ(Run(15, 48, 16, {0xFF, 0xFF}), "1 Adress 48Writing to unconnected Module REL1");
}

// A driver's failure code passes through single writes and becomes 1 in
// multiple ones; a module that has not started answers 4 to every write
// (its reads and the retried init: I2c.ModuleWhoseInitFailed).
TEST_F(DispatchTest, ExceptionCodes) {
    // {function, start, count, code REL1 channel 1 fails with, REL1 not started, result}
    const std::tuple<uint8_t, uint16_t, uint16_t, int, bool, int> cases[] = {
        {5, 49, 0, 4, false, 4},  {6, 70, 0, 4, false, 4},  {6, 70, 0, 3, false, 3},
        {15, 48, 2, 4, false, 1}, {16, 70, 2, 4, false, 1}, {16, 70, 2, 3, false, 1},
        {5, 49, 0, 0, true, 4},   {15, 48, 2, 0, true, 4}};
    for (const auto& [function, start, count, code, stopped, result] : cases) {
        rel1.failChannel = code != 0 ? 1 : -1;
        rel1.failCode = code;
        rel1.initResult = stopped ? -1 : 0;
        manager.InitFailed[9] = stopped;
        rel1.calls.clear();
        // 0xFF03: on for a single coil, coils 48 and 49 on for a multiple write.
        const std::string answer = Run(function, start, count, {0xFF03, 1});
        EXPECT_EQ(std::stoi(answer), result) << int(function) << " " << answer;
        EXPECT_TRUE(!stopped || rel1.calls == "init") << "tried once, nothing else called";
    }
}

TEST_F(DispatchTest, ScanWithoutExtensionModules) {
    std::fill(manager.Modules + 1, manager.Modules + MM_MODULE_SLOTS, nullptr);
    base.set_ModuleConnectionStatus(1, 1, 1, 1);
    const int descriptors = board.OpenDescriptors();
    EXPECT_EQ(Echoed([&] { return manager.ScanModules(); }), "0 [MM] No Modules Connected");
    EXPECT_EQ(Slice(base.PresenceMask, 0, 4), V(4, 0));  // were 1
    EXPECT_EQ(V({manager.ModuleCount, base.Get_LED(2)}), V({0, LED_SLOW_BLINK}));
    EXPECT_GT(manager.I2cHandle, 0);
    EXPECT_EQ(board.OpenDescriptors(), descriptors) << "the bus is closed again";
}

}  // namespace
