// Test access to the real systemd journal: makes sure a journald runs, and
// reads records back through the journal API, filtered by the writing process.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

struct JournalRecord {
    int priority = -1;
    std::string message, codeFile, codeLine, codeFunc;
    std::map<std::string, std::string> fields;  // every field
};

// Starts /lib/systemd/systemd-journald when no journal socket exists and
// waits for it. Returns false if no journal can be had.
bool EnsureJournald();
// Writes a unique marker record from this process and returns its text.
std::string JournalMark();
// Microseconds since the epoch, as the journal stamps its records.
uint64_t JournalClock();

// The records of process `pid` written at or after `since` (JournalClock;
// a PID is reused, and the journal remembers its earlier owners), in
// journal order. Waits (bounded by `timeout`) until a record whose MESSAGE
// contains `until` is there; with an empty `until`, until there is one.
std::vector<JournalRecord> ReadJournal(
    pid_t pid, uint64_t since, const std::string& until = "",
    std::chrono::milliseconds timeout = std::chrono::seconds(10));
// The records of this process after the marker `mark` (see JournalMark),
// waiting as ReadJournal does for `until`.
std::vector<JournalRecord> JournalSince(
    const std::string& mark, const std::string& until,
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

using Lines = std::vector<std::string>;
// This process's journal texts of `priority` that contain `part`, since `mark`.
Lines JournalLines(const std::string& mark, int priority, const std::string& part);
// The MESSAGE texts of some records.
std::vector<std::string> Messages(const std::vector<JournalRecord>& records);

}  // namespace testsupport
