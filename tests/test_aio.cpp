// The analog I/O driver against the front-end model, and its part of the scan.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "aio.h"
#include "aio_frontend.h"
#include "driver_test.h"
#include "modbus_server.h"
#include "models.h"
#include "module_manager.h"

namespace {

using namespace testsupport;
using A = Aio_Module;
sim::Board& board = sim::Board::Get();

sim::BoardConfig Analog(V fitted) {
    sim::BoardConfig config;
    config.analog = std::move(fitted);
    return config;
}

class AioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fe = std::dynamic_pointer_cast<sim::AioFrontend>(board.SpiDeviceAt(0));
        ASSERT_TRUE(fe);
        ASSERT_EQ(aio.ConnectionTest(), 0);
    }
    // The register writes from frame `from` on, "16=0 1=3 ..." in hex; with
    // `all` every frame, CRC included: "41=146/2d ...".
    std::string Writes(size_t from, bool all = false) {
        std::string text;
        const auto frames = fe->Frames();
        for (size_t i = from; i < frames.size(); ++i) {
            const auto& in = frames[i].in;
            if (!all && (in[0] == 0x41 || in[0] == 0x00)) continue;
            char item[24];
            std::snprintf(item, sizeof item, all ? "%x=%x/%x " : "%x=%x ", in[0],
                          in[1] << 8 | in[2], in[3]);
            text += item;
        }
        return text;
    }
    // Four model registers from `first` on (function registers 1, LED pins 0x0E).
    V Regs(uint8_t first) {
        V values;
        for (int i = 0; i < 4; ++i) values.push_back(fe->Register(static_cast<uint8_t>(first + i)));
        return values;
    }
    BoardScope scope{Analog({1, 2})};
    CorvaneLogger logger{7, true};
    Aio_Module aio{0, &logger};
    std::shared_ptr<sim::AioFrontend> fe;
};

TEST_F(AioTest, FramesCrcAndAnswerFaults) {
    aio.WriteReg(0x02, 0x0003);
    aio.AIO_ResetAlert(0xFFFF);
    // The probe's select 41 01 46, the write 02 00 03, the reset 2e ff ff.
    EXPECT_EQ(Writes(0, true), "41=146/2d 0=0/0 2=3/df 2e=ffff/4b ");
    fe->FailAnswers(1, sim::AioFrontend::AnswerFault::Floating);  // four 0xFF bytes
    EXPECT_EQ(Got(aio, &A::ReadReg, 0x02), R(-1, 77));
    fe->FailAnswers(1, sim::AioFrontend::AnswerFault::WrongCrc);
    EXPECT_EQ(Got(aio, &A::ReadReg, 0x02), R(-1, 77));
    board.FailDevice("spi:0", 1);
    EXPECT_EQ(Got(aio, &A::ReadReg, 0x02), R(-1, 77));
    EXPECT_EQ(Got(aio, &A::ReadReg, 0x02), R(0, 3));
    EXPECT_EQ(Aio_Module(2, &logger).ConnectionTest(), -1) << "no device 2";
    // A probe that finds nothing puts the device's mode back, whether the
    // word size was refused after the mode was set, or the identification read failed.
    board.FailDevice("spi:1", 1);
    for (int bits : {16, 8}) {
        Aio_Module probe(1, &logger);
        probe.Spi.BitsPerWord = bits;
        uint32_t mode = 9;
        EXPECT_EQ(V({probe.ConnectionTest(), SpiGetMode(1, &mode), int(mode)}), V({-1, 0, 0}));
    }
}

TEST_F(AioTest, SetFuncWritesAllChannelsAndNeverWritesBackAnUnreadSetup) {
    for (uint8_t r = 0x05; r <= 0x08; ++r) aio.WriteReg(r, 0x0019);
    const uint8_t functions[4] = {1, 2, 7, 8};
    for (int c = 0; c < 4; ++c) aio.Function[c] = functions[c];
    size_t mark = fe->Frames().size();
    board.ClearLog();
    EXPECT_EQ(aio.SetFunc(), 0);
    EXPECT_EQ(Steps(IsSleep), "z250 z150 z150 z150 z150") << "clearing, then each channel settles";
    const std::string channels1To2 = "16=0 1=0 17=0 2=0 18=0 3=0 19=0 4=0 4=1 1=3 ";
    EXPECT_EQ(Writes(mark), channels1To2 + "5=9 3=6 7=9 2=7 6=1d ");
    EXPECT_EQ(V(aio.Range4to20, aio.Range4to20 + 4), V(4, 0));
    // The setup read of channel 2 fails: nothing written back, the rest stays off.
    fe->FailAnswers(1, sim::AioFrontend::AnswerFault::WrongCrc);
    mark = fe->Frames().size();
    EXPECT_EQ(Echoed([&] { return aio.SetFunc(); }),
              "4 AIO1 Module Communication Fault (Channel 2)");
    EXPECT_EQ(Writes(mark), channels1To2);
}

