// The request decoder on raw Modbus TCP frames: range checks against the
// four tables, the traces on standard output, and frames whose header
// announces more than the record or the frame holds. Each frame sits at the
// end of a heap block of exactly its length and the record is followed by a
// guard, so a read past the frame (AddressSanitizer build) or a write past
// the record (every build) is caught.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "modbus_server.h"

namespace {

using Bytes = std::vector<uint8_t>;

// MBAP header (transaction 0x1234, protocol 0, length, unit) and the PDU.
Bytes Frame(const Bytes& pdu, uint8_t unit = 1) {
    Bytes f = {0x12, 0x34, 0x00, 0x00};
    const size_t length = pdu.size() + 1;
    f.push_back(static_cast<uint8_t>(length >> 8));
    f.push_back(static_cast<uint8_t>(length));
    f.push_back(unit);
    f.insert(f.end(), pdu.begin(), pdu.end());
    return f;
}

Bytes Pdu(uint8_t function, uint16_t start, uint16_t countOrValue) {
    return {function, static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start),
            static_cast<uint8_t>(countOrValue >> 8), static_cast<uint8_t>(countOrValue)};
}

Bytes WritePdu(uint8_t function, uint16_t start, uint16_t count, uint8_t byteCount,
               const Bytes& data) {
    Bytes pdu = Pdu(function, start, count);
    pdu.push_back(byteCount);
    pdu.insert(pdu.end(), data.begin(), data.end());
    return pdu;
}

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

// One decoder run: the record lives in a heap block followed by a guard.
struct Decoded {
    int result = 0;
    std::string out;
    modbus_request record{};
};

class DecoderRig {
  public:
    DecoderRig() : storage(new uint8_t[sizeof(modbus_request) + kGuard]) {
        record = new (storage.get()) modbus_request;
        std::memset(storage.get(), 0, sizeof(modbus_request));
        std::memset(storage.get() + sizeof(modbus_request), kGuardByte, kGuard);
    }

    modbus_request& Record() { return *record; }

    Decoded Run(const Bytes& frame) {
        // Exactly frame.size() bytes, so the first byte beyond is outside.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[frame.size()]);
        if (!frame.empty()) std::memcpy(exact.get(), frame.data(), frame.size());
        Decoded d;
        testing::internal::CaptureStdout();
        d.result = server.DecryptRAWMessage(exact.get(), record, static_cast<int>(frame.size()));
        d.out = testing::internal::GetCapturedStdout();
        d.record = *record;
        for (size_t i = 0; i < kGuard; ++i) {
            EXPECT_EQ(storage[sizeof(modbus_request) + i], kGuardByte)
                << "write past the request record, guard byte " << i;
        }
        return d;
    }

  private:
    CorvaneLogger logger{7, false};
    Modbus_Server server{&logger, nullptr};
    std::unique_ptr<uint8_t[]> storage;
    modbus_request* record;
};

const std::string kRejection = "to many registers requestet \n";

}  // namespace

