#include "logger.h"

#include <cstdio>
#include <iostream>
#include <syslog.h>

// Before <systemd/sd-journal.h>: keep the location macros of the header out
// of the way, the location fields below are spelled out.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace {

// Every record carries the same code location, whoever called Log: the
// journal text already names the subsystem, and tools that group records by
// CODE_FILE/CODE_LINE see one stable source.
constexpr const char kCodeFile[] = "CODE_FILE=" __FILE__;
constexpr const char kCodeLine[] = "CODE_LINE=65";
constexpr const char kCodeFunc[] = "Log";

// The journal accepts the syslog priorities 0-7 only and drops anything
// else; clamp so that an out-of-range level still leaves a record.
int JournalPriority(int level) {
    if (level < 0) return 0;
    if (level > 7) return 7;
    return level;
}

}  // namespace

CorvaneLogger::CorvaneLogger(int threshold, bool echoAll) : debug(echoAll), level(threshold) {}

std::string CorvaneLogger::LogLevel2String(int recordLevel) {
    if (recordLevel <= LOG_CRIT) return " C | ";
    switch (recordLevel) {
        case LOG_ERR:
            return " E | ";
        case LOG_WARNING:
            return " W | ";
        case LOG_DEBUG:
            return " D | ";
        default:
            return " I | ";
    }
}

int CorvaneLogger::Log(int recordLevel, std::string message, bool echo) {
    if (recordLevel > level) return 0;

    std::string text = LogLevel2String(recordLevel) + " " + message;
    // "%s": the text is data, never a format.
    sd_journal_print_with_location(JournalPriority(recordLevel), kCodeFile, kCodeLine, kCodeFunc,
                                   "%s", text.c_str());

    if (echo || debug) {
        std::fwrite(message.data(), 1, message.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return 0;
}
