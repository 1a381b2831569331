// Frames: decoding a request into its record, the refusals sent before
// dispatch, and answering one complete frame.
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <string>
#include <sys/socket.h>
#include <syslog.h>

#include "error.h"
#include "modbus_server.h"
#include "server_frames.h"
#include "server_loop.h"

namespace server {

namespace {

void PrintRejection() {
    std::fputs("to many registers requestet \n", stdout);
    std::fflush(stdout);
}

}  // namespace

bool IsWriteFunction(int function) {
    return function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
           function == MODBUS_FC_WRITE_MULTIPLE_COILS ||
           function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
}

bool IsServedFunction(int function) {
    switch (function) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_READ_DISCRETE_INPUTS:
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS:
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            return true;
        default:
            return false;
    }
}

// The exception code a frame is refused with before it reaches dispatch or
// modbus_reply, or 0. libmodbus 3.1.6 answers an unknown function code, a
// quantity of 0 or beyond the protocol maximum and a byte count that does
// not fit the quantity only after sleeping its response timeout, which
// would stall every client; the codes are the ones it would send. A byte
// count must be exactly what the quantity needs, for coils as for
// registers (the library itself lets a longer one through for coils).
// `decoded`: the decoder accepted the frame.
int RefusalCode(const uint8_t* frame, int length, bool decoded) {
    if (length <= kFunctionOffset) return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    const int function = frame[kFunctionOffset];
    // A decoded one is dispatched, which refuses what it does not serve.
    if (!IsServedFunction(function)) return decoded ? 0 : MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    if (length < kCountOffset + 2) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    const int start = Be16(frame + kStartOffset);
    const int count = Be16(frame + kCountOffset);
    switch (function) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_READ_DISCRETE_INPUTS:
            return count < 1 || count > MODBUS_MAX_READ_BITS ? MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE
                                                             : 0;
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS:
            return count < 1 || count > MODBUS_MAX_READ_REGISTERS
                       ? MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE
                       : 0;
        case MODBUS_FC_WRITE_SINGLE_COIL:
            // Dispatch looks at the high byte only: any other value would
            // switch the coil and then be refused by the library.
            if (!decoded) return 0;
            return count == 0xFF00 || count == 0x0000 ? 0 : MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
            if (length <= kByteCountOffset) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
            const int byteCount = frame[kByteCountOffset];
            const bool coils = function == MODBUS_FC_WRITE_MULTIPLE_COILS;
            const bool consistent =
                coils ? count >= 1 && count <= MODBUS_MAX_WRITE_BITS && byteCount == (count + 7) / 8
                      : count >= 1 && count <= MODBUS_MAX_WRITE_REGISTERS && byteCount == 2 * count;
            if (!consistent) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
            // In range but refused by the decoder (data it cannot hold):
            // the library would store it in the mapping and confirm a
            // write that no module saw.
            const int size = coils ? Nr_Output_Bits : Nr_Output_Register;
            if (!decoded && start + count <= size) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
            return 0;
        }
        default:
            return 0;
    }
}

// Sends exception `code` for `frame` on `socket`, as modbus_reply_exception
// does: the number of bytes sent, or -1 with errno. The library adds 0x80 to
// the function code in an int and sends the low byte, so a code of 128 or
// more would come back as a normal-looking function code (0xBB as 0x3B);
// such a code already has the exception bit and is answered as it is.
int ReplyException(modbus_t* ctx, int socket, const uint8_t* frame, int code) {
    if (frame[kFunctionOffset] < 0x80) return modbus_reply_exception(ctx, frame, code);
    const uint8_t reply[] = {frame[0],
                             frame[1],
                             0,
                             0,
                             0,
                             3,
                             frame[kUnitOffset],
                             frame[kFunctionOffset],
                             static_cast<uint8_t>(code)};
    const ssize_t sent = send(socket, reply, sizeof reply, MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(sizeof reply)) return static_cast<int>(sent);
    if (sent >= 0) errno = EMBBADDATA;
    return -1;
}

}  // namespace server

using namespace server;

