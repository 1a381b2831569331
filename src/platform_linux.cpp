// The OS seam on the real board: every call is the system call itself.
#include "platform.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
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
    void SleepMicroseconds(unsigned long microseconds) override { ::usleep(microseconds); }
    int RunCommand(const std::string& command) override { return std::system(command.c_str()); }
    std::string PingHost() override { return CORVANE_PING_HOST; }
    std::string ConfigPath() override { return CORVANE_CONFIG_PATH; }
};

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
