// The frames of the request loop: the Modbus TCP frame layout, and the
// refusals and exception replies sent before or instead of dispatch.
// Internal to the server unit (server_*.cpp).
#pragma once

#include <cstdint>
#include <modbus.h>

namespace server {

// Offsets in a Modbus TCP frame (MBAP header included).
constexpr int kProtocolOffset = 2;
constexpr int kLengthOffset = 4;
constexpr int kUnitOffset = 6;
constexpr int kFunctionOffset = 7;
constexpr int kStartOffset = 8;
constexpr int kCountOffset = 10;
constexpr int kByteCountOffset = 12;
constexpr int kDataOffset = 13;
// The MBAP length counts the bytes after itself: the unit identifier and
// the PDU, which holds a function code and at most 252 bytes more.
constexpr int kBytesBeforeLengthEnd = 6;
constexpr int kShortestLength = 2;
constexpr int kLongestLength = MODBUS_TCP_MAX_ADU_LENGTH - kBytesBeforeLengthEnd;

// The big-endian 16-bit field at `p`.
inline uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// true for the function codes the address map serves (read and write of
// coils and registers, reads of discrete inputs and input registers).
bool IsServedFunction(int function);
// true for the function codes that write coils or registers (5, 6, 15, 16).
bool IsWriteFunction(int function);

// The exception code a frame of `length` bytes is refused with before it
// reaches dispatch or modbus_reply, or 0 to go on. `decoded`: the decoder
// accepted the frame.
int RefusalCode(const uint8_t* frame, int length, bool decoded);

// Sends exception `code` for `frame` on `socket` (whose context is `ctx`):
// the number of bytes sent, or -1 with errno.
int ReplyException(modbus_t* ctx, int socket, const uint8_t* frame, int code);

}  // namespace server
