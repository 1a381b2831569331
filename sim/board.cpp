// The simulated board: sysfs GPIO, the I2C bus and the spidev devices served
// from models, every call recorded in the transaction log.
#include "sim.h"

#include <linux/spi/spidev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "models.h"

namespace sim {

namespace {

constexpr char kGpioRoot[] = "/sys/class/gpio/";
constexpr char kI2cPrefix[] = "/dev/i2c-";
constexpr char kI2cBus[] = "/dev/i2c-1";
constexpr char kSpiPrefix[] = "/dev/spidev";

// The i2c-dev requests the bus model answers.
constexpr unsigned long kI2cSlave = 0x0703;
constexpr unsigned long kI2cTenBit = 0x0704;

// The base board's GPIO controller has lines 0-511.
constexpr int kGpioLines = 512;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Parses a sysfs number the way the kernel's kstrtol does for these files:
// an optional sign, decimal digits and at most one trailing line end.
bool ParseNumber(const uint8_t* data, size_t length, long* value) {
    if (length > 0 && data[length - 1] == '\n') --length;
    size_t i = 0;
    bool negative = false;
    if (i < length && (data[i] == '-' || data[i] == '+')) negative = data[i++] == '-';
    if (i == length || length > 12) return false;
    long result = 0;
    for (; i < length; ++i) {
        if (data[i] < '0' || data[i] > '9') return false;
        result = result * 10 + (data[i] - '0');
    }
    *value = negative ? -result : result;
    return true;
}

// sysfs attribute texts compare with an optional trailing line end.
bool SysfsEquals(const uint8_t* data, size_t length, const char* word) {
    if (length > 0 && data[length - 1] == '\n') --length;
    return length == std::strlen(word) && std::memcmp(data, word, length) == 0;
}

}  // namespace

struct Board::State {
    enum class Kind { Export, Unexport, Direction, Value, I2c, Spi };

    struct Pin {
        std::string direction = "in";
        int level = 0;
        unsigned long generation = 0;  // which export this is; stale descriptors see ENODEV
    };

    struct File {
        Kind kind;
        std::string path;
        int accessMode;
        unsigned long boardGeneration;  // descriptors survive Reset but lose their device
        int pin = -1;
        unsigned long pinGeneration = 0;
        off_t offset = 0;
        uint16_t address = 0;
        bool tenBit = false;
        int spiNumber = -1;
    };

    struct Fault {
        Op op;
        std::string prefix;
        int count;
        int error;
    };

    // Pending failures of one device's transfers.
    struct DeviceFault {
        bool spi;
        int number;  // bus address or SPI device number
        int count;
        int after;  // transfers that still go through first
    };

    BoardConfig config;
    unsigned long boardGeneration = 0;
    unsigned long exportCounter = 0;
    std::map<int, Pin> pins;
    std::map<int, int> driven;  // levels applied to input lines from outside
    std::vector<int> unexports;
    std::map<uint16_t, std::shared_ptr<I2cChip>> i2cChips;
    std::map<int, std::shared_ptr<SpiDevice>> spiDevices;
    std::map<int, File> files;
    // The newest transactions; the oldest are dropped beyond kLogLimit so a
    // long-running simulator does not grow without bound.
    std::deque<Transaction> log;
    size_t logLimit = kLogLimit;
    FILE* trace = nullptr;
    std::vector<Fault> faults;
    std::vector<DeviceFault> deviceFaults;
    int pingStatus = 0;
    int pingCount = 0;
    double timeScale = 1.0;

    // Consumes one injected fault for this call, if any: its errno, else 0.
    int TakeFault(Op op, const std::string& path) {
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (it->op != op || !StartsWith(path, it->prefix.c_str())) continue;
            int error = it->error;
            if (--it->count <= 0) faults.erase(it);
            return error;
        }
        return 0;
    }

