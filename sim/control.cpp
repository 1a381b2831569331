// The control socket: a poll loop on its own thread over the listening
// socket, the clients and a wake-up pipe, with every buffer bounded.
#include "control.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "grund.h"  // the base board's pins
#include "models.h"
#include "platform.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes read from a client at a time, and kept unprocessed at most.
constexpr size_t kReadChunk = 4096;

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    // A line end of CR LF leaves a CR: one more blank.
    while ((at = line.find_first_not_of(" \t\r", at)) != std::string::npos) {
        size_t end = line.find_first_of(" \t\r", at);
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// A decimal or 0x-hexadecimal number from `low` to `high`.
bool Number(const std::string& word, long low, long high, long* value) {
    const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const std::string digits = hex ? word.substr(2) : word;
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
            std::string::npos)
        return false;
    *value = std::stol(digits, nullptr, hex ? 16 : 10);
    return *value >= low && *value <= high;
}

template <size_t N>
std::string Levels(Board& board, const int (&pins)[N]) {
    std::string text;
    for (int pin : pins) text += " " + std::to_string(board.Level(pin));
    return text;
}

// Carries out one command: empty when done, else why not. `show` adds its lines.
std::string Command(Board& board, const std::vector<std::string>& w,
                    std::vector<std::string>* lines) {
    const std::string& verb = w[0];
    long m = 0, n = 0, value = 0;
    if (verb == "input") {
        if (w.size() != 3) return "usage: input N L";
        if (!Number(w[1], 0, 8, &n)) return "input must be 0-8";
        if (!Number(w[2], 0, 1, &value)) return "level must be 0 or 1";
        board.SetInput(LL_GPIO_IN_Map[n], static_cast<int>(value));
        return "";
    }
    if (verb == "tmp") {
        if (w.size() != 5 || w[2] != "raw") return "usage: tmp M raw I CODE";
        if (!Number(w[1], 1, kTmpModules, &m)) return "temperature module must be 1-3";
        if (!Number(w[3], 1, kTmpInputs, &n)) return "input must be 1-16";
        if (!Number(w[4], 0, 4095, &value)) return "code must be 0-4095";
        if (!SetTemperatureRaw(board, static_cast<int>(m - 1), static_cast<int>(n - 1),
                               static_cast<uint16_t>(value)))
            return "TMP" + std::to_string(m) + " is not fitted";
        return "";
    }
    if (verb == "aio") {
        const std::string usage = "usage: aio M adc C CODE | aio M din C L | aio M alert BITS";
        const std::string what = w.size() > 2 ? w[2] : "";
        if (!(what == "alert" && w.size() == 4) && !(what == "adc" && w.size() == 5) &&
            !(what == "din" && w.size() == 5))
            return usage;
        if (!Number(w[1], 1, kAioModules, &m)) return "analog module must be 1-7";
        bool fitted = false;
        if (what == "alert") {
            if (!Number(w[3], 0, 0xFFFF, &value) || (value & ~kAioAlertBits) != 0)
                return "bits must be among 0-3 and 10-11 (mask 0x0C0F)";
            fitted = SetAnalogAlert(board, static_cast<int>(m - 1), static_cast<uint16_t>(value));
        } else {
            if (!Number(w[3], 1, kAioChannels, &n)) return "channel must be 1-4";
            if (what == "adc") {
                if (!Number(w[4], 0, 0xFFFF, &value)) return "code must be 0-65535";
                fitted = SetAnalogAdc(board, static_cast<int>(m - 1), static_cast<int>(n - 1),
                                      static_cast<uint16_t>(value));
            } else {
                if (!Number(w[4], 0, 1, &value)) return "level must be 0 or 1";
                fitted = SetAnalogDin(board, static_cast<int>(m - 1), static_cast<int>(n - 1),
                                      static_cast<int>(value));
            }
        }
        return fitted ? "" : "AIO" + std::to_string(m) + " is not fitted";
    }
    if (verb == "fail") {
        if (w.size() != 3) return "usage: fail DEVICE N";
        if (!Number(w[2], 0, 1000000, &n)) return "count must be 0-1000000";
        if (!board.FailDevice(w[1], static_cast<int>(n)))
            return "device must be i2c:0xAA (a bus address 0x00-0x7F) or spi:N (0-7)";
        return "";
    }
    if (verb == "show") {
        if (w.size() != 1) return "usage: show";
        *lines = ShowBoard(board);
        return "";
    }
    return "unknown command (input, tmp, aio, fail, show)";
}

}  // namespace

std::vector<std::string> ShowBoard(Board& board) {
    std::vector<std::string> lines = {
        "GRUND leds" + Levels(board, LL_LED_Map),
        "GRUND output " + std::to_string(board.Level(LL_GPIO_OUT_Pin)),
        "GRUND inputs" + Levels(board, LL_GPIO_IN_Map),
    };
    const BoardConfig config = board.Config();
    using Show = std::vector<std::string> (*)(Board&, int);
    const struct {
        std::vector<int> BoardConfig::*kind;
        int count;
        Show show;
    } kinds[] = {{&BoardConfig::pwm, 8, ShowPwmModule},
                 {&BoardConfig::relay, 4, ShowRelayModule},
                 {&BoardConfig::temperature, kTmpModules, ShowTemperatureModule},
                 {&BoardConfig::analog, kAioModules, ShowAnalogModule}};
    for (const auto& kind : kinds) {
        for (int number = 1; number <= kind.count; ++number) {
            if (!config.Fitted(kind.kind, number)) continue;
            for (std::string& line : kind.show(board, number - 1)) lines.push_back(line);
        }
    }
    return lines;
}

