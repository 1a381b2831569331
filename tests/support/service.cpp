#include "service.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "journal.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Inodes of the sockets in /proc/net/tcp listening on `port`.
std::vector<std::string> ListeningInodes(int port) {
    std::vector<std::string> inodes;
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);  // header
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
            inodes.push_back(inode);
        }
    }
    return inodes;
}

// Descriptors the test process holds (client sockets of load tests among
// them) must not reach the service: they would count against its limit.
void CloseInheritedDescriptors() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
    struct rlimit limit;
    rlim_t top = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    for (rlim_t fd = 3; fd < top; ++fd) close(static_cast<int>(fd));
}

}  // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/corvane-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
    if (path_ == "/tmp") return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

int FreeLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t size = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
        port = ntohs(a.sin_port);
    }
    close(s);
    return port;
}

int ConnectLoopback(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

Service::Service(ServiceOptions options) : options_(std::move(options)) {}

Service::~Service() {
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Service::Start(std::chrono::milliseconds timeout) {
    EnsureJournald();
    port_ = options_.port != 0 ? options_.port : FreeLoopbackPort();
    const std::string config = dir() + "/corvane.conf";
    const std::string board = dir() + "/board.conf";
    if (options_.writeConfig) {
        std::string text = options_.config.empty()
                               ? "Name = \"E2E\";\nLocation = \"Loopback\";\nIP = \"127.0.0.1\";\n"
                                 "Port = \"%PORT%\";\nMaxConnections = \"64\";\n"
                               : options_.config;
        WriteFile(config, Replace(text, "%PORT%", std::to_string(port_)));
    }
    if (!options_.board.empty()) WriteFile(board, options_.board);

    std::vector<std::string> args = {CORVANE_SIM_BINARY};
    args.insert(args.end(), options_.args.begin(), options_.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = dir() + "/stdout";
    const std::string err = dir() + "/stderr";

    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || n < 0) _exit(126);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        CloseInheritedDescriptors();
        setenv("CORVANE_CONFIG", config.c_str(), 1);
        if (!options_.board.empty()) {
            setenv("CORVANE_SIM_BOARD", board.c_str(), 1);
        } else {
            unsetenv("CORVANE_SIM_BOARD");
        }
        for (const auto& [key, value] : options_.env) setenv(key.c_str(), value.c_str(), 1);
        if (options_.openFiles != 0) {
            struct rlimit limit;
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = options_.openFiles;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        signal(SIGINT, SIG_DFL);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid_ < 0) return false;
    if (!options_.waitListening) return true;

    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (Listening()) return true;
        if (!Running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool Service::Listening() const {
    const auto inodes = ListeningInodes(port_);
    if (inodes.empty()) return false;
    const std::string fdDir = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* d = opendir(fdDir.c_str());
    if (d == nullptr) return false;
    bool found = false;
    while (dirent* entry = readdir(d)) {
        char target[64];
        const std::string link = fdDir + "/" + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        for (const auto& inode : inodes) {
            if (std::string(target) == "socket:[" + inode + "]") found = true;
        }
    }
    closedir(d);
    return found;
}

std::string Service::Stdout() const {
    return ReadFile(dir() + "/stdout");
}
std::string Service::Stderr() const {
    return ReadFile(dir() + "/stderr");
}

bool Service::WaitStdout(const std::string& text, int times,
                         std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::string out = Stdout();
        int seen = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) {
            ++seen;
        }
        if (seen >= times) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool Service::Running() {
    if (pid_ <= 0 || status_ != -1) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        return false;
    }
    return r == 0;
}

int Service::WaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Running()) {
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

int Service::Stop(int signal, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    if (Running()) kill(pid_, signal);
    if (WaitExit(timeout) == -1 && status_ == -1) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = status;
    }
    return status_;
}

}  // namespace testsupport