    // Consumes one injected failure of this device's transfers, if any.
    bool TakeDeviceFault(bool spi, int number) {
        for (auto it = deviceFaults.begin(); it != deviceFaults.end(); ++it) {
            if (it->spi != spi || it->number != number) continue;
            if (it->after > 0) {
                --it->after;
                return false;
            }
            if (--it->count <= 0) deviceFaults.erase(it);
            return true;
        }
        return false;
    }

    void Record(Op op, const std::string& path, int fd, long result, std::vector<uint8_t> data = {},
                unsigned long request = 0, unsigned long argument = 0) {
        Transaction t;
        t.op = op;
        t.path = path;
        t.fd = fd;
        t.request = request;
        t.argument = argument;
        t.data = std::move(data);
        t.result = result;
        if (logLimit == 0) return;
        log.push_back(std::move(t));
        while (log.size() > logLimit) log.pop_front();
    }

    void Trace(const char* what, long a, long b) {
        if (trace == nullptr) return;
        std::fprintf(trace, "%s %ld %ld\n", what, a, b);
        std::fflush(trace);
    }

    int InitialLevel(int pin) const {
        auto it = driven.find(pin);
        return it == driven.end() ? 0 : it->second;
    }

    // Resolves a path under /sys/class/gpio/ into the file kind and pin, or
    // returns the errno of opening it.
    int ResolveGpio(const std::string& path, int accessMode, Kind* kind, int* pin) const {
        std::string rest = path.substr(std::strlen(kGpioRoot));
        bool reads = accessMode != O_WRONLY;
        if (rest == "export" || rest == "unexport") {
            // Both files are write-only (mode 0200) with no read handler.
            if (reads) return EACCES;
            *kind = rest == "export" ? Kind::Export : Kind::Unexport;
            return 0;
        }
        if (rest.compare(0, 4, "gpio") != 0) return ENOENT;
        size_t slash = rest.find('/');
        std::string number = rest.substr(4, slash == std::string::npos ? slash : slash - 4);
        if (number.empty() || number.size() > 4 ||
            number.find_first_not_of("0123456789") != std::string::npos ||
            (number.size() > 1 && number[0] == '0'))
            return ENOENT;
        int n = std::stoi(number);
        if (pins.count(n) == 0) return ENOENT;
        if (slash == std::string::npos) return EISDIR;
        std::string attribute = rest.substr(slash + 1);
        if (attribute == "direction") {
            *kind = Kind::Direction;
        } else if (attribute == "value") {
            *kind = Kind::Value;
        } else {
            return ENOENT;
        }
        *pin = n;
        return 0;
    }

    int WriteGpio(File& file, const uint8_t* data, size_t length) {
        long number = 0;
        switch (file.kind) {
            case Kind::Export: {
                if (!ParseNumber(data, length, &number) || number < 0 || number >= kGpioLines)
                    return Fail(EINVAL);
                int pin = static_cast<int>(number);
                if (pins.count(pin)) return Fail(EBUSY);
                Pin& p = pins[pin];
                p.level = InitialLevel(pin);
                p.generation = ++exportCounter;
                Trace("export", pin, 0);
                return static_cast<int>(length);
            }
            case Kind::Unexport: {
                if (!ParseNumber(data, length, &number)) return Fail(EINVAL);
                auto it = pins.find(static_cast<int>(number));
                if (number < 0 || number >= kGpioLines || it == pins.end()) return Fail(EINVAL);
                pins.erase(it);
                unexports.push_back(static_cast<int>(number));
                Trace("unexport", number, 0);
                return static_cast<int>(length);
            }
            case Kind::Direction:
            case Kind::Value: {
                auto it = pins.find(file.pin);
                if (it == pins.end() || it->second.generation != file.pinGeneration)
                    return Fail(ENODEV);
                Pin& p = it->second;
                if (file.kind == Kind::Direction) {
                    if (SysfsEquals(data, length, "in")) {
                        p.direction = "in";
                        p.level = InitialLevel(file.pin);
                    } else if (SysfsEquals(data, length, "out")) {
                        // The kernel drives a line low when it becomes an output.
                        p.direction = "out";
                        p.level = 0;
                    } else {
                        return Fail(EINVAL);
                    }
                } else {
                    if (p.direction != "out") return Fail(EPERM);
                    if (!ParseNumber(data, length, &number)) return Fail(EINVAL);
                    p.level = number != 0;
                    Trace("gpio", file.pin, p.level);
                }
                return static_cast<int>(length);
            }
            default:
                return Fail(EINVAL);
        }
    }

