#include "journal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace testsupport {
namespace {

using Records = std::vector<JournalRecord>;

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

// The records of process `pid` stamped at or after `since`, in journal order.
Records Query(pid_t pid, uint64_t since = 0) {
    Records records;
    sd_journal* journal = nullptr;
    if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) return records;
    const std::string match = "_PID=" + std::to_string(pid);
    sd_journal_add_match(journal, match.data(), match.size());
    sd_journal_set_data_threshold(journal, 0);
    SD_JOURNAL_FOREACH(journal) {
        uint64_t stamp = 0;
        if (sd_journal_get_realtime_usec(journal, &stamp) < 0 || stamp < since) continue;
        JournalRecord r;
        const void* data = nullptr;
        size_t size = 0;
        SD_JOURNAL_FOREACH_DATA(journal, data, size) {
            const std::string field(static_cast<const char*>(data), size);
            const size_t equals = field.find('=');
            if (equals != std::string::npos)
                r.fields[field.substr(0, equals)] = field.substr(equals + 1);
        }
        r.priority = r.fields.count("PRIORITY") ? std::atoi(r.fields["PRIORITY"].c_str()) : -1;
        r.message = r.fields["MESSAGE"];
        r.codeFile = r.fields["CODE_FILE"];
        r.codeLine = r.fields["CODE_LINE"];
        r.codeFunc = r.fields["CODE_FUNC"];
        records.push_back(std::move(r));
    }
    sd_journal_close(journal);
    return records;
}

// Repeats `query` until a record's MESSAGE contains `until` (any record for an
// empty one) or `timeout` has passed; the last answer.
Records Await(const std::function<Records()>& query, const std::string& until,
              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Records records = query();
        for (const auto& r : records)
            if (r.message.find(until) != std::string::npos) return records;
        if (std::chrono::steady_clock::now() >= deadline) return records;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

bool EnsureJournald() {
    static bool ok = [] {
        const char* socket = "/run/systemd/journal/socket";
        if (Listening(socket)) return true;
        // In a session of its own, so that the journal outlives the test.
        if (std::system("setsid -f /lib/systemd/systemd-journald </dev/null >/dev/null 2>&1") != 0)
            return false;
        for (int i = 0; i < 100 && !Listening(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return Listening(socket);
    }();
    return ok;
}

std::string JournalMark() {
    static int counter = 0;
    std::string mark = "corvane-test-mark " + std::to_string(::getpid()) + "-" +
                       std::to_string(++counter) + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    sd_journal_print_with_location(LOG_DEBUG, "CODE_FILE=journal.cpp", "CODE_LINE=0", "JournalMark",
                                   "%s", mark.c_str());
    return mark;
}

uint64_t JournalClock() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

std::vector<JournalRecord> ReadJournal(pid_t pid, uint64_t since, const std::string& until,
                                       std::chrono::milliseconds timeout) {
    return Await([&] { return Query(pid, since); }, until, timeout);
}

std::vector<JournalRecord> JournalSince(const std::string& mark, const std::string& until,
                                        std::chrono::milliseconds timeout) {
    const auto after = [&] {
        Records records = Query(::getpid());
        for (size_t i = 0; i < records.size(); ++i)
            if (records[i].message == mark) return Records(records.begin() + i + 1, records.end());
        return Records();
    };
    return Await(after, until, timeout);
}

Lines JournalLines(const std::string& mark, int priority, const std::string& part) {
    Lines out;
    for (const auto& r : JournalSince(mark, JournalMark())) {
        if (r.priority == priority && r.message.find(part) != std::string::npos)
            out.push_back(r.message);
    }
    return out;
}

std::vector<std::string> Messages(const std::vector<JournalRecord>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.message);
    return out;
}

}  // namespace testsupport
