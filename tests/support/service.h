// corvanebs-sim as a child process for end-to-end tests: configuration and
// board files in a temporary directory, a free loopback port, standard
// output and error captured to files, every wait bounded.
#pragma once

#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <modbus.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "journal.h"

namespace testsupport {

// A temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

int FreeLoopbackPort();  // a TCP port nothing listens on at 127.0.0.1 now
// A socket connected to 127.0.0.1:port, from the address `from` (default: the kernel's choice), or
// -1.
int ConnectLoopback(int port, const char* from = nullptr);
std::string ReadFile(const std::string& path);
int Count(const std::string& text, const std::string& what);  // occurrences of `what`
// Success when `text` holds `lines` in this order; the failure shows the text.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& lines);
int ExitCode(int status);                // of a wait status; -1 unless the child exited
std::string SocketName(int socket);      // "address:port" of this end, as the service logs it
bool Closed(int socket, int ms = 5000);  // whether the peer closes it within `ms`
// Runs a shell command (killed after 60 s): its exit status (-1 if none) and both streams.
std::pair<int, std::string> Shell(const std::string& command);

// A Unix stream socket connected (connect) or bound (bind) to `path`, or -1.
// Its sends and receives give up after 5 s: a peer that stops reading fails
// the test instead of hanging it.
int UnixSocket(const std::string& path, int (*how)(int, const sockaddr*, socklen_t) = connect);
// What control socket `s` sends until `answers` lines "ok" or "error: ..."
// came, or it closes (5 s at most).
std::string ReceiveAnswers(int s, long answers);

// A libmodbus client connected to 127.0.0.1:port (3 s response timeout), from
// `from` as above, or null.
using ModbusClient = std::unique_ptr<modbus_t, void (*)(modbus_t*)>;
ModbusClient ConnectModbus(int port, const char* from = nullptr);

struct ServiceOptions {
    std::string config;  // all but the Port line, which Start() adds; empty: on 127.0.0.1
    // No extension module; empty: the simulator's demo board.
    std::string board = "inputs = [0, 0, 0, 0, 0, 0, 0, 0, 0];\n";
    std::vector<std::string> args;  // after the program name
    std::map<std::string, std::string> env;
    int port = 0;               // 0: a free loopback port
    rlim_t openFiles = 0;       // the child's RLIMIT_NOFILE; 0: inherited
    int pendingSignal = 0;      // blocked and raised before exec: pending when the child starts
    bool waitListening = true;  // Start() returns once the port listens
};

class Service {
  public:
    explicit Service(ServiceOptions options = {}) : options_(std::move(options)) {}
    ~Service();  // kills a child still running
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // With waitListening, false unless the child listens within `timeout`.
    bool Start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    pid_t pid() const { return pid_; }
    // The child's journal records (ReadJournal), none of an earlier owner of its PID.
    std::vector<JournalRecord> Journal(
        const std::string& until = "",
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    int port() const { return port_; }
    std::string Stdout() const { return ReadFile(dir_.path() + "/stdout"); }
    std::string Stderr() const { return ReadFile(dir_.path() + "/stderr"); }
    bool WaitStdout(const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Sends `signal`, kills the child after `timeout`: its wait status, -1 without a child.
    int Stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The wait status, or -1 while the child still runs after `timeout`.
    int WaitExit(std::chrono::milliseconds timeout);
    bool Running();

  private:
    ServiceOptions options_;
    TempDir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    uint64_t started_ = 0;
    int status_ = -1;
};

}  // namespace testsupport
