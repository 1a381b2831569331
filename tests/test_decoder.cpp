// The request decoder on raw Modbus TCP frames. Each frame sits at the end of
// a heap block of exactly its length (AddressSanitizer catches a read past
// it) and the record is followed by a guard (a write past it fails anywhere).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "modbus_server.h"

namespace {

using Bytes = std::vector<uint8_t>;

// MBAP header (transaction 0x1234, length, unit 1) and the PDU: function,
// start, quantity or value, then the byte count and data when given.
Bytes Frame(uint8_t function, uint16_t start, uint16_t word, int byteCount = -1,
            const Bytes& data = {}) {
    Bytes f = {0x12, 0x34, 0, 0, 0, 0, 1, function};
    for (uint16_t w : {start, word}) f.insert(f.end(), {uint8_t(w >> 8), uint8_t(w)});
    if (byteCount >= 0) f.push_back(uint8_t(byteCount));
    f.insert(f.end(), data.begin(), data.end());
    f[4] = uint8_t((f.size() - 6) >> 8);
    f[5] = uint8_t(f.size() - 6);
    return f;
}

constexpr size_t kGuard = 64;
const std::string kRejection = "to many registers requestet \n";

struct Case {
    Bytes frame;
    int result;
    std::string out;  // exact, or the last lines when it starts with "..."
    std::vector<std::pair<int, int>> values = {};  // index, value
    int byteCount = -1, count = -1;  // count: FC 5/6 keep the quantity of the request before
};

// One record reused for the whole table, as the request loop reuses it.
// clang-format off
const std::vector<Case> kCases = {
    // Reads: coils 80, inputs 44 (silent rejection), registers 158, 198 (a line).
    {Frame(1, 70, 10), 0, ""}, {Frame(1, 70, 11), -1, ""}, {Frame(1, 80, 0), 0, ""},
    {Frame(2, 34, 10), 0, ""}, {Frame(2, 34, 11), -1, ""}, {Frame(2, 44, 0), 0, ""},
    {Frame(3, 150, 8), 0, ""}, {Frame(3, 150, 9), -1, kRejection}, {Frame(3, 158, 0), 0, ""},
    {Frame(4, 0, 198), 0, ""}, {Frame(4, 0, 199), -1, kRejection},
    // The sum must not wrap in 16 bits.
    {Frame(1, 0xFFFF, 0xFFFF), -1, ""}, {Frame(3, 0xFFFF, 2), -1, kRejection},
    // Single writes print the value, keep the quantity; a rejected one stores no value.
    {Frame(3, 10, 10), 0, ""},
    {Frame(5, 79, 0xFF00), 0, "New Value: 65280\n", {{0, 0xFF00}}, -1, 10},
    {Frame(5, 80, 0x0001), -1, kRejection, {{0, 0xFF00}}, -1, 10},
    {Frame(6, 157, 0xFFFF), 0, "New Value: 65535\n", {{0, 0xFFFF}}, -1, 10},
    {Frame(6, 158, 0x0001), -1, kRejection, {{0, 0xFFFF}}, -1, 10},
    // Multiple writes take their data; a range rejection stores no byte count.
    {Frame(15, 0, 10, 2, {0x55, 0x03}), 0, "Value 0 = 0x55\nValue 1 = 0x3\n", {{0, 0x55}, {1, 3}}, 2},
    {Frame(15, 75, 6, 1, {0xFF}), -1, kRejection, {}, 2},
    {Frame(16, 100, 2, 4, {0, 1, 0x80, 0}), 0, "Value 0 = 1\nValue 1 = 32768\n", {{0, 1}, {1, 32768}}, 4},
    {Frame(16, 150, 9, 18, Bytes(18)), -1, kRejection},
    {Frame(16, 20, 0, 0), 0, "", {}, 0},
    // The largest the record holds: 125 data bytes, 125 registers.
    {Frame(15, 0, 80, 125, Bytes(125, 0x7c)), 0, "...Value 124 = 0x7c\n", {{124, 0x7c}}, 125},
    {Frame(16, 0, 125, 250, Bytes(250, 0x12)), 0, "...Value 124 = 4626\n", {{124, 0x1212}}, 250},
    // Other function codes take start and count and pass: dispatch refuses them.
    {Frame(8, 0x0102, 0x0304), 0, ""}, {{0, 1, 0, 0, 0, 2, 1, 0x07}, 0, ""},
    // Headers announcing more than the record or the frame holds.
    {Frame(15, 0, 10, 126, Bytes(126, 0xFF)), -1, kRejection}, {Frame(16, 0, 126, 252, Bytes(252)), -1, kRejection},
    {Frame(15, 0, 16, 2, {0x01}), -1, kRejection}, {Frame(15, 0, 1), -1, kRejection}, {Frame(16, 0, 1), -1, kRejection},
    {Frame(16, 0, 2, 3, {0, 1, 0, 2}), -1, kRejection}, {Frame(16, 0, 3, 0), -1, kRejection},
    {Frame(16, 0, 2, 4, {0, 1, 0}), -1, kRejection},
    // Frames too short for the fields their function code needs.
    {{}, -1, ""},
    {{0, 1, 0, 0, 0, 6, 1, 0x03, 0x00, 0x0A, 0x00}, -1, ""}, {{0, 1, 0, 0, 0, 6, 1, 0x05, 0x00}, -1, ""},
};
// clang-format on

// The unit identifier has no influence: each gets the same results.
TEST(Decoder, TableOfFramesForEveryUnitIdentifier) {
    for (uint8_t unit : std::initializer_list<uint8_t>{0, 1, 255}) {
        CorvaneLogger logger{7, false};
        Modbus_Server server{&logger, nullptr};
        std::unique_ptr<uint8_t[]> storage(new uint8_t[sizeof(modbus_request) + kGuard]());
        uint8_t* guard = storage.get() + sizeof(modbus_request);
        std::fill_n(guard, kGuard, 0xA5);
        auto* record = reinterpret_cast<modbus_request*>(storage.get());
        for (size_t i = 0; i < kCases.size(); ++i) {
            const Case& c = kCases[i];
            SCOPED_TRACE("unit " + std::to_string(unit) + ", row " + std::to_string(i));
            Bytes f = c.frame;
            if (f.size() > 6) f[6] = unit;
            auto be16 = [&f](size_t at) { return uint16_t(f[at] << 8 | f[at + 1]); };
            std::unique_ptr<uint8_t[]> exact(new uint8_t[f.size()]);
            std::copy(f.begin(), f.end(), exact.get());
            testing::internal::CaptureStdout();
            EXPECT_EQ(server.DecryptRAWMessage(exact.get(), record, int(f.size())), c.result);
            std::string out = testing::internal::GetCapturedStdout();
            const bool tail = c.out.rfind("...", 0) == 0;  // only the last line given
            EXPECT_EQ(tail ? out.substr(out.size() - std::min(out.size(), c.out.size() - 3)) : out,
                      tail ? c.out.substr(3) : c.out);
            ASSERT_TRUE(std::all_of(guard, guard + kGuard, [](uint8_t b) { return b == 0xA5; }))
                << "write past the request record";
            if (f.size() >= 12) {  // the header fields, whatever the outcome
                EXPECT_EQ(
                    std::tie(record->length, record->function, record->start, record->count),
                    std::make_tuple(be16(4), f[7], be16(8), c.count >= 0 ? c.count : be16(10)));
            }
            EXPECT_TRUE(c.byteCount < 0 || record->byteCount == c.byteCount) << +record->byteCount;
            for (auto [index, value] : c.values) EXPECT_EQ(record->values[index], value) << index;
        }
    }
}

}  // namespace