TEST(Decoder, ReadRangesAgainstTheFourTables) {
    DecoderRig decoder;
    struct Case {
        uint8_t function;
        uint16_t start, count;
        int result;
        bool line;
    };
    const Case cases[] = {
        {1, 70, 10, 0, false},
        {1, 70, 11, -1, false},
        {1, 80, 0, 0, false},
        {1, 0, 80, 0, false},
        {2, 34, 10, 0, false},
        {2, 34, 11, -1, false},
        {2, 44, 0, 0, false},
        {3, 150, 8, 0, false},
        {3, 150, 9, -1, true},
        {3, 158, 0, 0, false},
        {4, 0, 198, 0, false},
        {4, 0, 199, -1, true},
        {4, 197, 1, 0, false},
        {4, 198, 1, -1, true},
        // The sum must not wrap in 16 bits.
        {1, 0xFFFF, 0xFFFF, -1, false},
        {3, 0xFFFF, 2, -1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("FC " + std::to_string(c.function) + " " + std::to_string(c.start) + "+" +
                     std::to_string(c.count));
        Decoded d = decoder.Run(Frame(Pdu(c.function, c.start, c.count)));
        EXPECT_EQ(d.result, c.result);
        EXPECT_EQ(d.out, c.line ? kRejection : "");
        EXPECT_EQ(d.record.length, 6);
        EXPECT_EQ(d.record.function, c.function);
        EXPECT_EQ(d.record.start, c.start);
        EXPECT_EQ(d.record.count, c.count);
    }
}

TEST(Decoder, SingleWritesPrintTheValueAndKeepTheLastCount) {
    DecoderRig decoder;
    ASSERT_EQ(decoder.Run(Frame(Pdu(3, 10, 10))).result, 0);

    Decoded d = decoder.Run(Frame(Pdu(5, 79, 0xFF00)));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.out, "New Value: 65280\n");
    EXPECT_EQ(d.record.function, 5);
    EXPECT_EQ(d.record.start, 79);
    EXPECT_EQ(d.record.values[0], 0xFF00);
    EXPECT_EQ(d.record.count, 10) << "5 and 6 leave the quantity of the request before";

    d = decoder.Run(Frame(Pdu(5, 80, 0xFF00)));
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.out, kRejection);
    EXPECT_EQ(d.record.start, 80);
    EXPECT_EQ(d.record.values[0], 0xFF00) << "a rejected write stores no value";

    d = decoder.Run(Frame(Pdu(6, 157, 0xFFFF)));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.out, "New Value: 65535\n");
    EXPECT_EQ(d.record.values[0], 0xFFFF);

    d = decoder.Run(Frame(Pdu(6, 158, 0x0001)));
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.out, kRejection);
    EXPECT_EQ(d.record.values[0], 0xFFFF);
    EXPECT_EQ(d.record.count, 10);
}

TEST(Decoder, MultipleWritesTakeTheirData) {
    DecoderRig decoder;
    Decoded d = decoder.Run(Frame(WritePdu(15, 0, 10, 2, {0x55, 0x03})));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.out, "Value 0 = 0x55\nValue 1 = 0x3\n");
    EXPECT_EQ(d.record.byteCount, 2);
    EXPECT_EQ(d.record.count, 10);
    EXPECT_EQ(d.record.values[0], 0x55);
    EXPECT_EQ(d.record.values[1], 0x03);

    d = decoder.Run(Frame(WritePdu(15, 75, 6, 1, {0xFF})));
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.out, kRejection);
    EXPECT_EQ(d.record.byteCount, 2) << "a range rejection stores no byte count";

    d = decoder.Run(Frame(WritePdu(16, 100, 2, 4, {0x00, 0x01, 0x80, 0x00})));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.out, "Value 0 = 1\nValue 1 = 32768\n");
    EXPECT_EQ(d.record.byteCount, 4);
    EXPECT_EQ(d.record.values[0], 1);
    EXPECT_EQ(d.record.values[1], 32768);

    d = decoder.Run(Frame(WritePdu(16, 150, 9, 18, Bytes(18, 0))));
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.out, kRejection);

    decoder.Record().byteCount = 77;
    d = decoder.Run(Frame(WritePdu(16, 20, 0, 0, {})));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.out, "");
    EXPECT_EQ(d.record.byteCount, 0);
    EXPECT_EQ(d.record.count, 0);

    // The largest the record holds: 125 data bytes, 125 registers.
    Bytes bytes(125);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    d = decoder.Run(Frame(WritePdu(15, 0, 80, 125, bytes)));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.record.values[124], 124);
    EXPECT_NE(d.out.find("Value 124 = 0x7c\n"), std::string::npos);

    Bytes registers(250);
    registers[248] = 0x12;
    registers[249] = 0x34;
    d = decoder.Run(Frame(WritePdu(16, 0, 125, 250, registers)));
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.record.values[124], 0x1234);
    EXPECT_NE(d.out.find("Value 124 = 4660\n"), std::string::npos);
}

