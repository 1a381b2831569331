#include "journal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace testsupport {
namespace {

// A journal socket file can outlive its journald; only a successful
// connect tells that someone is listening.
bool Listening(const char* path) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Parses one line of `journalctl -o json`: a flat object whose values are
// strings, numbers, nulls or arrays (binary fields); only strings are kept.
std::map<std::string, std::string> ParseJsonLine(const std::string& line) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    };
    auto parseString = [&](std::string* s) {
        ++i;  // opening quote
        while (i < line.size() && line[i] != '"') {
            char c = line[i++];
            if (c != '\\' || i >= line.size()) {
                s->push_back(c);
                continue;
            }
            // journalctl escapes only control characters as \uXXXX.
            static const std::string kLetters = "nrtbf", kControls = "\n\r\t\b\f";
            const char e = line[i++];
            const size_t special = kLetters.find(e);
            if (e == 'u') {
                s->push_back(static_cast<char>(std::stoul(line.substr(i, 4), nullptr, 16)));
                i += 4;
            } else {
                s->push_back(special != std::string::npos ? kControls[special] : e);
            }
        }
        ++i;  // closing quote
    };
    skipSpace();
    if (i >= line.size() || line[i] != '{') return out;
    ++i;
    while (i < line.size()) {
        skipSpace();
        if (line[i] == '}') break;
        if (line[i] == ',') {
            ++i;
            continue;
        }
        std::string key;
        parseString(&key);
        skipSpace();
        ++i;  // colon
        skipSpace();
        if (line[i] == '"') {
            std::string value;
            parseString(&value);
            out[key] = value;
        } else if (line[i] == '[') {
            while (i < line.size() && line[i] != ']') ++i;
            ++i;
        } else {
            while (i < line.size() && line[i] != ',' && line[i] != '}') ++i;
        }
    }
    return out;
}

std::vector<JournalRecord> Query(pid_t pid, uint64_t since = 0) {
    std::vector<JournalRecord> records;
    std::string command = "journalctl --no-pager -q -o json _PID=" + std::to_string(pid);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return records;
    std::string line;
    char chunk[4096];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) {
        line += chunk;
        if (line.empty() || line.back() != '\n') continue;
        auto fields = ParseJsonLine(line);
        line.clear();
        JournalRecord r;
        r.priority = fields.count("PRIORITY") ? std::atoi(fields["PRIORITY"].c_str()) : -1;
        r.message = fields["MESSAGE"];
        r.codeFile = fields["CODE_FILE"];
        r.codeLine = fields["CODE_LINE"];
        r.codeFunc = fields["CODE_FUNC"];
        r.fields = std::move(fields);
        if (std::strtoull(r.fields["__REALTIME_TIMESTAMP"].c_str(), nullptr, 10) < since) continue;
        records.push_back(std::move(r));
    }
    ::pclose(pipe);
    return records;
}

bool Contains(const std::vector<JournalRecord>& records, const std::string& until) {
    for (const auto& r : records) {
        if (until.empty() || r.message.find(until) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

bool EnsureJournald() {
    static bool ok = [] {
        const char* socket = "/run/systemd/journal/socket";
        if (Listening(socket)) return true;
        pid_t child = ::fork();
        if (child == 0) {
            ::setsid();
            // A second fork so the journal outlives the test and is never a zombie of it.
            if (::fork() != 0) ::_exit(0);
            std::freopen("/dev/null", "r", stdin);
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            ::execl("/lib/systemd/systemd-journald", "systemd-journald", nullptr);
            ::_exit(127);
        }
        if (child > 0) ::waitpid(child, nullptr, 0);
        for (int i = 0; i < 100 && !Listening(socket); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return Listening(socket);
    }();
    return ok;
}

std::string JournalMark() {
    static int counter = 0;
    std::string mark = "corvane-test-mark " + std::to_string(::getpid()) + "-" +
                       std::to_string(++counter) + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    sd_journal_print_with_location(7, "CODE_FILE=journal.cpp", "CODE_LINE=0", "JournalMark", "%s",
                                   mark.c_str());
    return mark;
}

uint64_t JournalClock() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

std::vector<JournalRecord> ReadJournal(pid_t pid, uint64_t since, const std::string& until,
                                       std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto records = Query(pid, since);
        if (Contains(records, until) || std::chrono::steady_clock::now() >= deadline) {
            return records;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::vector<JournalRecord> JournalSince(const std::string& mark, const std::string& until,
                                        std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto records = Query(::getpid());
        std::vector<JournalRecord> after;
        bool seen = false;
        for (auto& r : records) {
            if (seen) after.push_back(r);
            if (r.message == mark) seen = true;
        }
        if ((seen && Contains(after, until)) || std::chrono::steady_clock::now() >= deadline) {
            return after;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

Lines JournalLines(const std::string& mark, int priority, const std::string& part) {
    Lines out;
    for (const auto& r : JournalSince(mark, JournalMark())) {
        if (r.priority == priority && r.message.find(part) != std::string::npos) {
            out.push_back(r.message);
        }
    }
    return out;
}

std::vector<std::string> Messages(const std::vector<JournalRecord>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.message);
    return out;
}

}  // namespace testsupport
