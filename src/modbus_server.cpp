#include "modbus_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <libconfig.h++>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <syslog.h>
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
        logger->Log(LOG_WARNING, "No 'Name'' setting in configuration file.\n", false);
    }
    if (LookupText(config, "Location", &text)) {
        location = text;
    } else {
        logger->Log(LOG_WARNING, "No 'Location' setting in configuration file.\n", false);
    }
    if (LookupText(config, "IP", &text)) {
        ip = text;
    } else {
        logger->Log(LOG_WARNING,
                    "No 'IP' setting in configuration file. Using Standard: " + ip + "\n", false);
    }
    if (!LookupNumber(config, "Port", &port)) {
        logger->Log(LOG_WARNING,
                    "No 'Port' setting in configuration file.Using Standard: " +
                        std::to_string(port) + "\n",
                    false);
    }
    if (!LookupNumber(config, "MaxConnections", &maxConnections)) {
        logger->Log(LOG_WARNING,
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

namespace {

using Clock = std::chrono::steady_clock;

// The request loop's readiness wait: the descriptors it serves and, per
// pass, those with something to read (a hang-up or an error counts: reading
// reports it). This is the only place that knows the mechanism, epoll: one
// call per pass whatever the number of connections, for descriptors of any
// number.
class Readiness {
  public:
    Readiness() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {}
    ~Readiness() {
        if (epoll_ != -1) close(epoll_);
    }
    Readiness(const Readiness&) = delete;
    Readiness& operator=(const Readiness&) = delete;

    // false when the wait could not be set up.
    bool Ok() const { return epoll_ != -1; }
    // Watches `fd`; false with errno when it cannot be watched.
    bool Add(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
    }
    // Stops watching `fd`, which stays open. Closing it is enough otherwise.
    void Remove(int fd) { epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr); }
    // Waits up to `timeoutMs` (-1: no limit) and puts the ready descriptors
    // in *ready: their number, or -1 with errno.
    int Wait(int timeoutMs, std::vector<int>* ready) {
        const int n =
            epoll_wait(epoll_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
        ready->clear();
        for (int i = 0; i < n; ++i) ready->push_back(events_[i].data.fd);
        return n;
    }

  private:
    int epoll_;
    // Level-triggered: what does not fit comes back in the next pass.
    std::array<epoll_event, 256> events_;
};

// Room for a few frames: requests sent back to back come in with one recv.
constexpr size_t kReceiveBuffer = 4 * MODBUS_TCP_MAX_ADU_LENGTH;

struct Client {
    std::string name;
    // The bytes received and not yet served are buffer[begin, end).
    size_t begin = 0, end = 0;
    // Holds a complete request and is queued to serve it; nothing more is
    // read until it has been served.
    bool due = false;
    uint8_t buffer[kReceiveBuffer];
};

enum class Front { Incomplete, Complete, Invalid };

// What the front of a client's bytes is: a complete frame of *length bytes,
// the start of one, or bytes that cannot start a Modbus TCP frame (*why).
Front FrontOf(const Client& c, int* length, std::string* why) {
    const size_t have = c.end - c.begin;
    if (have < kBytesBeforeLengthEnd) return Front::Incomplete;
    const uint8_t* frame = c.buffer + c.begin;
    const int protocol = Be16(frame + kProtocolOffset);
    const int announced = Be16(frame + kLengthOffset);
    if (protocol != 0 || announced < kShortestLength || announced > kLongestLength) {
        *why = "not a Modbus TCP frame (protocol identifier " + std::to_string(protocol) +
               ", length " + std::to_string(announced) + ")";
        return Front::Invalid;
    }
    *length = kBytesBeforeLengthEnd + announced;
    return have >= static_cast<size_t>(*length) ? Front::Complete : Front::Incomplete;
}

// Out of descriptors, the listening socket stays readable while accept keeps
// failing; it leaves the wait until a connection closes, or for at most
// this long.
constexpr std::chrono::seconds kAcceptRetry{1};

}  // namespace

struct Modbus_Server::Loop {
    Readiness readiness;
    std::vector<std::unique_ptr<Client>> clients;  // by descriptor
    std::vector<int> due;      // clients with a complete request, in the order they got it
    std::vector<int> serving;  // the ones served in this pass
    std::vector<int> ready;
    modbus_request request{};  // zeroed once, reused for every request

    bool acceptPaused = false;
    bool acceptReported = false;  // the episode has been logged
    Clock::time_point acceptRetryAt;

    ~Loop() {
        for (size_t fd = 0; fd < clients.size(); ++fd) {
            if (clients[fd]) close(static_cast<int>(fd));
        }
    }
    Client* Find(int socket) {
        return socket >= 0 && static_cast<size_t>(socket) < clients.size() ? clients[socket].get()
                                                                           : nullptr;
    }
    // Closes a client's socket, which also takes it out of the wait.
    void Forget(int socket) {
        close(socket);
        clients[socket].reset();
        due.erase(std::remove(due.begin(), due.end(), socket), due.end());
    }
    void ResumeAccepting(int serverSocket) {
        if (!acceptPaused) return;
        acceptPaused = false;
        readiness.Add(serverSocket);
    }
};

Modbus_Server::~Modbus_Server() = default;

int Modbus_Server::StartServer() {
    ReadCfg();
    logger->Log(LOG_NOTICE,
                "[MBS] Starting " + name + " @ " + location + " (IP: " + ip + ":" +
                    std::to_string(port) + ")",
                false);

    mapping.reset(
        modbus_mapping_new(Nr_Output_Bits, Nr_Input_Bits, Nr_Output_Register, Nr_Input_Register));
    if (!mapping) {
        logger->Log(LOG_ERR, "[MBS] Failed to Start Server", false);
        logger->Log(LOG_ERR, modbus_strerror(errno), false);
        return -1;
    }
    logger->Log(LOG_INFO, "[MBS] " + name + " is up and running :)", false);

    // libmodbus refuses an empty or over-long address text with no context.
    ctx.reset(modbus_new_tcp(ip.c_str(), port));
    serverSocket = ctx ? modbus_tcp_listen(ctx.get(), maxConnections) : -1;
    if (serverSocket == -1) {
        std::fputs("Unable to listen TCP connection\n", stderr);
        std::fflush(stderr);
        ctx.reset();
        return -1;
    }

    // accept() runs only when the wait reports a client, but that client
    // may be gone again by then: it must not block.
    const int flags = fcntl(serverSocket, F_GETFL);
    loop = std::make_unique<Loop>();
    if (flags == -1 || fcntl(serverSocket, F_SETFL, flags | O_NONBLOCK) == -1 ||
        (shutdownPipe[0] == -1 && pipe2(shutdownPipe, O_NONBLOCK | O_CLOEXEC) != 0) ||
        !loop->readiness.Ok() || !loop->readiness.Add(serverSocket) ||
        !loop->readiness.Add(shutdownPipe[0])) {
        std::perror("Server request loop");
        ReleaseServer();
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

int Modbus_Server::WaitAndHandle() {
    int status = 1;
    while (HandlePass(-1, &status) >= 0) {
    }
    close_sigint_mb(status);
}

int Modbus_Server::HandlePass(int timeoutMs, int* status) {
    if (!loop) {
        *status = 1;
        return -1;
    }
    Loop& l = *loop;
    int wait = l.due.empty() ? timeoutMs : 0;
    if (l.acceptPaused) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(Clock::duration::zero(), l.acceptRetryAt - Clock::now()));
        wait = wait == -1 ? static_cast<int>(left.count())
                          : std::min(wait, static_cast<int>(left.count()));
    }
    if (l.readiness.Wait(wait, &l.ready) == -1) {
        if (errno == EINTR) return 0;
        // The text operators know from the select() loop this wait replaced.
        std::perror("Server select() failure.");
        *status = 1;
        return -1;
    }

    int handled = 0;
    for (int fd : l.ready) {
        if (fd == shutdownPipe[0]) {
            if (read(fd, status, sizeof *status) == static_cast<ssize_t>(sizeof *status)) return -1;
        } else if (fd == serverSocket) {
            AcceptClient();
        } else {
            ReadClient(fd);
        }
        ++handled;
    }
    if (l.acceptPaused && Clock::now() >= l.acceptRetryAt) l.ResumeAccepting(serverSocket);

    // One request from every client that has one: none waits behind another's queue.
    l.serving.swap(l.due);
    l.due.clear();
    for (int fd : l.serving) {
        ServeRequest(fd);
        ++handled;
    }
    return handled;
}

void Modbus_Server::AcceptClient() {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    socklen_t size = sizeof address;
    const int client = accept4(serverSocket, reinterpret_cast<sockaddr*>(&address), &size,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client == -1) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return;
        std::perror("Server accept() error");
        if (error == EMFILE || error == ENFILE) {
            loop->acceptPaused = true;
            loop->acceptRetryAt = Clock::now() + kAcceptRetry;
            loop->readiness.Remove(serverSocket);
            if (!loop->acceptReported) {
                loop->acceptReported = true;
                logger->Log(LOG_WARNING,
                            "[MBS] Out of file descriptors (" + std::string(std::strerror(error)) +
                                "): new connections wait until one closes",
                            false);
            }
        }
        return;
    }
    const std::string peer = PeerName(address);
    if (loop->acceptReported) {
        loop->acceptReported = false;
        logger->Log(LOG_INFO, "[MBS] Descriptors available again, accepting connections", false);
    }
    // Each reply goes out in one send, complete: holding it back for an
    // acknowledgement would only delay the next request's reply.
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!loop->readiness.Add(client)) {
        logger->Log(LOG_WARNING,
                    "[MBS] Connection from " + peer + " refused: " + std::strerror(errno), false);
        close(client);
        return;
    }
    if (loop->clients.size() <= static_cast<size_t>(client)) loop->clients.resize(client + 1);
    loop->clients[client] = std::make_unique<Client>();
    loop->clients[client]->name = peer;
    connections.push_back(modbus_connection{client, address, peer});
    logger->Log(LOG_INFO, "New connection from " + peer, false);
    logger->Log(LOG_INFO, "Active Connections: " + std::to_string(connections.size()), false);
    moduleManager->Set_LED_State(kConnectionLed, LED_FAST_BLINK);
}