TEST_F(AioTest, AlertsAreReportedMarkedAndShownForTenCycles) {
    fe->SetAlert(0x0C01);
    fe->SetAlert(0);  // raised and gone: latched until cleared
    aio.LastAdcChannel = 1;
    EXPECT_EQ(Echoed([&] { return aio.Get_AlertRegister(); }),
              "0 AIO1 Module Malfunction (Alert Status Register: 0xc01)\n"
              "Set ADC ALERT on Channel B \nSet Channel Alert 0 on Channel C ");
    EXPECT_EQ(V(aio.AlertCountdown, aio.AlertCountdown + 4), V({0, 10, 10, 0}));
    EXPECT_EQ(V({fe->Register(0x2E), aio.AlertStatus}), V({0, 0}));
    // Channels 2 and 3 have LED pins 3 and 1.
    for (int cycle = 1; cycle <= 11; ++cycle) {
        aio.Thread_Job();
        const int shown = cycle <= 10 ? 0x0001 : 0x0004;
        EXPECT_EQ(Regs(0x0E), V({0x0004, shown, 0x0004, shown})) << cycle;
    }
    // No input channel: a cycle polls the alerts all the same (bit 3 marks
    // channel 1, LED pin 2).
    fe->SetAlert(0x0008);
    Echoed([&] { return aio.Thread_Job(); });
    EXPECT_EQ(Regs(0x0E), V({0x0004, 0x0004, 0x0001, 0x0004}));
    board.FailDevice("spi:0", 1);
    EXPECT_EQ(Echoed([&] { return aio.Get_AlertRegister(); }),
              "-1 AIO1 Module Communication Fault (Could not Read Alert Status Register)");
}

TEST_F(AioTest, OutputsAndTheirReadBack) {
    // Voltage, current, 4-20 mA current output; channel 4 off.
    ASSERT_EQ(aio.set_OutputRegister(0, 0x0531), 0);
    EXPECT_EQ(Got(aio, &A::get_OutputRegister, 3), R(0, 0xFF07)) << "4-20 mA, DAC 0";
    // Holding register written, value, result, DAC code of its channel; a
    // holding register read back and its value.
    const int rows[][6] = {{5, 10000, 0, 7446, 5, 10000},
                           {5, 10000, 0, 7446, 1, 1000},
                           {5, 1, 0, 1, 1, 0},
                           {1, 500, 0, 3723, 5, 5000},
                           {1, 1001, 3, 3723, 1, 500},
                           {10, 4000, 0, 1311, 2, 200},
                           {10, 20000, 0, 6553, 10, 20001},
                           {3, 0, 0, 1311, 11, 4001},
                           {11, 20000, 0, 6553, 3, 1000},
                           {11, 3999, 3, 6553, 3, 1000},
                           {7, 5000, 1, 6553, 7, 0x8000},
                           {4, 100, 1, 0, 12, 0x8000}};
    for (const auto& [index, value, result, dac, read, back] : rows) {
        const auto ch = static_cast<unsigned char>((index - 1) % 4);
        EXPECT_EQ(aio.set_OutputRegister(static_cast<unsigned char>(index),
                                         static_cast<unsigned short>(value)),
                  result)
            << index;
        EXPECT_EQ(fe->Register(static_cast<uint8_t>(0x16 + A::ChannelMap[ch])), dac)
            << index << "=" << value;
        EXPECT_EQ(Got(aio, &A::get_OutputRegister, read).second, back) << index << "=" << value;
    }
    ASSERT_EQ(aio.set_OutputRegister(3, 0), 0);
    EXPECT_TRUE(aio.Active[2]) << "level 0 on 4-20 mA drives 4 mA";
    EXPECT_EQ(Echoed([&] { return aio.Set_V(1, 10001); }), "3 AIO1 Illegal data value (Channel 2)");
    EXPECT_EQ(Echoed([&] { return aio.Set_I(0, 100); }),
              "1 AIO1 Illegal function Writing Current to Channel 1(current Function: 1)");
}