    ssize_t ReadGpio(File& file, uint8_t* buffer, size_t length) {
        auto it = pins.find(file.pin);
        if (it == pins.end() || it->second.generation != file.pinGeneration) return Fail(ENODEV);
        std::string text =
            (file.kind == Kind::Value ? std::to_string(it->second.level) : it->second.direction) +
            "\n";
        if (file.offset >= static_cast<off_t>(text.size())) return 0;
        size_t n = std::min(length, text.size() - static_cast<size_t>(file.offset));
        std::memcpy(buffer, text.data() + file.offset, n);
        file.offset += static_cast<off_t>(n);
        return static_cast<ssize_t>(n);
    }
};

Board& Board::Get() {
    // Never destroyed: global drivers unexport their pins in their
    // destructors, after function-local statics may already be gone.
    static Board* board = new Board;
    return *board;
}

Board::Board() : state(new State) {
    state->config = DemoBoard();
}

void Board::Reset(const BoardConfig& config) {
    {
        // Models are released after the lock is dropped: their destructors
        // may call back into the board.
        std::map<uint16_t, std::shared_ptr<I2cChip>> oldChips;
        std::map<int, std::shared_ptr<SpiDevice>> oldDevices;
        std::lock_guard<std::mutex> lock(mutex);
        State& s = *state;
        s.config = config;
        ++s.boardGeneration;
        s.pins.clear();
        s.driven.clear();
        for (int i = 0; i < 9; ++i) s.driven[kInputPins[i]] = config.inputs[i] != 0;
        s.unexports.clear();
        oldChips.swap(s.i2cChips);
        oldDevices.swap(s.spiDevices);
        s.log.clear();
        s.faults.clear();
        s.deviceFaults.clear();
        s.pingStatus = 0;
        s.pingCount = 0;
        s.timeScale = 1.0;
        s.logLimit = kLogLimit;
    }
    for (const PlannedFault& fault : config.faults)
        FailDevice(fault.device, fault.count, fault.after);
    for (int n : config.pwm) InstallPwmModule(*this, n - 1);
    for (int n : config.relay) InstallRelayModule(*this, n - 1);
    for (int n : config.temperature) InstallTemperatureModule(*this, config, n - 1);
    for (int n : config.analog) InstallAnalogModule(*this, config, n - 1);
}

const BoardConfig& Board::Config() const {
    std::lock_guard<std::mutex> lock(mutex);
    return state->config;
}

bool Board::IsExported(int pin) const {
    std::lock_guard<std::mutex> lock(mutex);
    return state->pins.count(pin) != 0;
}

std::string Board::Direction(int pin) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = state->pins.find(pin);
    return it == state->pins.end() ? "" : it->second.direction;
}

int Board::Level(int pin) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = state->pins.find(pin);
    return it == state->pins.end() ? state->InitialLevel(pin) : it->second.level;
}

void Board::SetInput(int pin, int level) {
    std::lock_guard<std::mutex> lock(mutex);
    state->driven[pin] = level != 0;
    auto it = state->pins.find(pin);
    if (it != state->pins.end() && it->second.direction == "in") it->second.level = level != 0;
}

std::vector<int> Board::Unexports() const {
    std::lock_guard<std::mutex> lock(mutex);
    return state->unexports;
}

void Board::AddI2cChip(uint16_t address, std::shared_ptr<I2cChip> chip) {
    std::lock_guard<std::mutex> lock(mutex);
    state->i2cChips[address] = std::move(chip);
}

