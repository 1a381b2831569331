// The control socket of corvanebs-sim (CORVANE_SIM_CONTROL): a person or a
// test changes the running simulated board and looks at it, one command a
// line, beside the service's request loop.
//
// Commands (numbers decimal or 0x-hexadecimal):
//   input N L            base-module input N (0-8) to level L (0/1)
//   tmp M raw I CODE     temperature module M, input I (1-16) converts CODE (0-4095)
//   aio M adc C CODE     analog module M, channel C (1-4) converts CODE (0-65535)
//   aio M din C L        analog module M, channel C digital input level L
//   aio M alert BITS     analog module M raises BITS with every conversion
//   fail DEVICE N        the next N transfers to DEVICE (i2c:0xAA or spi:N) fail with EIO;
//                        N = 0 clears the faults pending for DEVICE
//   show                 the board as the hardware shows it, one line per item
// Every answer ends with a line "ok" or "error: <why>", a blank line's too.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim.h"

namespace sim {

// Carries out one command line (without its line end) on `board`: the
// answer's lines, each ending in a line feed, the last "ok" or "error: <why>".
std::string RunControlCommand(Board& board, const std::string& line);

// The base module's and every fitted module's lines of `show`.
std::vector<std::string> ShowBoard(Board& board);

// Serves RunControlCommand on a Unix stream socket from a thread of its own.
// The thread waits on no client: each is read and answered only as far as
// it is ready, so a silent, slow or garbage-sending client holds nothing.
class ControlServer {
  public:
    // The longest command line; a longer one is answered with an error and skipped.
    static constexpr size_t kMaxLine = 256;
    // Clients served at once; one more takes the place of the longest idle.
    static constexpr size_t kMaxClients = 16;
    // Answer bytes kept for a client that does not read them; until they
    // drain, its further commands wait unread.
    static constexpr size_t kMaxPending = 64 * 1024;

    explicit ControlServer(Board& board);
    // Stops the thread, closes every client and removes the socket file.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on `path` (a stale socket file there is replaced) and starts
    // serving. 0, or -1 with a one-line reason in *error.
    int Start(const std::string& path, std::string* error);

  private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace sim
