// The simulated board: the OS seam (platform.h) served by models instead of
// the kernel, so the real access-layer code runs unchanged in the simulator
// and in every test.
//
// Paths served:
//   /sys/class/gpio/export, /unexport, /gpioN/direction, /gpioN/value
//       sysfs GPIO: export creates gpioN/ (direction "in", value 0), a second
//       export fails with EBUSY like the kernel, unexport removes it.
//   /dev/i2c-1    the I2C bus; I2C_SLAVE binds the descriptor to the chip
//                 model registered at that address (absent when i2c_bus is false).
//   /dev/spidev0.N   SPI device N (N 0-7), when a model is registered for it.
// Any other path is opened on the real file system (configuration files).
//
// Every call through the seam on a served path is recorded in the
// transaction log, in order. The connectivity ping is answered by the model
// (no process, no packet); sleeps can be scaled down for tests.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

constexpr int kTmpModules = 3;
constexpr int kTmpInputs = 16;
constexpr int kAioModules = 7;
constexpr int kAioChannels = 4;
// The base board's GPIO lines of inputs 0-8, as its traces lead them.
constexpr int kInputPins[9] = {503, 501, 500, 0, 22, 1, 27, 13, 12};
// The SPI controller's fastest clock; the kernel caps requests at it.
constexpr uint32_t kSpiControllerMaxSpeed = 125000000;

// What a temperature module's converters present: the raw 12-bit codes of
// its inputs 1..16, in input-register order.
struct TmpValues {
    uint16_t raw[kTmpInputs] = {2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000,
                                2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000};
};

// What an analog module's front-end presents, by module channel 1..4 (the
// channel numbers of the address map).
struct AioValues {
    uint16_t adc[kAioChannels] = {32768, 32768, 32768, 32768};  // conversion results
    int din[kAioChannels] = {0, 0, 0, 0};                       // digital-input levels
    uint16_t alert = 0;  // alert status bits raised with every conversion
};
// The alert status bits the front-end has: channel alerts 0-3, ADC alerts 10-11.
constexpr uint16_t kAioAlertBits = 0x0C0F;

// A transfer fault a board file plans (key `faults`): once `after`
// transfers to `device` ("i2c:0x22", "spi:3", as Board::FailDevice takes
// it) went through, the next `count` fail with EIO.
struct PlannedFault {
    std::string device;
    int after = 0;
    int count = 1;
};

// What a board file describes. Module lists hold 1-based instance numbers.
struct BoardConfig {
    std::vector<int> pwm;                         // PWM1..PWM8
    std::vector<int> relay;                       // REL1..REL4
    std::vector<int> temperature;                 // TMP1..TMP3
    std::vector<int> analog;                      // AIO1..AIO7
    int inputs[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};  // base-module inputs 0..8
    bool i2c_bus = true;
    TmpValues tmp[kTmpModules];
    AioValues aio[kAioModules];
    std::vector<PlannedFault> faults;

    // Whether module `number` (1-based) of a kind is in the board's list.
    bool Fitted(const std::vector<int> BoardConfig::*kind, int number) const;
};

// The built-in demo board: one module of every kind, no SPI conflict, with
// room temperatures, an analog input at half scale and digital inputs high.
BoardConfig DemoBoard();
// Reads a board file (libconfig syntax). true on success; otherwise false
// with a one-line reason in *error naming the file, and the line if known.
bool LoadBoardFile(const std::string& path, BoardConfig* board, std::string* error);

enum class Op { Open, Close, Read, Write, Ioctl, Sleep, Command };
// A static text: never freed.
const char* OpName(Op op);

struct Transaction {
    Op op;
    std::string path;  // the path the descriptor was opened on; the command text
    int fd = -1;
    unsigned long request = 0;   // ioctl request
    unsigned long argument = 0;  // open flags, ioctl integer argument (I2C), sleep microseconds
    std::vector<uint8_t> data;   // bytes written, or bytes returned by a read
    long result = 0;             // the call's result (-1 on failure)
};

// A chip on the I2C bus. Each read or write is one bus transaction to the
// chip the descriptor is bound to. Return the byte count, or -1 with errno.
class I2cChip {
  public:
    virtual ~I2cChip() = default;
    virtual ssize_t Write(const uint8_t* data, size_t length) = 0;
    virtual ssize_t Read(uint8_t* buffer, size_t length) = 0;
};