TEST_F(AioTest, MeasurementsAndTheConversionTimeout) {
    // {function, channel, ADC code, input register, value, result}
    const int rows[][6] = {
        {2, 1, 65535, 10, 10000, 0}, {2, 3, 32768, 12, 5000, 0},   {4, 0, 13107, 13, 5000, 0},
        {7, 2, 21141, 7, 0, 0},      {7, 2, 26000, 7, 989, 0},     {7, 0, 20000, 5, 0xFF3A, 0},
        {7, 1, 18000, 6, 0x8000, 0}, {7, 3, 65535, 8, 0x8000, -1}, {6, 2, 7865, 3, 0xFFC2, 0},
        {6, 1, 10460, 2, 0, 0},      {2, 0, 65535, 1, 1000, 0}};
    for (const auto& [function, ch, code, index, value, result] : rows) {
        ASSERT_EQ(aio.set_OutputRegister(0, static_cast<unsigned short>(function << (4 * ch))), 0);
        fe->SetAdc(ch, static_cast<uint16_t>(code));
        EXPECT_EQ(Got(aio, &A::get_InputRegister, index), R(result, value))
            << function << " on " << ch << ": " << code;
    }
    EXPECT_EQ(Echoed([&] { return aio.get_InputRegister(10, nullptr); }),
              "1 AIO1 Illegal function (Measuring Voltage on Channel 2, current Function: 0)");
    ASSERT_EQ(aio.set_OutputRegister(0, 0x0080), 0);  // channel 2 digital
    for (int level : {1, 0}) {
        fe->SetDin(1, level);
        EXPECT_EQ(Got(aio, &A::get_InputBit, 1), R(0, level));
    }
    EXPECT_EQ(Echoed([&] { return Got(aio, &A::get_InputBit, 0).first; }), "1") << "not digital";
    ASSERT_EQ(aio.set_OutputRegister(0, 0x0002), 0);
    fe->HangConversions(true);
    board.ClearLog();
    EXPECT_EQ(Got(aio, &A::get_InputRegister, 9), R(-1, 77));
    std::string waits = "z10";
    for (int i = 1; i < 1001; ++i) waits += " z10";
    EXPECT_EQ(Steps(IsSleep), waits) << "10 us after each of 1001 status reads";
}

TEST_F(AioTest, FunctionWordAndChannelsWithoutAFunction) {
    ASSERT_EQ(aio.set_OutputRegister(0, 0x8421), 0);
    EXPECT_EQ(Regs(1), V({3, 7, 4, 1}));
    const size_t frames = fe->Frames().size();
    EXPECT_EQ(Echoed([&] { return aio.set_OutputRegister(6, 1000); }), "1 AIO1 Illegal function");
    EXPECT_EQ(Echoed([&] { return aio.set_OutputRegister(0, 0x0009); }),
              "3 AIO1 Illegal data value");
    EXPECT_EQ(V(aio.Function, aio.Function + 4), V(4, 0));
    EXPECT_EQ(fe->Frames().size(), frames) << "nothing sent";
    EXPECT_EQ(Got(aio, &A::get_OutputRegister, 0), R(0, 0x8421)) << "from the device";
    EXPECT_EQ(V(aio.Function, aio.Function + 4), V({1, 2, 4, 8}));
    EXPECT_EQ(Echoed([&] { return aio.get_InputBit(4, nullptr); }), "1 AIO1 Illegal function");
    EXPECT_EQ(Echoed([&] { return aio.get_OutputRegister(13, nullptr); }),
              "1 AIO1 Illegal function");
}

// A function word whose frames fail anywhere, up to four in a row, leaves
// the functions and setpoints as they were.
TEST_F(AioTest, FunctionWordUnderTransferFaults) {
    const auto reset = [&] { return aio.set_OutputRegister(0, 0x8421) + aio.Set_V(0, 5000); };
    const auto device = [&] {
        V state = Regs(1);
        for (int setpoint : Regs(0x16)) state.push_back(setpoint);
        return state;
    };
    ASSERT_EQ(reset(), 0);
    const V before = device();
    const size_t frames = fe->Frames().size();
    ASSERT_EQ(aio.set_OutputRegister(0, 0x0013), 0);
    const size_t transfers = fe->Frames().size() - frames;
    for (size_t after = 0; after < transfers; ++after) {
        for (int faults : {1, 4}) {
            ASSERT_EQ(reset(), 0);
            board.FailDevice("spi:0", faults, static_cast<int>(after));
            EXPECT_EQ(Echoed([&] { return aio.set_OutputRegister(0, 0x0013); })[0], '-');
            unsigned short drain = 0;
            for (int i = 0; i < 4; ++i) aio.ReadReg(0x01, &drain);
            EXPECT_EQ(device(), before) << after << " " << faults;
        }
    }
}