void Modbus_Server::ReadClient(int socket) {
    Client* c = loop->Find(socket);
    if (c == nullptr || c->due) return;
    if (c->begin > 0) {
        std::memmove(c->buffer, c->buffer + c->begin, c->end - c->begin);
        c->end -= c->begin;
        c->begin = 0;
    }
    // Not due: less than a frame is buffered, so there is room.
    const ssize_t n = recv(socket, c->buffer + c->end, sizeof c->buffer - c->end, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        DropClient(socket, "");
        return;
    }
    c->end += static_cast<size_t>(n);
    QueueRequest(socket);
}

void Modbus_Server::QueueRequest(int socket) {
    Client* c = loop->Find(socket);
    int length = 0;
    std::string why;
    switch (FrontOf(*c, &length, &why)) {
        case Front::Complete:
            c->due = true;
            loop->due.push_back(socket);
            break;
        case Front::Invalid:
            DropClient(socket, why);
            break;
        case Front::Incomplete:
            c->due = false;
            break;
    }
}

void Modbus_Server::ServeRequest(int socket) {
    Client* c = loop->Find(socket);
    int length = 0;
    std::string why;
    if (c == nullptr || FrontOf(*c, &length, &why) != Front::Complete) return;
    const int error = Answer(socket, c->name, c->buffer + c->begin, length);
    c->begin += static_cast<size_t>(length);
    if (c->begin == c->end) c->begin = c->end = 0;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EMBBADDATA) {
        // Its reply does not fit in what the peer has left unread: waiting
        // for it would hold every other client.
        DropClient(socket, "it does not read its replies");
    } else if (error != 0) {
        DropClient(socket, "");
    } else {
        QueueRequest(socket);
    }
}

