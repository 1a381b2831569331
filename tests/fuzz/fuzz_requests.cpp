// libFuzzer harness: one client's byte stream over loopback through the
// request loop on the simulated demo board. The first byte says how the rest
// arrives: in pieces of that many bytes, the loop run until idle after each
// (0: all at once). Each complete request gets one reply, in order, with its
// transaction, unit and function code (exception bit set on an exception).
// The library's flush sleeps its response timeout, set to 10 s, past
// libFuzzer's -timeout.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "logger.h"
#include "modbus_server.h"
#include "module_manager.h"
#include "sim.h"

namespace {

struct Harness {
    // Nothing below critical is journaled or echoed: no noise per input.
    CorvaneLogger logger{LOG_CRIT, false};
    Module_Manager manager{&logger};
    Modbus_Server server{&logger, &manager};
    sockaddr_in address{};
};

Harness* harness = nullptr;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_requests: %s\n", what.c_str());
    std::abort();
}

// One pass of the loop; the client's replies are added to *replies.
int Pass(int client, std::vector<uint8_t>* replies, int waitMs) {
    int status = 0;
    const int handled = harness->server.HandlePass(waitMs, &status);
    if (handled < 0) Fail("the loop stopped with status " + std::to_string(status));
    uint8_t buffer[4096];
    for (ssize_t n; client != -1 && (n = recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
        replies->insert(replies->end(), buffer, buffer + n);
    }
    return handled;
}

// Passes until `done`, for at most 2 s (a loaded machine defers loopback).
template <typename Done>
bool PassUntil(int client, std::vector<uint8_t>* replies, Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (; !done(); Pass(client, replies, 10))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// The number of complete frames in `bytes`.
size_t Frames(const std::vector<uint8_t>& bytes) {
    size_t n = 0;
    for (size_t at = 0; bytes.size() - at >= 6; ++n) {
        at += 6 + (bytes[at + 4] << 8 | bytes[at + 5]);
        if (at > bytes.size()) break;
    }
    return n;
}

// libFuzzer's timer signal interrupts blocking calls: an interrupted connect
// goes on by itself, send is repeated.
bool Connect(int client) {
    const auto* to = reinterpret_cast<sockaddr*>(&harness->address);
    if (connect(client, to, sizeof harness->address) == 0) return true;
    pollfd done{client, POLLOUT, 0};
    int error = errno;
    for (socklen_t size = sizeof error; error == EINTR;) {
        error = poll(&done, 1, 2000) == -1 ? errno : 0;
        if (error == 0) getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &size);
    }
    errno = error;
    return error == 0;
}

bool Send(int client, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(client, data, size, MSG_NOSIGNAL);
        if (n == -1 && errno != EINTR) return false;
        if (n > 0) data += n, size -= size_t(n);
    }
    return true;
}

struct Request {
    uint8_t header[2];  // transaction identifier
    uint8_t unit, function;
};

// The complete requests of the stream, up to its end or to the first bytes
// that cannot start a Modbus TCP frame.
std::vector<Request> Requests(const uint8_t* data, size_t size) {
    std::vector<Request> requests;
    for (size_t at = 0; size - at >= 6;) {
        const uint8_t* f = data + at;
        const size_t length = f[4] << 8 | f[5];
        if (f[2] != 0 || f[3] != 0 || length < 2 || length > 254 || size - at < 6 + length) break;
        requests.push_back({{f[0], f[1]}, f[6], f[7]});
        at += 6 + length;
    }
    return requests;
}

void Check(const std::vector<Request>& requests, const std::vector<uint8_t>& replies) {
    size_t at = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
        const Request& q = requests[i];
        const std::string which = "reply " + std::to_string(i) + ": ";
        if (replies.size() - at < 9) Fail(which + "missing");
        const uint8_t* r = replies.data() + at;
        const size_t length = r[4] << 8 | r[5];
        if (r[0] != q.header[0] || r[1] != q.header[1] || r[2] != 0 || r[3] != 0 ||
            r[6] != q.unit || length < 3 || replies.size() - at < 6 + length) {
            Fail(which + "bad header");
        }
        const bool exception = r[7] == (q.function | 0x80) && length == 3;
        if (!exception && (r[7] != q.function || q.function >= 0x80)) {
            Fail(which + "function " + std::to_string(r[7]) + " for " + std::to_string(q.function));
        }
        at += 6 + length;
    }
    if (at != replies.size()) Fail("replies to no request");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The decoder's traces go to standard output.
    const int null = open("/dev/null", O_WRONLY);
    if (null == -1 || dup2(null, STDOUT_FILENO) == -1) Fail("no /dev/null");
    close(null);
    // A free loopback port: the service refuses port 0.
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe == -1 || bind(probe, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr*>(&where), &length) != 0)
        Fail("no free port");
    close(probe);
    char config[] = "/tmp/corvane-fuzz-XXXXXX";
    const int fd = mkstemp(config);
    const std::string text =
        "Name = \"fuzz\";\nLocation = \"loopback\";\nIP = \"127.0.0.1\";\nPort = \"" +
        std::to_string(ntohs(where.sin_port)) + "\";\nMaxConnections = \"4\";\n";
    if (fd == -1 || write(fd, text.data(), text.size()) != ssize_t(text.size())) Fail("config");
    close(fd);
    setenv("CORVANE_CONFIG", config, 1);

    sim::Board::Get().Reset(sim::DemoBoard());
    // Module sleeps and worker pauses a hundred times faster, no log kept.
    sim::Board::Get().SetTimeScale(0.01);
    sim::Board::Get().SetLogLimit(0);
    harness = new Harness;
    if (harness->manager.Init() != 0 || harness->manager.ScanModules() != 0 ||
        harness->server.StartServer() != 0) {
        Fail("the service did not start");
    }
    unlink(config);
    socklen_t size = sizeof harness->address;
    auto* address = reinterpret_cast<sockaddr*>(&harness->address);
    if (getsockname(harness->server.serverSocket, address, &size) != 0)
        Fail("no listening address");
    modbus_set_response_timeout(harness->server.ctx.get(), 10, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = data[0] == 0 ? size : data[0];
    ++data;
    --size;
    const std::vector<Request> requests = Requests(data, size);
    Modbus_Server& server = harness->server;

    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client == -1 || !Connect(client))
        Fail(std::string("cannot connect: ") + std::strerror(errno));
    // Every piece sent at once; closed with a reset: no TIME_WAIT per input.
    const int on = 1;
    const linger reset{1, 0};
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    std::vector<uint8_t> replies;
    if (!PassUntil(client, &replies, [&] { return server.connections.size() == 1; })) {
        Fail("not accepted");
    }

    for (size_t at = 0; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        if (!Send(client, data + at, n)) break;  // closed by the service
        for (int pass = 0; Pass(client, &replies, 0) > 0; ++pass) {
            if (pass == 100000) Fail("the loop does not settle");
        }
    }
    PassUntil(client, &replies, [&] { return Frames(replies) >= requests.size(); });
    Check(requests, replies);
    close(client);
    if (!PassUntil(-1, nullptr, [&] { return server.connections.empty(); })) {
        Fail("not dropped after the client's close");
    }
    return 0;
}
