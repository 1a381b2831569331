// CorvaneLogger: the service's one logging facility, writing to the systemd
// journal with fixed code-location fields and echoing to standard output.
//
// Where diagnostics go. The journal, through Log, gets everything an
// operator follows: the banner and lifecycle (level 5), errors and warnings
// of the server, the module manager and the drivers (ModuleError), and the
// connection and request traffic (level 6, kept only at threshold 6 or
// above, -d). Standard output repeats each journaled record when the
// logger's debug is on (the service's default) or the caller asks for it,
// and it also carries a few lines of its own that never reach the journal:
// the request decoder's values and its "to many registers requestet", the
// analog driver's alert lines, the GPIO layer's failures, the configuration
// reader's I/O error, and the command line's help, version and debug lines.
// Standard error carries what stops or hinders the start and what the
// system reports: configuration files or settings the server cannot start
// with, the parse error, the listen failure, the simulator's board file,
// and the perror lines of the request loop (wait, accept, loop setup) and
// of the SPI layer.
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
