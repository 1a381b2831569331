// The OS seam on the real board: every call is the system call itself.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "version.h"

namespace {

class LinuxPlatform : public Platform {
  public:
    int Open(const char* path, int flags) override { return ::open(path, flags); }
    int Close(int fd) override { return ::close(fd); }
    ssize_t Read(int fd, void* buffer, size_t length) override {
        return ::read(fd, buffer, length);
    }
    ssize_t Write(int fd, const void* data, size_t length) override {
        return ::write(fd, data, length);
    }
    int Ioctl(int fd, unsigned long request, void* arg) override {
        return ::ioctl(fd, request, arg);
    }
    void SleepMicroseconds(unsigned long microseconds) override {
        ::usleep(static_cast<useconds_t>(microseconds));
    }
    int RunCommand(const std::string& command) override;
    std::string PingHost() override { return CORVANE_PING_HOST; }
    std::string ConfigPath() override { return CORVANE_CONFIG_PATH; }
};

// Like system(), but the service keeps its SIGINT handler while the command
// runs: system() ignores SIGINT in the whole process for that time, so a stop
// request arriving during a ping would be lost. The command gets the default
// actions of both stop signals.
int LinuxPlatform::RunCommand(const std::string& command) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t child;
    int error =
        posix_spawn(&child, "/bin/sh", nullptr, &attributes, const_cast<char**>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        return -1;
    }
    int status = -1;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace

// Never destroyed: the base module's destructor runs at exit, after
// function-local statics are gone, and still unexports its pins through it.
Platform& os() {
    static LinuxPlatform* platform = new LinuxPlatform;
    return *platform;
}

// The board build has nothing to prepare before the service starts.
int PlatformStart() {
    return 0;
}