std::string RunControlCommand(Board& board, const std::string& line) {
    const std::vector<std::string> words = Words(line);
    // Every line is answered: a client counting answers must not wait for ever.
    if (words.empty()) return "error: empty line\n";
    std::vector<std::string> lines;
    const std::string why = Command(board, words, &lines);
    std::string answer;
    for (const std::string& l : lines) answer += l + "\n";
    return answer + (why.empty() ? "ok\n" : "error: " + why + "\n");
}

struct ControlServer::State {
    struct Client {
        UniqueFd fd;
        std::string in;         // received, not yet carried out
        std::string out;        // answers not yet sent
        bool skipping = false;  // inside a line that was too long
        bool closing = false;   // the client sent its last byte
        Clock::time_point active;
    };

    explicit State(Board& b) : board(b) {}

    Board& board;
    std::string path;
    UniqueFd listener;
    UniqueFd wake[2];
    std::vector<Client> clients;
    std::thread thread;

    // Carries out the complete lines a client sent, as far as its unsent
    // answers allow.
    void Take(Client& c) {
        while (c.out.size() < kMaxPending) {
            const size_t end = c.in.find('\n');
            const size_t length = end == std::string::npos ? c.in.size() : end;
            if (length > kMaxLine && !c.skipping) {
                c.out += "error: line longer than " + std::to_string(kMaxLine) + " bytes\n";
                c.skipping = true;
            }
            if (end == std::string::npos) {
                if (c.skipping) c.in.clear();
                return;
            }
            std::string line = c.in.substr(0, end);
            c.in.erase(0, end + 1);
            if (c.skipping) {
                c.skipping = false;
                continue;
            }
            c.out += RunControlCommand(board, line);
        }
    }

    // Reads, carries out and answers as far as the client is ready. false
    // when it is done with.
    bool Serve(Client& c, short events) {
        if (events & POLLNVAL) return false;
        if ((events & (POLLIN | POLLHUP | POLLERR)) && !c.closing) {
            char buffer[kReadChunk];
            const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
            if (n == 0) {
                // The last line may come without its line end.
                if (!c.in.empty()) c.in += '\n';
                c.closing = true;
            }
            if (n > 0) {
                c.in.append(buffer, static_cast<size_t>(n));
                c.active = Clock::now();
            }
        }
        Take(c);
        while (!c.out.empty()) {
            const ssize_t n =
                ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
                return false;
            }
            c.out.erase(0, static_cast<size_t>(n));
            Take(c);
        }
        return !(c.closing && c.out.empty() && c.in.empty());
    }

    void Accept() {
        for (size_t accepted = 0; accepted < kMaxClients; ++accepted) {
            UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (fd.get() < 0) return;
            if (clients.size() >= kMaxClients) {
                clients.erase(std::min_element(
                    clients.begin(), clients.end(),
                    [](const Client& a, const Client& b) { return a.active < b.active; }));
            }
            Client c;
            c.fd = std::move(fd);
            c.active = Clock::now();
            clients.push_back(std::move(c));
        }
    }

    void Run() {
        std::vector<pollfd> fds;
        for (;;) {
            fds.assign({{wake[0].get(), POLLIN, 0}, {listener.get(), POLLIN, 0}});
            for (const Client& c : clients) {
                short events = 0;
                if (!c.closing && c.in.size() < kReadChunk && c.out.size() < kMaxPending)
                    events |= POLLIN;
                if (!c.out.empty()) events |= POLLOUT;
                fds.push_back({c.fd.get(), events, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents != 0) return;
            // Backwards, so that erasing keeps the indexes of those not yet served.
            for (size_t i = clients.size(); i-- > 0;) {
                const short events = fds[i + 2].revents;
                if (events != 0 && !Serve(clients[i], events)) clients.erase(clients.begin() + i);
            }
            if (fds[1].revents & POLLIN) Accept();
        }
    }
};

ControlServer::ControlServer(Board& board) : state(new State(board)) {}

ControlServer::~ControlServer() {
    if (state->thread.joinable()) {
        const char stop = 0;
        while (::write(state->wake[1].get(), &stop, 1) < 0 && errno == EINTR) {
        }
        state->thread.join();
    }
    if (state->listener.get() >= 0) ::unlink(state->path.c_str());
}

int ControlServer::Start(const std::string& path, std::string* error) {
    State& s = *state;
    const std::string where = "control socket " + path + ": ";
    if (s.thread.joinable()) {
        *error = where + "the server already listens on " + s.path;
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        *error = where + "the path must have 1-" + std::to_string(sizeof address.sun_path - 1) +
                 " bytes";
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const sockaddr* a = reinterpret_cast<const sockaddr*>(&address);

    // A socket file nobody listens on is left from a simulator that was
    // killed; anything else at the path is not ours to remove.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            *error = where + "exists and is not a socket";
            return -1;
        }
        UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(probe.get(), a, sizeof address) == 0) {
            *error = where + "another program listens on it";
            return -1;
        }
        ::unlink(path.c_str());
    }
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const bool bound = listener.get() >= 0 && ::bind(listener.get(), a, sizeof address) == 0;
    int pipe[2];
    if (!bound || ::listen(listener.get(), static_cast<int>(kMaxClients)) != 0 ||
        ::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = where + std::strerror(errno);
        if (bound) ::unlink(path.c_str());
        return -1;
    }
    s.path = path;
    s.listener = std::move(listener);
    s.wake[0].Reset(pipe[0]);
    s.wake[1].Reset(pipe[1]);
    // Signals stay with the service's threads: SIGINT is its shutdown.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    s.thread = std::thread([&s] { s.Run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 0;
}

}  // namespace sim
