// corvane-bare: the least a libmodbus TCP slave can do per request (receive, reply from the
// mapping), with the same mapping sizes and the same select loop shape as the service. The
// benchmark measures the service against it, so it must stay free of anything the service
// could not avoid either.
//
//   corvane-bare --port P [--backlog N]

#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Self-pipe: a handler may only write(), and select() must wake up even when the signal
// lands between two select() calls.
int g_wakePipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    ssize_t ignored = write(g_wakePipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

bool InstallSignals() {
    if (pipe(g_wakePipe) != 0) return false;
    for (int fd : g_wakePipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

void Usage() {
    std::fprintf(stderr, "usage: corvane-bare --port P [--backlog N]\n");
}

bool ParseInt(const char* text, int lo, int hi, int* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int port = -1;
    int backlog = 128;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            if (!ParseInt(argv[++i], 1, 65535, &port)) return Usage(), 2;
        } else if (arg == "--backlog" && i + 1 < argc) {
            if (!ParseInt(argv[++i], 1, 4096, &backlog)) return Usage(), 2;
        } else {
            return Usage(), 2;
        }
    }
    if (port < 0) return Usage(), 2;
    if (!InstallSignals()) {
        std::perror("corvane-bare: signals");
        return 1;
    }

    modbus_mapping_t* mapping = modbus_mapping_new(80, 44, 158, 198);
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (mapping == nullptr || ctx == nullptr) {
        std::fprintf(stderr, "corvane-bare: %s\n", modbus_strerror(errno));
        return 1;
    }
    const int server = modbus_tcp_listen(ctx, backlog);
    if (server < 0) {
        std::fprintf(stderr, "corvane-bare: listen on 127.0.0.1:%d: %s\n", port,
                     modbus_strerror(errno));
        modbus_free(ctx);
        modbus_mapping_free(mapping);
        return 1;
    }
    std::printf("corvane-bare listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);

    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(server, &watched);
    FD_SET(g_wakePipe[0], &watched);
    int highest = server > g_wakePipe[0] ? server : g_wakePipe[0];
    uint8_t frame[MODBUS_TCP_MAX_ADU_LENGTH];
    int status = 0;

    for (bool running = true; running;) {
        fd_set readable = watched;
        if (select(highest + 1, &readable, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            std::perror("corvane-bare: select");
            status = 1;
            break;
        }
        for (int fd = 0; fd <= highest; ++fd) {
            if (!FD_ISSET(fd, &readable)) continue;
            if (fd == g_wakePipe[0]) {
                running = false;
                break;
            }
            if (fd == server) {
                sockaddr_in address;
                socklen_t length = sizeof address;
                std::memset(&address, 0, sizeof address);
                const int client = accept(server, reinterpret_cast<sockaddr*>(&address), &length);
                if (client < 0) continue;
                if (client >= FD_SETSIZE) {
                    close(client);
                    continue;
                }
                FD_SET(client, &watched);
                if (client > highest) highest = client;
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int received = modbus_receive(ctx, frame);
            if (received > 0) {
                modbus_reply(ctx, frame, received, mapping);
            } else if (received < 0) {
                close(fd);
                FD_CLR(fd, &watched);
                while (highest > 0 && !FD_ISSET(highest, &watched)) --highest;
            }
        }
    }

    for (int fd = 0; fd <= highest; ++fd) {
        if (FD_ISSET(fd, &watched) && fd != g_wakePipe[0]) close(fd);
    }
    modbus_free(ctx);
    modbus_mapping_free(mapping);
    close(g_wakePipe[0]);
    close(g_wakePipe[1]);
    return status;
}