TEST(Decoder, OtherFunctionCodesAndUnitIdentifiers) {
    DecoderRig decoder;
    for (uint8_t function : {uint8_t{8}, uint8_t{43}, uint8_t{0}, uint8_t{22}}) {
        SCOPED_TRACE("FC " + std::to_string(function));
        Decoded d = decoder.Run(Frame(Pdu(function, 0x0102, 0x0304)));
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.out, "");
        EXPECT_EQ(d.record.function, function);
        EXPECT_EQ(d.record.start, 0x0102);
        EXPECT_EQ(d.record.count, 0x0304);
    }

    const Bytes pdus[] = {Pdu(3, 150, 9), Pdu(1, 5, 3), WritePdu(16, 100, 2, 4, {0, 1, 0x80, 0})};
    for (const auto& pdu : pdus) {
        Decoded first;
        for (uint8_t unit : {uint8_t{0}, uint8_t{1}, uint8_t{255}}) {
            SCOPED_TRACE("unit " + std::to_string(unit));
            DecoderRig fresh;
            Decoded d = fresh.Run(Frame(pdu, unit));
            if (unit == 0) {
                first = d;
                continue;
            }
            EXPECT_EQ(d.result, first.result);
            EXPECT_EQ(d.out, first.out);
            EXPECT_EQ(d.record.length, first.record.length);
            EXPECT_EQ(d.record.function, first.record.function);
            EXPECT_EQ(d.record.start, first.record.start);
            EXPECT_EQ(d.record.count, first.record.count);
            EXPECT_EQ(d.record.byteCount, first.record.byteCount);
            EXPECT_TRUE(std::equal(std::begin(d.record.values), std::end(d.record.values),
                                   std::begin(first.record.values)));
        }
    }
}

TEST(Decoder, RefusesFramesBeyondTheRecordOrTheReceivedBytes) {
    DecoderRig decoder;
    struct Case {
        const char* what;
        Bytes frame;
    };
    Bytes shortFc16 = Frame(WritePdu(16, 0, 2, 4, {0, 1, 0}));  // one data byte missing
    Bytes shortFc15 = Frame(WritePdu(15, 0, 16, 2, {0x01}));
    const Case cases[] = {
        {"FC15 byte count 126", Frame(WritePdu(15, 0, 10, 126, Bytes(126, 0xFF)))},
        {"FC15 byte count 255", Frame(WritePdu(15, 0, 80, 255, Bytes(255, 0xFF)))},
        {"FC15 data cut short", shortFc15},
        {"FC15 data missing", Frame(WritePdu(15, 0, 8, 1, {}))},
        {"FC16 quantity 126", Frame(WritePdu(16, 0, 126, 252, Bytes(252, 0)))},
        {"FC16 quantity 127, byte count 254", Frame(WritePdu(16, 0, 127, 254, Bytes(240, 0)))},
        {"FC16 byte count below twice the quantity", Frame(WritePdu(16, 0, 10, 19, Bytes(19, 0)))},
        {"FC16 byte count 0 for quantity 3", Frame(WritePdu(16, 0, 3, 0, {}))},
        {"FC16 data cut short", shortFc16},
        {"FC16 without byte count", Frame(Pdu(16, 0, 1))},
        {"FC15 without byte count", Frame(Pdu(15, 0, 1))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Decoded d = decoder.Run(c.frame);
        EXPECT_EQ(d.result, -1);
        EXPECT_EQ(d.out, kRejection);
    }

    // Frames too short for the fields their function code needs.
    const Bytes shortFrames[] = {
        {},
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x07},                    // FC 7, 8 bytes
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x2B},                    // FC 43, 8 bytes
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x0A, 0x00},  // FC 3, 11 bytes
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x05, 0x00},              // FC 5, 9 bytes
    };
    for (const auto& frame : shortFrames) {
        SCOPED_TRACE("short frame of " + std::to_string(frame.size()) + " bytes");
        Decoded d = decoder.Run(frame);
        EXPECT_EQ(d.result, -1);
        EXPECT_EQ(d.out, "");
    }
}
