// The OS seam: the only way the access layers (i2c, spi, gpio) and the base
// module's connectivity ping reach the operating system.
//
// The board build links platform_linux.cpp, which forwards every call to the
// real system call. The simulator (sim/) links its own implementation, which
// serves the same paths from chip and sysfs models. Nothing else in src/
// calls open/read/write/ioctl/usleep/system on hardware paths directly.
//
// Every call has the semantics of the system call it is named after: a
// result of -1 means failure, and errno tells why.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

class Platform {
  public:
    virtual ~Platform() = default;

    virtual int Open(const char* path, int flags) = 0;
    virtual int Close(int fd) = 0;
    virtual ssize_t Read(int fd, void* buffer, size_t length) = 0;
    virtual ssize_t Write(int fd, const void* data, size_t length) = 0;
    // arg is the ioctl's third argument: a pointer (SPI) or an integer cast
    // to a pointer (I2C_SLAVE, I2C_TENBIT).
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void SleepMicroseconds(unsigned long microseconds) = 0;

    // Runs a shell command through the C library's command runner and
    // returns its exit status (as system() does). Used for the ping only.
    virtual int RunCommand(const std::string& command) = 0;

    // Host the connectivity ping is sent to.
    virtual std::string PingHost() = 0;
    // Path of the configuration file.
    virtual std::string ConfigPath() = 0;
};

// The platform of this build: Linux on the board, the model in the simulator.
// Owned by the build's seam, it lives until the process ends.
Platform& os();

// Prepares the platform before the service starts; called first by main.
// Returns 0, or -1 after printing the reason on standard error (the
// simulator's board file could not be read). The board build returns 0.
int PlatformStart();

// A descriptor owned by its holder: closed (with ::close, not through the
// seam: sockets, pipes and epoll instances, never hardware) when the holder
// goes or takes another. -1 holds nothing.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    // Hands the descriptor over: the caller must close it.
    int Release() { return std::exchange(fd_, -1); }
    // Closes what it holds and holds `fd` instead.
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};
