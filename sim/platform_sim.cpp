// The OS seam of corvanebs-sim: every call goes to the simulated board.
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "control.h"
#include "sim.h"
#include "version.h"

namespace {

class SimPlatform : public Platform {
  public:
    int Open(const char* path, int flags) override { return board().Open(path, flags); }
    int Close(int fd) override { return board().Close(fd); }
    ssize_t Read(int fd, void* buffer, size_t length) override {
        return board().Read(fd, buffer, length);
    }
    ssize_t Write(int fd, const void* data, size_t length) override {
        return board().Write(fd, data, length);
    }
    int Ioctl(int fd, unsigned long request, void* arg) override {
        return board().Ioctl(fd, request, arg);
    }
    void SleepMicroseconds(unsigned long microseconds) override { board().Sleep(microseconds); }
    int RunCommand(const std::string& command) override { return board().RunCommand(command); }
    // Never resolved: the simulated ping does not leave the process.
    std::string PingHost() override { return "sim.invalid"; }
    std::string ConfigPath() override {
        const char* path = std::getenv("CORVANE_CONFIG");
        return path && *path ? path : CORVANE_CONFIG_PATH;
    }

  private:
    static sim::Board& board() { return sim::Board::Get(); }
};

std::unique_ptr<sim::ControlServer> control;

// Registered with atexit after the service's globals were built, so the
// control thread is joined and its socket file removed before they go.
void StopControl() {
    control.reset();
}

}  // namespace

Platform& os() {
    // Outlives every global, like the board it routes to.
    static SimPlatform* platform = new SimPlatform;
    return *platform;
}

int PlatformStart() {
    sim::BoardConfig board = sim::DemoBoard();
    const char* path = std::getenv("CORVANE_SIM_BOARD");
    if (path && *path) {
        std::string error;
        if (!sim::LoadBoardFile(path, &board, &error)) {
            std::fprintf(stderr, "corvanebs-sim: %s\n", error.c_str());
            return -1;
        }
    }
    sim::Board::Get().Reset(board);
    // Nobody reads the transaction log of a running simulator; keeping none
    // lets it run for days without growing.
    sim::Board::Get().SetLogLimit(0);
    const char* trace = std::getenv("CORVANE_SIM_TRACE");
    if (trace && *trace && !sim::Board::Get().SetTrace(trace)) {
        std::fprintf(stderr, "corvanebs-sim: cannot write the GPIO trace %s\n", trace);
        return -1;
    }
    StopControl();
    const char* socket = std::getenv("CORVANE_SIM_CONTROL");
    if (socket && *socket) {
        static const bool registered = (std::atexit(StopControl), true);
        (void)registered;
        control.reset(new sim::ControlServer(sim::Board::Get()));
        std::string error;
        if (control->Start(socket, &error) != 0) {
            std::fprintf(stderr, "corvanebs-sim: %s\n", error.c_str());
            return -1;
        }
    }
    return 0;
}