void Board::AddSpiDevice(int number, std::shared_ptr<SpiDevice> device) {
    std::lock_guard<std::mutex> lock(mutex);
    state->spiDevices[number] = std::move(device);
}

std::shared_ptr<I2cChip> Board::I2cChipAt(uint16_t address) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = state->i2cChips.find(address);
    return it == state->i2cChips.end() ? nullptr : it->second;
}

std::shared_ptr<SpiDevice> Board::SpiDeviceAt(int number) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = state->spiDevices.find(number);
    return it == state->spiDevices.end() ? nullptr : it->second;
}

bool Board::SetTrace(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    if (state->trace != nullptr) std::fclose(state->trace);
    state->trace = std::fopen(path.c_str(), "ae");
    return state->trace != nullptr;
}

std::vector<Transaction> Board::Log() const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::vector<Transaction>(state->log.begin(), state->log.end());
}

void Board::SetLogLimit(size_t limit) {
    std::lock_guard<std::mutex> lock(mutex);
    state->logLimit = limit;
    while (state->log.size() > limit) state->log.pop_front();
}

size_t Board::LogLimit() const {
    std::lock_guard<std::mutex> lock(mutex);
    return state->logLimit;
}

void Board::ClearLog() {
    std::lock_guard<std::mutex> lock(mutex);
    state->log.clear();
}

int Board::OpenDescriptors() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(state->files.size());
}

void Board::FailNext(Op op, const std::string& pathPrefix, int count, int error) {
    if (count <= 0) return;
    std::lock_guard<std::mutex> lock(mutex);
    state->faults.push_back({op, pathPrefix, count, error});
}

namespace {

// "i2c:0xAA" (a 7-bit bus address, as the drivers use) or "spi:N" (N 0-7).
bool ParseDevice(const std::string& device, bool* spi, int* number) {
    *spi = device.compare(0, 4, "spi:") == 0;
    if (!*spi && device.compare(0, 4, "i2c:") != 0) return false;
    std::string rest = device.substr(4);
    const char* digits = *spi ? "01234567" : "0123456789abcdefABCDEF";
    size_t start = *spi ? 0 : 2;
    if (!*spi && rest.compare(0, 2, "0x") != 0) return false;
    if (rest.size() <= start || rest.size() > start + (*spi ? 1 : 4) ||
        rest.find_first_not_of(digits, start) != std::string::npos)
        return false;
    *number = std::stoi(rest.substr(start), nullptr, *spi ? 10 : 16);
    return *spi || *number <= 0x7f;
}

}  // namespace

bool Board::ValidDevice(const std::string& device) {
    bool spi;
    int number;
    return ParseDevice(device, &spi, &number);
}

bool Board::FailDevice(const std::string& device, int count, int after) {
    bool spi;
    int value;
    if (!ParseDevice(device, &spi, &value)) return false;
    std::lock_guard<std::mutex> lock(mutex);
    auto& faults = state->deviceFaults;
    if (count <= 0) {
        faults.erase(std::remove_if(faults.begin(), faults.end(),
                                    [&](const State::DeviceFault& f) {
                                        return f.spi == spi && f.number == value;
                                    }),
                     faults.end());
        return true;
    }
    faults.push_back({spi, value, count, after < 0 ? 0 : after});
    return true;
}

void Board::SetPingStatus(int status) {
    std::lock_guard<std::mutex> lock(mutex);
    state->pingStatus = status;
}

int Board::PingCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return state->pingCount;
}

void Board::SetTimeScale(double scale) {
    std::lock_guard<std::mutex> lock(mutex);
    state->timeScale = scale < 0 ? 0 : scale;
}

