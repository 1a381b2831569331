#include "service.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "journal.h"

namespace testsupport {

namespace {

template <typename Done>
bool Poll(std::chrono::milliseconds timeout, Done done) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (std::chrono::steady_clock::now() >= end) return false;
    }
    return true;
}

bool Listening(int port) {
    std::ifstream tcp("/proc/net/tcp");
    unsigned local = 0, state = 0;
    for (std::string line; std::getline(tcp, line);) {
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%*x %x", &local, &state) == 2 &&
            local == static_cast<unsigned>(port) && state == 0x0A) {
            return true;
        }
    }
    return false;
}

// A TCP socket and 127.0.0.1:port.
std::pair<int, sockaddr_in> Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return {socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), a};
}

}  // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/corvane-test-XXXXXX";
    path_ = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, ignored);
}

int FreeLoopbackPort() {
    auto [s, a] = Loopback(0);
    socklen_t size = sizeof a;
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), size) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) == 0;
    close(s);
    return ok ? ntohs(a.sin_port) : -1;
}

int ConnectLoopback(int port, const char* from) {
    auto [s, a] = Loopback(port);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    const bool bound =
        from == nullptr || (inet_pton(AF_INET, from, &source.sin_addr) == 1 &&
                            bind(s, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0);
    if (s < 0 || (bound && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)) return s;
    close(s);
    return -1;
}

std::string ReadFile(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const auto& line : lines) {
        if ((at = text.find(line, at)) == std::string::npos) {
            return ::testing::AssertionFailure() << "missing, in order: \"" << line << "\" in:\n"
                                                 << text;
        }
        at += line.size();
    }
    return ::testing::AssertionSuccess();
}

int UnixSocket(const std::string& path, int (*how)(int, const sockaddr*, socklen_t)) {
    sockaddr_un a{AF_UNIX, {}};
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{5, 0};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (how(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
    close(s);
    return -1;
}

std::string ReceiveAnswers(int s, long answers) {
    std::string text;
    auto count = [&] {
        long n = 0;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            n += text.compare(at, end - at, "ok") == 0 || text.compare(at, 7, "error: ") == 0;
        return n;
    };
    char buffer[4096];
    pollfd p{s, POLLIN, 0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count() < answers && std::chrono::steady_clock::now() < end) {
        const ssize_t n = poll(&p, 1, 100) == 1 ? recv(s, buffer, sizeof buffer, 0) : -2;
        if (n == 0 || n == -1) break;
        if (n > 0) text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SocketName(int socket) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    getsockname(socket, reinterpret_cast<sockaddr*>(&a), &size);
    return std::string(inet_ntoa(a.sin_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

bool Closed(int socket, int ms) {
    pollfd p{socket, POLLIN, 0};
    uint8_t byte;
    return poll(&p, 1, ms) == 1 && recv(socket, &byte, 1, 0) <= 0;
}

std::pair<int, std::string> Shell(const std::string& command) {
    std::string output;
    FILE* pipe = popen(("timeout -k 5 60 " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {-1, ""};
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    return {ExitCode(pclose(pipe)), output};
}

ModbusClient ConnectModbus(int port, const char* from) {
    ModbusClient c(modbus_new_tcp("127.0.0.1", port),
                   [](modbus_t* m) { modbus_close(m), modbus_free(m); });
    modbus_set_response_timeout(c.get(), 3, 0);
    const bool connected = from == nullptr
                               ? modbus_connect(c.get()) == 0
                               : modbus_set_socket(c.get(), ConnectLoopback(port, from)) == 0 &&
                                     modbus_get_socket(c.get()) >= 0;
    if (!connected) c.reset();
    return c;
}

Service::~Service() {
    if (Running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Service::Start(std::chrono::milliseconds timeout) {
    if (!EnsureJournald()) return false;
    port_ = options_.port != 0 ? options_.port : FreeLoopbackPort();
    const std::string dir = dir_.path(), config = dir + "/corvane.conf",
                      board = dir + "/board.conf";
    std::ofstream(config)
        << (!options_.config.empty()
                ? options_.config
                : "Name = \"E2E\";\nLocation = \"Loopback\";\nIP = \"127.0.0.1\";\n"
                  "MaxConnections = \"64\";\n")
        << "Port = \"" << port_ << "\";\n";
    if (!options_.board.empty()) std::ofstream(board) << options_.board;
    std::vector<char*> argv = {const_cast<char*>(CORVANE_SIM_BINARY)};
    for (auto& a : options_.args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::fflush(nullptr);
    started_ = JournalClock();
    if ((pid_ = fork()) == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        close_range(3, ~0U, 0);  // the test's descriptors must not count against the child
        setenv("CORVANE_CONFIG", config.c_str(), 1);
        options_.board.empty() ? unsetenv("CORVANE_SIM_BOARD")
                               : setenv("CORVANE_SIM_BOARD", board.c_str(), 1);
        for (const auto& [key, value] : options_.env) setenv(key.c_str(), value.c_str(), 1);
        rlimit limit{};
        if (options_.openFiles != 0 && getrlimit(RLIMIT_NOFILE, &limit) == 0) {
            limit.rlim_cur = options_.openFiles;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        signal(SIGINT, SIG_DFL);
        if (options_.pendingSignal != 0) {
            sigset_t blocked;
            sigemptyset(&blocked);
            sigaddset(&blocked, options_.pendingSignal);
            sigprocmask(SIG_BLOCK, &blocked, nullptr);
            raise(options_.pendingSignal);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid_ > 0 &&
           (!options_.waitListening ||
            (Poll(timeout, [&] { return !Running() || Listening(port_); }) && Running()));
}

bool Service::WaitStdout(const std::string& text, std::chrono::milliseconds timeout) const {
    return Poll(timeout, [&] { return Stdout().find(text) != std::string::npos; });
}

bool Service::Running() {
    if (pid_ <= 0 || status_ != -1) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) status_ = status;
    return r == 0;
}

int Service::WaitExit(std::chrono::milliseconds timeout) {
    Poll(timeout, [&] { return !Running(); });
    return status_;
}

int Service::Stop(int signal, std::chrono::milliseconds timeout) {
    if (Running()) kill(pid_, signal);
    if (pid_ > 0 && WaitExit(timeout) == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    return status_;
}

std::vector<JournalRecord> Service::Journal(const std::string& until,
                                            std::chrono::milliseconds timeout) const {
    return ReadJournal(pid_, started_, until, timeout);
}

}  // namespace testsupport