int Modbus_Server::Answer(int socket, const std::string& peer, uint8_t* frame, int length) {
    modbus_request& request = loop->request;
    modbus_t* context = ctx.get();
    modbus_set_socket(context, socket);
    const bool decoded = DecryptRAWMessage(frame, &request, length) == 0;
    const int refusal = RefusalCode(frame, length, decoded);
    int sent = 0;
    if (refusal != 0) {
        sent = ReplyException(context, socket, frame, refusal);
    } else if (!decoded) {
        // Outside the address map: the library answers from the mapping.
        sent = modbus_reply(context, frame, length, mapping.get());
    } else {
        const int status = moduleManager->RequestHandler(mapping.get(), &request);
        // The request lines are traffic (level 6): built only when they
        // will be written, as this is the path every request takes.
        std::string what;
        if (logger->level >= LOG_INFO) {
            what = peer + " FC: " + std::to_string(request.function) +
                   " START: " + std::to_string(request.start) +
                   " COUNT: " + std::to_string(request.count);
        }
        if (status != 0) {
            if (logger->level >= LOG_INFO) {
                logger->Log(LOG_INFO,
                            "Request Blocked:  " + what + " -> " + Corvane_strerror(status), false);
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
                logger->Log(LOG_INFO, "Request Accepted:  " + what, false);
            sent = modbus_reply(context, frame, length, mapping.get());
        }
    }
    if (sent != -1) return 0;
    return errno != 0 ? errno : EIO;
}

void Modbus_Server::DropClient(int socket, const std::string& why) {
    auto it = std::find_if(connections.begin(), connections.end(),
                           [socket](const modbus_connection& c) { return c.socket == socket; });
    if (it != connections.end()) {
        if (!why.empty()) {
            logger->Log(LOG_WARNING, "[MBS] Closing the connection to " + it->name + ": " + why,
                        false);
        }
        logger->Log(LOG_INFO, "Connection to " + it->name + " closed", false);
        connections.erase(it);
    }
    logger->Log(LOG_INFO, "Active Connections: " + std::to_string(connections.size()), false);
    loop->Forget(socket);
    if (connections.empty()) moduleManager->Set_LED_State(kConnectionLed, LED_SLOW_BLINK);
    loop->ResumeAccepting(serverSocket);
}

void Modbus_Server::ReleaseServer() {
    if (serverSocket != -1) {
        close(serverSocket);
        serverSocket = -1;
    }
    loop.reset();
    ctx.reset();
    mapping.reset();
}

void Modbus_Server::close_sigint_mb(int status) {
    sd_notify(0, "STOPPING=1");
    logger->Log(LOG_INFO, "Aborting..", false);
    moduleManager->StopAllThreads();
    ReleaseServer();
    logger->Log(LOG_NOTICE, "Server stopped and all connections closed", false);
    std::exit(status);
}

int Modbus_Server::WaitForConnection() {
    std::fputs("Waiting for Connection\n", stdout);
    std::fflush(stdout);
    // The listening socket does not block: wait for the client here.
    pollfd readable{serverSocket, POLLIN, 0};
    poll(&readable, 1, -1);
    modbus_tcp_accept(ctx.get(), &serverSocket);
    std::fputs("Connected\n", stdout);
    std::fflush(stdout);
    return 0;
}