int Board::Open(const char* path, int flags) {
    std::string name = path ? path : "";
    bool gpio = StartsWith(name, kGpioRoot);
    bool i2c = StartsWith(name, kI2cPrefix);
    bool spi = StartsWith(name, kSpiPrefix);
    if (!gpio && !i2c && !spi) return ::open(path, flags);

    std::lock_guard<std::mutex> lock(mutex);
    State& s = *state;
    int accessMode = flags & O_ACCMODE;
    State::Kind kind = State::Kind::I2c;
    int pin = -1;
    int spiNumber = -1;
    int error = s.TakeFault(Op::Open, name);
    if (error == 0) {
        if (gpio) {
            error = s.ResolveGpio(name, accessMode, &kind, &pin);
        } else if (i2c) {
            error = name == kI2cBus && s.config.i2c_bus ? 0 : ENOENT;
        } else {
            kind = State::Kind::Spi;
            std::string rest = name.substr(std::strlen(kSpiPrefix));
            if (rest.size() == 3 && rest.compare(0, 2, "0.") == 0 && rest[2] >= '0' &&
                rest[2] <= '7' && s.spiDevices.count(rest[2] - '0')) {
                spiNumber = rest[2] - '0';
            } else {
                error = ENOENT;
            }
        }
    }
    // A real descriptor number stands behind every simulated one, so no
    // other open in the process can be handed the same number.
    int fd = error ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (error == 0 && fd < 0) error = errno;
    if (error == 0) {
        State::File file{kind, name, accessMode, s.boardGeneration};
        file.pin = pin;
        if (pin >= 0) file.pinGeneration = s.pins[pin].generation;
        file.spiNumber = spiNumber;
        s.files.emplace(fd, file);
    }
    s.Record(Op::Open, name, fd, fd, {}, 0, static_cast<unsigned long>(flags));
    if (error) errno = error;
    return fd;
}

int Board::Close(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    State& s = *state;
    auto it = s.files.find(fd);
    if (it == s.files.end()) return ::close(fd);
    std::string path = it->second.path;
    int error = s.TakeFault(Op::Close, path);
    // Like close(2), the descriptor is gone even when closing reports an error.
    s.files.erase(it);
    ::close(fd);
    s.Record(Op::Close, path, fd, error ? -1 : 0);
    if (error) return Fail(error);
    return 0;
}

ssize_t Board::Read(int fd, void* buffer, size_t length) {
    return Transfer(Op::Read, fd, static_cast<uint8_t*>(buffer), nullptr, length);
}

ssize_t Board::Write(int fd, const void* data, size_t length) {
    return Transfer(Op::Write, fd, nullptr, static_cast<const uint8_t*>(data), length);
}

// One read (into `in`) or write (from `out`) on a descriptor.
ssize_t Board::Transfer(Op op, int fd, uint8_t* in, const uint8_t* out, size_t length) {
    std::unique_lock<std::mutex> lock(mutex);
    State& s = *state;
    auto it = s.files.find(fd);
    if (it == s.files.end()) {
        lock.unlock();
        return op == Op::Read ? ::read(fd, in, length) : ::write(fd, out, length);
    }
    State::File& file = it->second;
    const std::string path = file.path;
    const int forbiddenMode = op == Op::Read ? O_WRONLY : O_RDONLY;
    ssize_t result = -1;
    int error = s.TakeFault(op, path);
    if (error == 0 && file.accessMode == forbiddenMode) error = EBADF;
    if (error == 0 && file.boardGeneration != s.boardGeneration) error = ENODEV;
    if (error == 0) {
        if (file.kind == State::Kind::I2c) {
            auto chip = s.i2cChips.find(file.address);
            if (chip == s.i2cChips.end()) {
                error = EREMOTEIO;
            } else if (s.TakeDeviceFault(false, file.address)) {
                error = EIO;
            } else {
                // Models run without the board lock, so they may use the board.
                std::shared_ptr<I2cChip> model = chip->second;
                lock.unlock();
                errno = 0;
                result = op == Op::Read ? model->Read(in, length) : model->Write(out, length);
                error = result < 0 ? errno : 0;
                lock.lock();
            }
        } else if (file.kind == State::Kind::Spi) {
            error = EINVAL;
        } else {
            result = op == Op::Read ? s.ReadGpio(file, in, length) : s.WriteGpio(file, out, length);
            if (result < 0) error = errno;
        }
    }
    std::vector<uint8_t> data;
    if (op == Op::Write) data.assign(out, out + length);
    if (op == Op::Read && error == 0 && result > 0) data.assign(in, in + result);
    s.Record(op, path, fd, error ? -1 : result, std::move(data));
    if (error) return Fail(error);
    return result;
}

