// Runs the simulator build of the service (corvanebs-sim) as a child process
// for end-to-end tests: a configuration and a board file in a temporary
// directory, a free loopback port, standard output and error captured to
// files, and a bounded shutdown.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

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

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeLoopbackPort();

// A connected TCP socket to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);

std::string ReadFile(const std::string& path);

struct ServiceOptions {
    // Configuration file text; "%PORT%" is replaced by the chosen port.
    // Empty: the default below (127.0.0.1 and the port).
    std::string config;
    bool writeConfig = true;
    // Board file text (the default fits no extension module); empty: no
    // board file, the simulator's demo board.
    std::string board = "inputs = [0, 0, 0, 0, 0, 0, 0, 0, 0];\n";
    std::vector<std::string> args;  // command line after the program name
    std::map<std::string, std::string> env;
    int port = 0;               // 0: a free loopback port
    rlim_t openFiles = 0;       // RLIMIT_NOFILE of the child; 0: inherited
    bool waitListening = true;  // Start() returns once the port listens
};

class Service {
  public:
    explicit Service(ServiceOptions options = {});
    // Kills a child that is still running.
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Starts the child. With waitListening, true once its socket listens
    // (bounded by `timeout`); false if it exited or never listened.
    bool Start(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string& dir() const { return dir_.path(); }

    std::string Stdout() const;
    std::string Stderr() const;
    // Waits until standard output holds `text` `times` times (bounded).
    bool WaitStdout(const std::string& text, int times = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Sends `signal` and waits for the exit; kills the child after
    // `timeout`. Returns the wait status, or -1 if there was no child.
    int Stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the child to exit by itself (bounded); the wait status, or
    // -1 when it still ran after `timeout` (it is left running).
    int WaitExit(std::chrono::milliseconds timeout);
    bool Running();

  private:
    bool Listening() const;

    ServiceOptions options_;
    TempDir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace testsupport