int Modbus_Server::DecryptRAWMessage(uint8_t* frame, modbus_request* request, int length) {
    // Fields the frame holds are taken even when it is too short for its
    // function, as a range rejection leaves them too.
    if (length >= kLengthOffset + 2) request->length = Be16(frame + kLengthOffset);
    if (length <= kFunctionOffset) return -1;
    request->function = frame[kFunctionOffset];
    if (length >= kStartOffset + 2) request->start = Be16(frame + kStartOffset);
    if (!IsServedFunction(request->function)) {
        // Dispatch refuses it, and the refusal is logged with what the
        // record holds: the frame's own fields where it has them.
        if (length >= kCountOffset + 2) request->count = Be16(frame + kCountOffset);
        return 0;
    }
    if (length < kCountOffset + 2) return -1;

    const int start = request->start;
    switch (request->function) {
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_SINGLE_REGISTER: {
            const int size = request->function == MODBUS_FC_WRITE_SINGLE_COIL ? Nr_Output_Bits
                                                                              : Nr_Output_Register;
            if (start >= size) {
                PrintRejection();
                return -1;
            }
            request->values[0] = Be16(frame + kCountOffset);
            std::printf("New Value: %i\n", request->values[0]);
            std::fflush(stdout);
            return 0;
        }
        default:
            break;
    }

    request->count = Be16(frame + kCountOffset);
    const int count = request->count;
    const int end = start + count;  // int: no 16-bit overflow
    switch (request->function) {
        case MODBUS_FC_READ_COILS:
            return end <= Nr_Output_Bits ? 0 : -1;
        case MODBUS_FC_READ_DISCRETE_INPUTS:
            return end <= Nr_Input_Bits ? 0 : -1;
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS: {
            const int size = request->function == MODBUS_FC_READ_HOLDING_REGISTERS
                                 ? Nr_Output_Register
                                 : Nr_Input_Register;
            if (end > size) {
                PrintRejection();
                return -1;
            }
            return 0;
        }
        case MODBUS_FC_WRITE_MULTIPLE_COILS: {
            if (end > Nr_Output_Bits || length <= kByteCountOffset) {
                PrintRejection();
                return -1;
            }
            request->byteCount = frame[kByteCountOffset];
            const int byteCount = request->byteCount;
            if (byteCount > static_cast<int>(std::size(request->values)) ||
                kDataOffset + byteCount > length) {
                PrintRejection();
                return -1;
            }
            for (int i = 0; i < byteCount; ++i) {
                request->values[i] = frame[kDataOffset + i];
                std::printf("Value %i = 0x%x\n", i, request->values[i]);
            }
            std::fflush(stdout);
            return 0;
        }
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
            if (end > Nr_Output_Register || length <= kByteCountOffset) {
                PrintRejection();
                return -1;
            }
            request->byteCount = frame[kByteCountOffset];
            const int byteCount = request->byteCount;
            if (count > static_cast<int>(std::size(request->values)) || byteCount < 2 * count ||
                kDataOffset + 2 * count > length) {
                PrintRejection();
                return -1;
            }
            for (int i = 0; i < count; ++i) {
                request->values[i] = Be16(frame + kDataOffset + 2 * i);
                std::printf("Value %i = %i\n", i, request->values[i]);
            }
            std::fflush(stdout);
            return 0;
        }
        default:
            return 0;
    }
}

int Modbus_Server::Answer(int socket, const std::string& peer, uint8_t* frame, int length,
                          bool readOnly) {
    modbus_request& request = loop->request;
    modbus_t* context = ctx.get();
    modbus_set_socket(context, socket);
    const bool decoded = DecryptRAWMessage(frame, &request, length) == 0;
    // The request lines are traffic (level 6): built only when they will be
    // written, as this is the path every request takes.
    auto what = [&] {
        return peer + " FC: " + std::to_string(request.function) +
               " START: " + std::to_string(request.start) +
               " COUNT: " + std::to_string(request.count);
    };
    int sent = 0;
    if (readOnly && length > kFunctionOffset && IsWriteFunction(frame[kFunctionOffset])) {
        // Whatever its shape, a write from a read-only client goes nowhere.
        if (logger->level >= LOG_INFO) {
            logger->Log(LOG_INFO,
                        "Request Blocked:  " + what() + " -> " +
                            Corvane_strerror(MODBUS_EXCEPTION_ILLEGAL_FUNCTION) +
                            " (read-only client)",
                        false);
        }
        sent = ReplyException(context, socket, frame, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    } else if (const int refusal = RefusalCode(frame, length, decoded); refusal != 0) {
        sent = ReplyException(context, socket, frame, refusal);
    } else if (!decoded) {
        // Outside the address map: the library answers from the mapping.
        sent = modbus_reply(context, frame, length, mapping.get());
    } else {
        const int status = moduleManager->RequestHandler(mapping.get(), &request);
        if (status != 0) {
            if (logger->level >= LOG_INFO) {
                logger->Log(LOG_INFO,
                            "Request Blocked:  " + what() + " -> " + Corvane_strerror(status),
                            false);
            }
            // Only 1..MODBUS_EXCEPTION_MAX-1 can be sent; anything else
            // would leave the client waiting for an answer.
            int code = status;
            if (status <= 0 || status >= MODBUS_EXCEPTION_MAX) {
                code = IsServedFunction(request.function) ? MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE
                                                          : MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
            }
            sent = ReplyException(context, socket, frame, code);
        } else {
            if (logger->level >= LOG_INFO)
                logger->Log(LOG_INFO, "Request Accepted:  " + what(), false);
            sent = modbus_reply(context, frame, length, mapping.get());
        }
    }
    if (sent != -1) return 0;
    if (errno == 0) errno = EIO;
    return -1;
}