TEST_F(AioTest, StopThreadsLeavesEveryChannelOffWithZeroSetpointsAndDarkLeds) {
    board.SetTimeScale(0.001);
    ASSERT_EQ(aio.init(), 0);
    ASSERT_EQ(aio.set_OutputRegister(0, 0x3131), 0);
    for (unsigned char index : std::initializer_list<unsigned char>{5, 7})
        ASSERT_EQ(aio.set_OutputRegister(index, 5000), 0);
    for (unsigned char index : std::initializer_list<unsigned char>{10, 12})
        ASSERT_EQ(aio.set_OutputRegister(index, 1000), 0);
    for (int i = 0;
         i < 200 && sim::ShowAnalogModule(board, 0)[3].find("led on") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(sim::ShowAnalogModule(board, 0)[3].find("led on"), std::string::npos);
    EXPECT_EQ(aio.StopThreads(), 0);
    EXPECT_TRUE(std::regex_match(Steps([](auto& t) { return IsSleep(t) && t.argument > 1000; }),
                                 std::regex("z500000( z500000)*")))
        << "a cycle every 500 ms";
    EXPECT_EQ(Regs(1), V(4, 0));
    EXPECT_EQ(Regs(0x0E), V(4, 0x0004));
    const size_t frames = fe->Frames().size();
    EXPECT_EQ(aio.StopThreads(), 0);
    EXPECT_EQ(fe->Frames().size(), frames) << "a second stop sends nothing";
    for (int d = 0; d < 4; ++d)
        EXPECT_EQ(fe->Register(static_cast<uint8_t>(0x16 + d)) +
                      fe->Register(static_cast<uint8_t>(0x1E + d)),
                  0)
            << d;
}

TEST_F(AioTest, MonitorAndModbusShareTheFrontEndWithoutInterleavedReads) {
    ASSERT_EQ(aio.init(), 0);                         // cycles back to back: time scale 0
    ASSERT_EQ(aio.set_OutputRegister(0, 0x8172), 0);  // V in, temperature, V out, digital
    int failures = 0;
    for (int i = 0; i < 300; ++i) {
        unsigned short value = 0;
        bool bit = false;
        // The board's live setters run beside the monitor too.
        sim::SetAnalogAdc(board, 0, 0, static_cast<uint16_t>(i * 97));
        sim::SetAnalogDin(board, 0, 3, i & 1);
        failures += !sim::SetAnalogAlert(board, 0, 0) + sim::ShowAnalogModule(board, 0).empty();
        failures += aio.set_OutputRegister(7, static_cast<unsigned short>(i * 10)) != 0;
        failures += aio.get_InputRegister(0, &value) != 0;  // unlocked, as the output writes
        failures += aio.get_OutputRegister(7, &value) != 0;
        failures += aio.get_InputRegister(9, &value) != 0;
        failures += aio.get_InputBit(3, &bit) != 0;
    }
    EXPECT_EQ(aio.StopThreads(), 0);
    EXPECT_EQ(failures, 0);
    const auto frames = fe->Frames();
    int interleaved = 0;
    for (size_t i = 0; i + 1 < frames.size(); ++i)
        interleaved += (frames[i].in[0] == 0x41) != (frames[i + 1].in[0] == 0x00);
    EXPECT_EQ(interleaved, 0) << "a read select not answered by the very next frame";
}

// Analog positions of the scan (the SPI conflict with a temperature module is
// seen end to end). A failed transfer reaches a writing client as -1
// (exception 4); a read gives the missing value.
TEST(AioScan, ModulesFoundAndAFailedTransferRefusedToTheClient) {
    BoardScope scope(Analog({2, 4, 7}), 0.001);
    CorvaneLogger logger{7, true};
    Module_Manager manager{&logger};
    manager.Init();
    manager.TmpPresent = 0b100;  // TMP3 on SPI devices 4 and 5, clear of them
    const std::string out = Echoed([&] { return manager.ScanModules(); });
    EXPECT_EQ(out.substr(0, 2), "0 ");
    EXPECT_NE(out.find("[MM] GRUND Module 1\n"), std::string::npos) << out;
    EXPECT_EQ(V({manager.AioPresent, manager.ModuleCount}), V({0b1001010, 3}));
    manager.StopAllThreads();
    std::unique_ptr<modbus_mapping_t, void (*)(modbus_mapping_t*)> mapping{
        modbus_mapping_new(80, 44, 158, 198), modbus_mapping_free};
    ASSERT_EQ(manager.Modules[17]->set_OutputRegister(0, 0x0001), 0);
    modbus_request write{0, 6, 106, 1, 0, {5000}}, read{0, 3, 106, 1, 0, {}};
    board.FailDevice("spi:1", 1);
    EXPECT_EQ(manager.RequestHandler(mapping.get(), &write), -1);
    board.FailDevice("spi:1", 1);
    EXPECT_EQ(manager.RequestHandler(mapping.get(), &read), 0);
    EXPECT_EQ(mapping->tab_registers[106], 0x8000);
    for (int nr = 16; nr <= 22; ++nr) delete std::exchange(manager.Modules[nr], nullptr);
}

}  // namespace
