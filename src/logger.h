// CorvaneLogger: the service's one logging facility, writing to the systemd
// journal with fixed code-location fields and echoing to standard output.
#pragma once

#include <string>

class CorvaneLogger {
  public:
    // Echo every record that passes the threshold to standard output.
    bool debug;
    // Threshold: a record is written only if its level is <= this value.
    int level;

    CorvaneLogger(int level, bool debug);
    ~CorvaneLogger() = default;

    // The five-character tag of a level: " C | ", " E | ", " W | ", " I | " or " D | ".
    std::string LogLevel2String(int level);

    // Journals "<tag> <message>" at priority `level` when level <= threshold,
    // and then prints the bare message to standard output if `echo` or
    // `debug` is set. The message is taken verbatim (never a format string).
    // Always returns 0.
    int Log(int level, std::string message, bool echo);
};