int Board::Ioctl(int fd, unsigned long request, void* arg) {
    std::unique_lock<std::mutex> lock(mutex);
    State& s = *state;
    auto it = s.files.find(fd);
    if (it == s.files.end()) {
        lock.unlock();
        return ::ioctl(fd, request, arg);
    }
    State::File& file = it->second;
    const std::string path = file.path;
    const State::Kind kind = file.kind;
    const bool message = _IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) == 0;
    unsigned long argument = 0;
    int result = -1;
    int error = s.TakeFault(Op::Ioctl, path);
    if (error == 0 && file.boardGeneration != s.boardGeneration) error = ENODEV;
    if (file.kind == State::Kind::I2c) {
        argument = reinterpret_cast<unsigned long>(arg);
        if (error == 0) {
            if (request == kI2cTenBit) {
                file.tenBit = argument != 0;
                result = 0;
            } else if (request == kI2cSlave) {
                if (argument > (file.tenBit ? 0x3ffUL : 0x7fUL)) {
                    error = EINVAL;
                } else {
                    file.address = static_cast<uint16_t>(argument);
                    result = 0;
                }
            } else {
                error = ENOTTY;
            }
        }
    } else if (kind == State::Kind::Spi) {
        if (error == 0) {
            auto device = s.spiDevices.find(file.spiNumber);
            if (device == s.spiDevices.end()) {
                error = ENODEV;
            } else if (message && s.TakeDeviceFault(true, file.spiNumber)) {
                error = EIO;
            } else {
                // `file` may be gone once the lock is dropped.
                std::shared_ptr<SpiDevice> model = device->second;
                lock.unlock();
                errno = 0;
                result = model->Ioctl(request, arg);
                error = result < 0 ? errno : 0;
                lock.lock();
            }
        }
    } else if (error == 0) {
        error = ENOTTY;
    }
    // A transfer's transmit bytes go into the log, so tests can follow the
    // frames a driver sends.
    std::vector<uint8_t> sent;
    if (kind == State::Kind::Spi && message && arg != nullptr) {
        size_t count = _IOC_SIZE(request) / sizeof(spi_ioc_transfer);
        const auto* transfers = static_cast<const spi_ioc_transfer*>(arg);
        for (size_t i = 0; i < count; ++i) {
            const auto* tx = reinterpret_cast<const uint8_t*>(transfers[i].tx_buf);
            if (tx != nullptr) sent.insert(sent.end(), tx, tx + transfers[i].len);
        }
    }
    s.Record(Op::Ioctl, path, fd, error ? -1 : result, std::move(sent), request, argument);
    if (error) return Fail(error);
    return result;
}

void Board::Sleep(unsigned long microseconds) {
    double scale;
    {
        std::lock_guard<std::mutex> lock(mutex);
        state->Record(Op::Sleep, "", -1, 0, {}, 0, microseconds);
        state->Trace("sleep", static_cast<long>(microseconds), 0);
        scale = state->timeScale;
    }
    auto duration =
        std::chrono::duration<double, std::micro>(static_cast<double>(microseconds) * scale);
    if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

int Board::RunCommand(const std::string& command) {
    std::lock_guard<std::mutex> lock(mutex);
    State& s = *state;
    int error = s.TakeFault(Op::Command, command);
    int result = -1;
    // The connectivity ping is the only command the service runs; it is
    // answered here so that no process is started and no packet leaves.
    if (error == 0 && command.compare(0, 5, "ping ") == 0) {
        ++s.pingCount;
        result = s.pingStatus;
    } else if (error == 0) {
        error = ENOSYS;
    }
    s.Record(Op::Command, command, -1, result);
    if (error) errno = error;
    return result;
}

}  // namespace sim
