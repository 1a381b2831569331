// Single GPIO pins through sysfs. Nothing is cached: the LED thread and the
// request loop call in alike, and a layer without state needs no lock.
#include "gpio.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "platform.h"

namespace {

constexpr char kExportPath[] = "/sys/class/gpio/export";
constexpr char kUnexportPath[] = "/sys/class/gpio/unexport";

// Four bytes hold "999" and its terminator; larger or negative numbers would
// not fit, so they are refused before any file is touched.
bool PinText(int pin, char (&text)[4]) {
    if (pin < 0 || pin > 999) return false;
    std::snprintf(text, sizeof text, "%d", pin);
    return true;
}

bool PinPath(int pin, const char* attribute, char (&path)[60]) {
    if (pin < 0 || pin > 999) return false;
    std::snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/%s", pin, attribute);
    return true;
}

// A sysfs file open for the length of one call, closed on every way out.
class SysfsFile {
  public:
    SysfsFile(const char* path, int flags) : fd(os().Open(path, flags)) {}
    ~SysfsFile() {
        if (fd >= 0) os().Close(fd);
    }
    SysfsFile(const SysfsFile&) = delete;
    SysfsFile& operator=(const SysfsFile&) = delete;

    bool IsOpen() const { return fd >= 0; }
    ssize_t Write(const char* text, size_t length) { return os().Write(fd, text, length); }
    ssize_t Read(char* buffer, size_t length) { return os().Read(fd, buffer, length); }

  private:
    int fd;
};

// Writes the pin number into the export or unexport file. false only when
// the file cannot be opened: the kernel's answer to the write is not ours to
// judge (an already exported pin refuses a second export).
bool WritePinNumber(const char* controlPath, int pin) {
    char text[4];
    if (!PinText(pin, text)) return false;
    SysfsFile file(controlPath, O_WRONLY);
    if (!file.IsOpen()) return false;
    file.Write(text, std::strlen(text));
    return true;
}

}  // namespace

int GPIO_Init(int pin, int direction) {
    if (!WritePinNumber(kExportPath, pin)) {
        std::printf("Export Failed: Pin%d\n", pin);
        return -1;
    }
    return GPIO_Direction(pin, direction);
}

int GPIO_Unexport(int pin) {
    if (!WritePinNumber(kUnexportPath, pin)) {
        std::printf("unexport Failed: Pin%d\n", pin);
        return -1;
    }
    return 0;
}

int GPIO_Direction(int pin, int direction) {
    char path[60];
    if (!PinPath(pin, "direction", path)) {
        std::printf("Set Direction failed: Pin%d\n", pin);
        return -1;
    }
    SysfsFile file(path, O_WRONLY);
    if (!file.IsOpen()) {
        std::printf("Set Direction failed: Pin%d\n", pin);
        return -1;
    }
    ssize_t written = direction ? file.Write("out", 3) : file.Write("in", 2);
    if (written < 0) {
        std::printf("failed to set direction!\r\n");
        return -1;
    }
    return 0;
}

int GPIO_Read(int pin) {
    char path[60];
    if (!PinPath(pin, "value", path)) {
        std::printf("Read failed Pin%d\n", pin);
        return -1;
    }
    SysfsFile file(path, O_RDONLY);
    if (!file.IsOpen()) {
        std::printf("Read failed Pin%d\n", pin);
        return -1;
    }
    char text[4] = {0, 0, 0, 0};
    ssize_t length = file.Read(text, 3);
    if (length < 0) {
        std::printf("failed to read value!\n");
        return -1;
    }
    int value = 0;
    for (ssize_t i = 0; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + (text[i] - '0');
    return value;
}

int GPIO_Write(int pin, int value) {
    char path[60];
    if (!PinPath(pin, "value", path)) {
        std::printf("Write failed : Pin%d,value = %d\n", pin, value);
        return -1;
    }
    SysfsFile file(path, O_WRONLY);
    if (!file.IsOpen()) {
        std::printf("Write failed : Pin%d,value = %d\n", pin, value);
        return -1;
    }
    if (file.Write(value ? "1" : "0", 1) < 0) {
        std::printf("failed to write value!\n");
        return -1;
    }
    return 0;
}
