#include "modbus_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <libconfig.h++>
#include <stdexcept>
#include <sys/select.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "error.h"
#include "platform.h"

// The table sizes follow the address map's tables.
int Nr_Output_Bits = static_cast<int>(std::tuple_size<decltype(MM_OutputBit_Map)>::value);
int Nr_Input_Bits = static_cast<int>(std::tuple_size<decltype(MM_InputBit_Map)>::value);
int Nr_Output_Register = static_cast<int>(std::tuple_size<decltype(MM_OutputRegister_Map)>::value);
int Nr_Input_Register = static_cast<int>(std::tuple_size<decltype(MM_InputRegister_Map)>::value);

namespace {

// Offsets in a Modbus TCP frame (MBAP header included).
constexpr int kLengthOffset = 4;
constexpr int kFunctionOffset = 7;
constexpr int kStartOffset = 8;
constexpr int kCountOffset = 10;
constexpr int kByteCountOffset = 12;
constexpr int kDataOffset = 13;
// The MBAP length counts the bytes after itself.
constexpr int kBytesBeforeLengthEnd = 6;

constexpr int kConnectionLed = 2;

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void PrintRejection() {
    std::fputs("to many registers requestet \n", stdout);
    std::fflush(stdout);
}

std::string PeerName(const sockaddr_in& address) {
    return std::string(inet_ntoa(address.sin_addr)) + ":" + std::to_string(ntohs(address.sin_port));
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
// would stall every client; the codes are the ones it would send.
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
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
            if (length <= kByteCountOffset) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
            const int byteCount = frame[kByteCountOffset];
            const bool coils = function == MODBUS_FC_WRITE_MULTIPLE_COILS;
            const bool consistent =
                coils ? count >= 1 && count <= MODBUS_MAX_WRITE_BITS && byteCount * 8 >= count
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

// What the library's own refusal flushes: the rest of the frame that it did
// not read (it reads no data for function codes it does not know), which
// would otherwise be taken for the next request. Takes only what has
// arrived; never waits.
void DiscardRestOfFrame(int socket, const uint8_t* frame, int received) {
    if (received < kBytesBeforeLengthEnd) return;
    int rest = kBytesBeforeLengthEnd + Be16(frame + kLengthOffset) - received;
    uint8_t sink[MODBUS_TCP_MAX_ADU_LENGTH];
    while (rest > 0) {
        const ssize_t n = recv(socket, sink, std::min<size_t>(rest, sizeof sink), MSG_DONTWAIT);
        if (n <= 0) break;
        rest -= static_cast<int>(n);
    }
}

// A setting's text; false when absent or not a string.
bool LookupText(const libconfig::Config& config, const char* key, std::string* text) {
    try {
        *text = static_cast<const char*>(config.lookup(key));
        return true;
    } catch (const libconfig::SettingNotFoundException&) {
        return false;
    } catch (const libconfig::SettingTypeException&) {
        return false;
    }
}

// Decimal text as std::stoi reads it, reduced to its low 16 bits; false
// when absent, not a string, or not convertible.
bool LookupNumber(const libconfig::Config& config, const char* key, uint16_t* value) {
    std::string text;
    if (!LookupText(config, key, &text)) return false;
    try {
        *value = static_cast<uint16_t>(std::stoi(text));
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    } catch (const std::out_of_range&) {
        return false;
    }
}

}  // namespace

Modbus_Server::Modbus_Server(CorvaneLogger* logger, Module_Manager* moduleManager)
    : moduleManager(moduleManager), logger(logger) {}

Modbus_Server::~Modbus_Server() = default;

int Modbus_Server::ReadCfg() {
    libconfig::Config config;
    const std::string path = os().ConfigPath();
    try {
        config.readFile(path.c_str());
    } catch (const libconfig::FileIOException&) {
        std::fputs("I/O error while reading Config. Using default Values!!!.\n", stdout);
        std::fflush(stdout);
        return -1;
    } catch (const libconfig::ParseException& e) {
        std::fprintf(stderr, "Parse error at %s:%d - %s\n",
                     e.getFile() != nullptr ? e.getFile() : path.c_str(), e.getLine(),
                     e.getError());
        std::fflush(stderr);
        return -1;
    }

    std::string text;
    if (LookupText(config, "Name", &text)) {
        name = text;
    } else {
        logger->Log(4, "No 'Name'' setting in configuration file.\n", false);
    }
    if (LookupText(config, "Location", &text)) {
        location = text;
    } else {
        logger->Log(4, "No 'Location' setting in configuration file.\n", false);
    }
    if (LookupText(config, "IP", &text)) {
        ip = text;
    } else {
        logger->Log(4, "No 'IP' setting in configuration file. Using Standard: " + ip + "\n",
                    false);
    }
    if (!LookupNumber(config, "Port", &port)) {
        logger->Log(4,
                    "No 'Port' setting in configuration file.Using Standard: " +
                        std::to_string(port) + "\n",
                    false);
    }
    if (!LookupNumber(config, "MaxConnections", &maxConnections)) {
        logger->Log(4,
                    "No 'MaxConnections' setting in configuration file.Using Standard: " +
                        std::to_string(maxConnections) + "\n",
                    false);
    }
    return 0;
}

int Modbus_Server::DecryptRAWMessage(uint8_t* frame, modbus_request* request, int length) {
    // Fields the frame holds are taken even when it is too short for its
    // function, as a range rejection leaves them too.
    if (length >= kLengthOffset + 2) request->length = Be16(frame + kLengthOffset);
    if (length > kFunctionOffset) request->function = frame[kFunctionOffset];
    if (length >= kStartOffset + 2) request->start = Be16(frame + kStartOffset);
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

int Modbus_Server::StartServer() {
    ReadCfg();
    logger->Log(5,
                "[MBS] Starting " + name + " @ " + location + " (IP: " + ip + ":" +
                    std::to_string(port) + ")",
                false);

    mapping =
        modbus_mapping_new(Nr_Output_Bits, Nr_Input_Bits, Nr_Output_Register, Nr_Input_Register);
    if (mapping == nullptr) {
        logger->Log(3, "[MBS] Failed to Start Server", false);
        logger->Log(3, modbus_strerror(errno), false);
        return -1;
    }
    logger->Log(6, "[MBS] " + name + " is up and running :)", false);

    // libmodbus refuses an empty or over-long address text with no context.
    ctx = modbus_new_tcp(ip.c_str(), port);
    serverSocket = ctx != nullptr ? modbus_tcp_listen(ctx, maxConnections) : -1;
    if (serverSocket == -1) {
        std::fputs("Unable to listen TCP connection\n", stderr);
        std::fflush(stderr);
        modbus_free(ctx);
        ctx = nullptr;
        return -1;
    }

    if (pipe2(shutdownPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::perror("Server shutdown pipe");
        close(serverSocket);
        serverSocket = -1;
        modbus_free(ctx);
        ctx = nullptr;
        return -1;
    }
    return 0;
}

void Modbus_Server::RequestShutdown(int status) {
    const int savedErrno = errno;
    if (shutdownPipe[1] != -1) {
        // A full pipe already holds a request: dropping this one is fine.
        const ssize_t written = write(shutdownPipe[1], &status, sizeof status);
        static_cast<void>(written);
    }
    errno = savedErrno;
}

namespace {

using Clock = std::chrono::steady_clock;

// Out of descriptors, the listening socket stays readable while accept keeps
// failing; it leaves the watched set until a connection closes, or for at
// most this long.
constexpr std::chrono::seconds kAcceptRetry{1};

struct AcceptPause {
    bool paused = false;
    bool reported = false;  // the episode has been logged
    Clock::time_point retryAt;
};

struct LoopState {
    fd_set watched;
    int highest;
    AcceptPause accept;
};

void ResumeAccepting(LoopState* loop, int serverSocket) {
    if (!loop->accept.paused) return;
    loop->accept.paused = false;
    FD_SET(serverSocket, &loop->watched);
    loop->highest = std::max(loop->highest, serverSocket);
}

std::string ConnectionName(const std::vector<modbus_connection>& connections, int socket) {
    for (const auto& c : connections) {
        if (c.socket == socket) return c.name;
    }
    return "";
}

}  // namespace

int Modbus_Server::WaitAndHandle() {
    LoopState loop;
    FD_ZERO(&loop.watched);
    FD_SET(serverSocket, &loop.watched);
    loop.highest = serverSocket;
    uint8_t frame[MODBUS_TCP_MAX_ADU_LENGTH];
    modbus_request request;
    std::memset(&request, 0, sizeof request);
    const int wakeFd = shutdownPipe[0];

    for (;;) {
        fd_set ready = loop.watched;
        int top = loop.highest;
        if (wakeFd != -1) {
            FD_SET(wakeFd, &ready);
            top = std::max(top, wakeFd);
        }
        timeval timeout{};
        timeval* limit = nullptr;
        if (loop.accept.paused) {
            const auto left = std::max(Clock::duration::zero(), loop.accept.retryAt - Clock::now());
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(us / 1000000);
            timeout.tv_usec = static_cast<suseconds_t>(us % 1000000);
            limit = &timeout;
        }
        if (select(top + 1, &ready, nullptr, nullptr, limit) == -1) {
            if (errno == EINTR) continue;
            std::perror("Server select() failure.");
            close_sigint_mb(1);
        }
        if (wakeFd != -1 && FD_ISSET(wakeFd, &ready)) {
            int status = 0;
            if (read(wakeFd, &status, sizeof status) == static_cast<ssize_t>(sizeof status)) {
                close_sigint_mb(status);
            }
        }
        if (loop.accept.paused && Clock::now() >= loop.accept.retryAt) {
            ResumeAccepting(&loop, serverSocket);
        }

        bool abandonPass = false;
        for (int fd = 0; fd <= loop.highest && !abandonPass; ++fd) {
            if (fd == wakeFd || !FD_ISSET(fd, &ready)) continue;

            if (fd == serverSocket) {
                sockaddr_in address;
                std::memset(&address, 0, sizeof address);
                socklen_t size = sizeof address;
                const int client =
                    accept(serverSocket, reinterpret_cast<sockaddr*>(&address), &size);
                if (client == -1) {
                    const int error = errno;
                    std::perror("Server accept() error");
                    if (error == EMFILE || error == ENFILE) {
                        loop.accept.paused = true;
                        loop.accept.retryAt = Clock::now() + kAcceptRetry;
                        FD_CLR(serverSocket, &loop.watched);
                        if (!loop.accept.reported) {
                            loop.accept.reported = true;
                            logger->Log(4,
                                        "[MBS] Out of file descriptors (" +
                                            std::string(std::strerror(error)) +
                                            "): new connections wait until one closes",
                                        false);
                        }
                    }
                    continue;
                }
                const std::string peer = PeerName(address);
                if (loop.accept.reported) {
                    loop.accept.reported = false;
                    logger->Log(6, "[MBS] Descriptors available again, accepting connections",
                                false);
                }
                // select() and modbus_receive() (which builds an fd_set of
                // its own) cannot take such a descriptor.
                if (client >= FD_SETSIZE) {
                    close(client);
                    logger->Log(4,
                                "[MBS] Connection from " + peer + " refused: descriptor " +
                                    std::to_string(client) + " beyond the select() limit",
                                false);
                    continue;
                }
                FD_SET(client, &loop.watched);
                loop.highest = std::max(loop.highest, client);
                connections.push_back(modbus_connection{client, address, peer});
                logger->Log(6, "New connection from " + peer, false);
                logger->Log(6, "Active Connections: " + std::to_string(connections.size()), false);
                moduleManager->Set_LED_State(kConnectionLed, LED_FAST_BLINK);
                continue;
            }

            modbus_set_socket(ctx, fd);
            const int received = modbus_receive(ctx, frame);
            if (received == -1) {
                auto it = std::find_if(connections.begin(), connections.end(),
                                       [fd](const modbus_connection& c) { return c.socket == fd; });
                if (it != connections.end()) {
                    logger->Log(6, "Connection to " + it->name + " closed", false);
                    connections.erase(it);
                }
                logger->Log(6, "Active Connections: " + std::to_string(connections.size()), false);
                close(fd);
                if (connections.empty()) {
                    moduleManager->Set_LED_State(kConnectionLed, LED_SLOW_BLINK);
                }
                FD_CLR(fd, &loop.watched);
                if (fd == loop.highest) --loop.highest;
                ResumeAccepting(&loop, serverSocket);
                continue;
            }
            if (received <= 0) continue;

            const bool decoded = DecryptRAWMessage(frame, &request, received) == 0;
            const int refusal = RefusalCode(frame, received, decoded);
            if (refusal != 0) {
                modbus_reply_exception(ctx, frame, refusal);
                DiscardRestOfFrame(fd, frame, received);
                abandonPass = !decoded;
                continue;
            }
            if (!decoded) {
                modbus_reply(ctx, frame, received, mapping);
                abandonPass = true;
                continue;
            }

            const int status = moduleManager->RequestHandler(mapping, &request);
            // The request lines are traffic (level 6): built only when they
            // will be written, as this is the path every request takes.
            std::string what;
            if (logger->level >= 6) {
                what = ConnectionName(connections, fd) +
                       " FC: " + std::to_string(request.function) +
                       " START: " + std::to_string(request.start) +
                       " COUNT: " + std::to_string(request.count);
            }
            if (status != 0) {
                if (logger->level >= 6) {
                    logger->Log(6, "Request Blocked:  " + what + " -> " + Corvane_strerror(status),
                                false);
                }
                // Only 1..MODBUS_EXCEPTION_MAX-1 can be sent; anything else
                // would leave the client waiting for an answer.
                const bool served = IsServedFunction(request.function);
                int code = status;
                if (status <= 0 || status >= MODBUS_EXCEPTION_MAX) {
                    code = served ? MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE
                                  : MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
                }
                modbus_reply_exception(ctx, frame, code);
                if (!served) DiscardRestOfFrame(fd, frame, received);
            } else {
                if (logger->level >= 6) logger->Log(6, "Request Accepted:  " + what, false);
                modbus_reply(ctx, frame, received, mapping);
            }
        }
    }
}

void Modbus_Server::close_sigint_mb(int status) {
    sd_notify(0, "STOPPING=1");
    logger->Log(6, "Aborting..", false);
    moduleManager->StopAllThreads();
    if (serverSocket != -1) {
        close(serverSocket);
        serverSocket = -1;
    }
    modbus_free(ctx);
    ctx = nullptr;
    modbus_mapping_free(mapping);
    mapping = nullptr;
    logger->Log(5, "Server stopped and all connections closed", false);
    std::exit(status);
}

int Modbus_Server::WaitForConnection() {
    std::fputs("Waiting for Connection\n", stdout);
    std::fflush(stdout);
    modbus_tcp_accept(ctx, &serverSocket);
    std::fputs("Connected\n", stdout);
    std::fflush(stdout);
    return 0;
}