// A device on /dev/spidev0.N: the configuration ioctls and full-duplex
// transfers (SPI_IOC_MESSAGE). Return the ioctl's result, or -1 with errno.
class SpiDevice {
  public:
    virtual ~SpiDevice() = default;
    virtual int Ioctl(unsigned long request, void* arg) = 0;
};

// Sets errno and returns -1, as a failing system call does.
inline int Fail(int error) {
    errno = error;
    return -1;
}

class Board {
  public:
    // The one simulated board the seam routes to.
    static Board& Get();

    // Back to a fresh board as described: no pins exported, log and faults
    // cleared (then the config's planned faults armed), ping answering 0,
    // real time, the full log limit, the chip models of the fitted modules
    // installed fresh (models.h). Models added by earlier calls are dropped.
    // Descriptors opened before stay open, but every
    // call on them except Close fails with ENODEV (their device is gone).
    void Reset(const BoardConfig& config);
    const BoardConfig& Config() const;

    // --- GPIO model ---
    bool IsExported(int pin) const;
    std::string Direction(int pin) const;  // "in", "out", or "" when not exported
    int Level(int pin) const;              // current level of the pin (0/1)
    void SetInput(int pin, int level);     // drive an input pin from outside
    std::vector<int> Unexports() const;    // pins unexported, in order

    // --- chip models (added by the drivers' models) ---
    // Models are called without the board's lock held, so they may use the
    // board themselves; one model serving several threads guards itself.
    void AddI2cChip(uint16_t address, std::shared_ptr<I2cChip> chip);
    void AddSpiDevice(int number, std::shared_ptr<SpiDevice> device);
    // The model at a bus address or SPI device number, or null.
    std::shared_ptr<I2cChip> I2cChipAt(uint16_t address) const;
    std::shared_ptr<SpiDevice> SpiDeviceAt(int number) const;

    // --- transaction log ---
    // The log keeps the newest LogLimit() transactions: kLogLimit unless
    // set otherwise (the simulator program keeps none, so it never grows).
    static constexpr size_t kLogLimit = 100000;
    void SetLogLimit(size_t limit);
    size_t LogLimit() const;
    std::vector<Transaction> Log() const;
    void ClearLog();
    // Simulated descriptors currently open (those of earlier boards included).
    int OpenDescriptors() const;

    // --- fault injection ---
    // The next `count` calls of `op` on paths starting with `pathPrefix`
    // fail with -1 and errno `error`.
    void FailNext(Op op, const std::string& pathPrefix, int count, int error);
    // The next `count` transfers to one device fail with EIO: "i2c:0x41" (a
    // read or write while the bus descriptor is bound to that address) or
    // "spi:3" (an SPI_IOC_MESSAGE on /dev/spidev0.3). false for a device
    // name of another form. With `after`, that many transfers to the device
    // go through first. A count of 0 clears the faults pending for it.
    bool FailDevice(const std::string& device, int count, int after = 0);
    // Whether `device` names a device as FailDevice takes it.
    static bool ValidDevice(const std::string& device);

    // --- connectivity ping ---
    void SetPingStatus(int status);  // exit status the next pings report
    int PingCount() const;

    // Appends "export <pin> 0", "unexport <pin> 0", "gpio <pin> <level>" for
    // every GPIO value written and "sleep <microseconds> 0" for every sleep
    // to the file at `path`, one
    // line each, flushed at once: the simulator's view for other processes
    // (CORVANE_SIM_TRACE). false when the file cannot be opened.
    bool SetTrace(const std::string& path);

    // --- time ---
    // Sleeps last microseconds * scale (1.0 after Reset; tests use less, 0
    // for no real wait). Each sleep is logged with the unscaled microseconds.
    void SetTimeScale(double scale);

    // The seam's entry points (platform.h), routed to the models.
    int Open(const char* path, int flags);
    int Close(int fd);
    ssize_t Read(int fd, void* buffer, size_t length);
    ssize_t Write(int fd, const void* data, size_t length);
    int Ioctl(int fd, unsigned long request, void* arg);
    void Sleep(unsigned long microseconds);
    int RunCommand(const std::string& command);

  private:
    Board();
    ssize_t Transfer(Op op, int fd, uint8_t* in, const uint8_t* out, size_t length);
    struct State;
    std::unique_ptr<State> state;
    mutable std::mutex mutex;
};

}  // namespace sim
