#include "module_manager.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <syslog.h>

#include "aio.h"
#include "error.h"
#include "i2c.h"
#include "modbus_server.h"
#include "pwm.h"
#include "rel.h"
#include "tmp.h"

// ---------------------------------------------------------------------------
// The address map.
//
// Each table is written as the runs it is documented in: a block of
// consecutive addresses starting at `first` that covers the modules
// firstModule..lastModule, channels firstChannel..lastChannel each, module
// major. The tables themselves are expanded from the runs at compile time.
// ---------------------------------------------------------------------------

namespace {

struct Run {
    int first;
    int firstModule, lastModule;
    int firstChannel, lastChannel;
    uint16_t config;
};

// Holding registers. The register-0 block runs AIO, REL+TMP, PWM: not in
// module-number order, and clients depend on these addresses.
constexpr Run kHoldingRuns[] = {
    {0, 0, 0, 0, 15, 1},      // base module
    {16, 16, 22, 0, 0, 1},    // AIO1-AIO7 register 0
    {23, 9, 15, 0, 0, 1},     // REL1-REL4, TMP1-TMP3 register 0
    {30, 1, 8, 0, 0, 1},      // PWM1-PWM8 register 0 (frequency)
    {38, 1, 8, 1, 4, 0},      // PWM duty cycles
    {70, 9, 12, 1, 1, 0},     // relay port values
    {74, 16, 22, 1, 4, 0},    // AIO
    {102, 16, 22, 5, 8, 0},   // AIO
    {130, 16, 22, 9, 12, 0},  // AIO
};

// Input registers. The AIO block of channels 5-8 precedes the one of 1-4.
constexpr Run kInputRegisterRuns[] = {
    {0, 0, 0, 0, 15, 0},       // base module identification
    {16, 1, 22, 0, 0, 0},      // register 0 of every extension module
    {38, 13, 15, 1, 16, 0},    // temperatures
    {86, 16, 22, 5, 8, 0},     // AIO
    {114, 16, 22, 1, 4, 0},    // AIO
    {142, 16, 22, 9, 12, 0},   // AIO
    {170, 16, 22, 13, 16, 0},  // AIO
};

constexpr Run kCoilRuns[] = {
    {0, 0, 0, 0, 15, 1},   // base module
    {16, 1, 8, 0, 3, 1},   // PWM polarity
    {48, 9, 12, 0, 7, 0},  // relay ports
};

constexpr Run kDiscreteInputRuns[] = {
    {0, 0, 0, 0, 15, 0},    // base module inputs
    {16, 16, 22, 0, 3, 0},  // AIO
};

constexpr int RunAddress(const Run& run, int module, int channel) {
    return run.first + (module - run.firstModule) * (run.lastChannel - run.firstChannel + 1) +
           (channel - run.firstChannel);
}

// True when the runs hit every address below `size` exactly once.
template <std::size_t R>
constexpr bool CoversExactly(const Run (&runs)[R], int size) {
    int hits[256] = {};
    for (const Run& run : runs) {
        for (int m = run.firstModule; m <= run.lastModule; ++m) {
            for (int n = run.firstChannel; n <= run.lastChannel; ++n) {
                const int a = RunAddress(run, m, n);
                if (a < 0 || a >= size || m > 22 || n > 255) return false;
                ++hits[a];
            }
        }
    }
    for (int a = 0; a < size; ++a) {
        if (hits[a] != 1) return false;
    }
    return true;
}

constexpr void SetConfig(MM_OutputMapEntry& entry, uint16_t config) {
    entry.Config = config;
}
constexpr void SetConfig(MM_InputMapEntry&, uint16_t) {}

template <typename Entry, std::size_t N, std::size_t R>
constexpr std::array<Entry, N> Expand(const Run (&runs)[R]) {
    std::array<Entry, N> table{};
    for (const Run& run : runs) {
        for (int m = run.firstModule; m <= run.lastModule; ++m) {
            for (int n = run.firstChannel; n <= run.lastChannel; ++n) {
                Entry& entry = table[RunAddress(run, m, n)];
                entry.ModNr = static_cast<uint8_t>(m);
                entry.Channel = static_cast<uint16_t>(n);
                SetConfig(entry, run.config);
            }
        }
    }
    return table;
}

static_assert(CoversExactly(kCoilRuns, 80), "coil runs");
static_assert(CoversExactly(kDiscreteInputRuns, 44), "discrete input runs");
static_assert(CoversExactly(kHoldingRuns, 158), "holding register runs");
static_assert(CoversExactly(kInputRegisterRuns, 198), "input register runs");

}  // namespace

constexpr std::array<MM_OutputMapEntry, 80> MM_OutputBit_Map =
    Expand<MM_OutputMapEntry, 80>(kCoilRuns);
constexpr std::array<MM_InputMapEntry, 44> MM_InputBit_Map =
    Expand<MM_InputMapEntry, 44>(kDiscreteInputRuns);
constexpr std::array<MM_OutputMapEntry, 158> MM_OutputRegister_Map =
    Expand<MM_OutputMapEntry, 158>(kHoldingRuns);
constexpr std::array<MM_InputMapEntry, 198> MM_InputRegister_Map =
    Expand<MM_InputMapEntry, 198>(kInputRegisterRuns);

static_assert(MM_OutputBit_Map[79].ModNr == 12 && MM_OutputBit_Map[79].Channel == 7, "REL4 7");
static_assert(MM_OutputBit_Map[47].Config == 1 && MM_OutputBit_Map[48].Config == 0, "coil lock");
static_assert(MM_InputBit_Map[43].ModNr == 22 && MM_InputBit_Map[43].Channel == 3, "AIO7 3");
static_assert(MM_OutputRegister_Map[23].ModNr == 9 && MM_OutputRegister_Map[27].ModNr == 13,
              "REL1 and TMP1 register 0");
static_assert(MM_OutputRegister_Map[30].ModNr == 1 && MM_OutputRegister_Map[30].Config == 1,
              "PWM1 register 0");
static_assert(MM_OutputRegister_Map[38].ModNr == 1 && MM_OutputRegister_Map[38].Channel == 1 &&
                  MM_OutputRegister_Map[38].Config == 0,
              "PWM1 channel 1");
static_assert(MM_OutputRegister_Map[157].ModNr == 22 && MM_OutputRegister_Map[157].Channel == 12,
              "AIO7 12");
static_assert(MM_InputRegister_Map[86].ModNr == 16 && MM_InputRegister_Map[86].Channel == 5,
              "AIO1 5");
static_assert(MM_InputRegister_Map[114].ModNr == 16 && MM_InputRegister_Map[114].Channel == 1,
              "AIO1 1");
static_assert(MM_InputRegister_Map[197].ModNr == 22 && MM_InputRegister_Map[197].Channel == 16,
              "AIO7 16");

// ---------------------------------------------------------------------------
// Module_Manager
// ---------------------------------------------------------------------------

namespace {

constexpr int kCoilCount = static_cast<int>(MM_OutputBit_Map.size());
constexpr int kDiscreteInputCount = static_cast<int>(MM_InputBit_Map.size());
constexpr int kHoldingCount = static_cast<int>(MM_OutputRegister_Map.size());
constexpr int kInputRegisterCount = static_cast<int>(MM_InputRegister_Map.size());
constexpr int kRequestValues = static_cast<int>(std::size(modbus_request{}.values));
constexpr int kPwmStartFrequency = 200;  // Hz
constexpr int kPwmMinFrequency = 25, kPwmMaxFrequency = 1500;
// A bus fault rarely outlasts a few transfers; a chip that fails this often
// in a row is not coming back within the request.
constexpr int kAttempts = 5;

const char kLockedBits[] = "Access to Config Bits DENIED. Corvane is LOCKED";
const char kLockedRegister[] = " Access to Config Register DENIED. Corvane is LOCKED";

// The decoder refuses ranges that leave a table; this guard only keeps a
// careless caller from indexing past one.
bool RangeFits(const modbus_request* request, int size) {
    return static_cast<int>(request->start) + static_cast<int>(request->count) <= size;
}

// Coil i of a write-multiple frame: bit (i - 8k) of data byte k. k only
// advances while there is data, so a short frame never reads past it; bits
// beyond the data read as off.
bool CoilBit(const modbus_request* request, int i, int k) {
    if (k >= request->byteCount || k >= kRequestValues) return false;
    const int bit = i - 8 * k;
    if (bit >= 16) return false;
    return ((request->values[k] >> bit) & 1) != 0;
}

// A driver call, repeated while it fails on the bus, at most kAttempts times.
template <typename Call>
int Retried(Call call) {
    int r = call();
    for (int n = 1; n < kAttempts && (r == CORVANE_COMMUNICATION_FAULT || r < 0); ++n) r = call();
    return r;
}

bool IsRelayPort(const MM_OutputMapEntry& e) {
    return e.ModNr >= MM_FIRST_REL && e.ModNr < MM_FIRST_REL + MM_REL_MODULES && e.Channel == 1;
}

}  // namespace

Module_Manager::Module_Manager(CorvaneLogger* logger)
    : Modules{},
      BaseModule(nullptr),
      Logger(logger),
      ModuleCount(0),
      PwmPresent(0),
      RelPresent(0),
      AioPresent(0),
      TmpPresent(0),
      I2cHandle(0),
      InitFailed{} {
    if (Logger == nullptr) {
        fallbackLogger = std::make_unique<CorvaneLogger>(7, false);
        Logger = fallbackLogger.get();
    }
}

Module_Manager::Module_Manager() : Module_Manager(nullptr) {}

Module_Manager::~Module_Manager() {
    for (CorvaneModule* module : Modules) {
        if (module != nullptr) module->StopThreads();
    }
}

int Module_Manager::Init() {
    BaseModule.Logger = Logger;
    BaseModule.init();
    Modules[0] = &BaseModule;
    return 0;
}

int Module_Manager::ScanModules() {
    Logger->Log(LOG_INFO, "[MM] Scanning for Modules:", false);

    I2cHandle = i2c_open("/dev/i2c-1");
    if (I2cHandle <= 0) {
        Logger->Log(LOG_ERR, "[MM] Not Able to Open I2C Bus\n", false);
        return -1;
    }

    // Probed in module-number order: PWM, relay, temperature, analog.
    for (int index = 0; index < MM_PWM_MODULES; ++index) {
        Modules[MM_FIRST_PWM + index] = new PwmModule(I2cHandle, index, Logger, kPwmStartFrequency);
        if (TryModule(MM_FIRST_PWM + index) == 0)
            PwmPresent = static_cast<uint16_t>(PwmPresent | 1u << index);
    }
    for (int index = 0; index < MM_REL_MODULES; ++index) {
        Modules[MM_FIRST_REL + index] =
            new RelayModule(I2cHandle, static_cast<unsigned char>(index), Logger);
        if (TryModule(MM_FIRST_REL + index) == 0)
            RelPresent = static_cast<uint16_t>(RelPresent | 1u << index);
    }

    for (int index = 0; index < MM_TMP_MODULES; ++index) {
        Modules[MM_FIRST_TMP + index] =
            new TemperatureModule(static_cast<unsigned char>(index), Logger);
        if (TryModule(MM_FIRST_TMP + index) == 0)
            TmpPresent = static_cast<uint16_t>(TmpPresent | 1u << index);
    }

    // Analog module i sits on SPI device i, which temperature module i / 2
    // also uses: two modules on one device cannot both be served.
    for (int i = 0; i < MM_AIO_MODULES; ++i) {
        Modules[MM_FIRST_AIO + i] = new Aio_Module(i, Logger);
        if (TryModule(MM_FIRST_AIO + i) != 0) continue;
        AioPresent = static_cast<uint16_t>(AioPresent | 1u << i);
        if (TmpPresent & (1 << (i / 2))) {
            Logger->Log(LOG_ERR,
                        "[MM] SPI Adress conflict on SPI Channel " + std::to_string(i) +
                            ". Change AIO " + std::to_string(i + 1) + " or TMP " +
                            std::to_string(i / 2 + 1) + " Module DIP Switch",
                        false);
            return -1;
        }
    }

    for (CorvaneModule* module : Modules) {
        if (module == nullptr) continue;
        Logger->Log(
            LOG_INFO,
            "[MM] " + module->ModuleName + " Module " + std::to_string(module->ModuleNumber),
            false);
    }

    // Only PWM and relay drivers borrow the bus.
    if (PwmModule::PwmModuleCount == 0 && RelayModule::RelayModuleCount == 0) i2c_close(I2cHandle);

    if (ModuleCount == 0) Logger->Log(LOG_INFO, "[MM] No Modules Connected", true);

    BaseModule.set_ModuleConnectionStatus(PwmPresent, RelPresent, TmpPresent, AioPresent);
    BaseModule.Set_LED(GRUND_CONNECTION_LED, LED_SLOW_BLINK);
    return 0;
}

int Module_Manager::CheckModule(int nr) {
    if (nr < 0 || nr >= MM_MODULE_SLOTS) return -1;
    return Modules[nr] != nullptr ? 0 : -1;
}

int Module_Manager::TryModule(int nr) {
    if (nr < 0 || nr >= MM_MODULE_SLOTS || Modules[nr] == nullptr) return -1;
    if (Modules[nr]->ConnectionTest() != 0) {
        delete Modules[nr];
        Modules[nr] = nullptr;
        return -1;
    }
    ++ModuleCount;
    // The module answered, so it stays listed and present; it is served as
    // running only once an init has gone through.
    InitFailed[nr] = Modules[nr]->init() != 0;
    if (InitFailed[nr])
        Logger->Log(LOG_WARNING,
                    "[MM] " + ModNrtoString(nr) + " did not start: tried again when used", false);
    return 0;
}

int Module_Manager::Set_LED_State(int led, int state) {
    return BaseModule.Set_LED(led, state);
}

int Module_Manager::StopAllThreads() {
    for (CorvaneModule* module : Modules) {
        if (module != nullptr) module->StopThreads();
    }
    return 0;
}

std::string Module_Manager::ModNrtoString(int nr) {
    const auto in = [nr](int first, int count) { return nr >= first && nr < first + count; };
    if (in(MM_FIRST_PWM, MM_PWM_MODULES)) return "PWM" + std::to_string(nr - MM_FIRST_PWM + 1);
    if (in(MM_FIRST_REL, MM_REL_MODULES)) return "REL" + std::to_string(nr - MM_FIRST_REL + 1);
    if (in(MM_FIRST_TMP, MM_TMP_MODULES)) return "TMP" + std::to_string(nr - MM_FIRST_TMP + 1);
    if (in(MM_FIRST_AIO, MM_AIO_MODULES)) return "AIO" + std::to_string(nr - MM_FIRST_AIO + 1);
    return "";
}

int Module_Manager::RequestHandler(modbus_mapping_t* mapping, modbus_request* request) {
    retried = 0;
    switch (request->function) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_READ_DISCRETE_INPUTS:
            return readBits(mapping, request);
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS:
            return readRegisters(mapping, request);
        case MODBUS_FC_WRITE_SINGLE_COIL:
            return writeSingleCoil(mapping, request);
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
            return writeSingleRegister(mapping, request);
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
            return writeMultipleCoils(mapping, request);
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            return writeMultipleRegisters(mapping, request);
        default:
            return -1;
    }
}

int Module_Manager::running(int nr) {
    if (!InitFailed[nr]) return 0;
    if ((retried & (1u << nr)) == 0) {
        retried |= 1u << nr;
        InitFailed[nr] = Modules[nr]->init() != 0;
        if (!InitFailed[nr])
            Logger->Log(LOG_NOTICE, "[MM] " + ModNrtoString(nr) + " started", false);
    }
    return InitFailed[nr] ? CORVANE_COMMUNICATION_FAULT : 0;
}

// What a coil holds now, for putting it back.
int Module_Manager::readCoil(int address, bool* value) {
    const MM_OutputMapEntry& e = MM_OutputBit_Map[address];
    const auto channel = static_cast<unsigned char>(e.Channel);
    return Retried([&] { return Modules[e.ModNr]->get_OutputBit(channel, value); });
}

// The value that, written to a holding register, puts it back as it is now.
// Some registers do not read back what is written to them.
int Module_Manager::readRegister(int address, uint16_t* value) {
    const MM_OutputMapEntry& e = MM_OutputRegister_Map[address];
    const auto channel = static_cast<unsigned char>(e.Channel);
    if (e.ModNr == 0 && channel == 0) {
        *value = BaseModule.ConfigLocked ? GRUND_LOCK_CODE : GRUND_UNLOCK_CODE;
        return 0;
    }
    if (e.ModNr == 0 && channel == 1) {
        // LED states back to the modes that set them; a slow blink is the
        // service's own and no mode changes it.
        const auto mode = [&](int led) {
            const int state = BaseModule.Get_LED(led);
            return state == LED_ON ? 2 : state == LED_FAST_BLINK ? 1 : 0;
        };
        *value = static_cast<uint16_t>(mode(0) << 4 | mode(1));
        return 0;
    }
    const int r = Retried([&] { return Modules[e.ModNr]->get_OutputRegister(channel, value); });
    // A frequency reads back from the prescale and may lie beyond the range
    // a write takes; clamped into it, it programs the same prescale again.
    if (r == 0 && e.ModNr >= MM_FIRST_PWM && e.ModNr < MM_FIRST_PWM + MM_PWM_MODULES &&
        channel == 0)
        *value = static_cast<uint16_t>(
            std::min<int>(std::max<int>(*value, kPwmMinFrequency), kPwmMaxFrequency));
    return r;
}

// A write to the address went through: it holds a value a client chose.
void Module_Manager::settled(bool coil, int address) {
    if (coil) {
        UnsetCoils.reset(address);
        return;
    }
    UnsetRegisters.reset(address);
    // The port register writes every coil of its relay module.
    const MM_OutputMapEntry& e = MM_OutputRegister_Map[address];
    if (!IsRelayPort(e)) return;
    for (int a = 0; a < kCoilCount; ++a) {
        if (MM_OutputBit_Map[a].ModNr == e.ModNr) UnsetCoils.reset(a);
    }
}

int Module_Manager::readBits(modbus_mapping_t* mapping, modbus_request* request) {
    const bool coils = request->function == MODBUS_FC_READ_COILS;
    if (!RangeFits(request, coils ? kCoilCount : kDiscreteInputCount))
        return CORVANE_ILLEGAL_DATA_ADDRESS;

    for (int i = 0; i < request->count; ++i) {
        const int a = request->start + i;
        const int modNr = coils ? MM_OutputBit_Map[a].ModNr : MM_InputBit_Map[a].ModNr;
        const unsigned char channel = static_cast<unsigned char>(
            coils ? MM_OutputBit_Map[a].Channel : MM_InputBit_Map[a].Channel);
        CorvaneModule* module = Modules[modNr];
        bool bit = false;
        if (module == nullptr) return CORVANE_ILLEGAL_FUNCTION;
        // A bit has no missing value: what cannot be vouched for is not sent.
        if (running(modNr) != 0 || (coils && UnsetCoils[a])) return CORVANE_COMMUNICATION_FAULT;
        const int r =
            coils ? module->get_OutputBit(channel, &bit) : module->get_InputBit(channel, &bit);
        if (r != 0) return r;
        (coils ? mapping->tab_bits : mapping->tab_input_bits)[a] = bit ? 1 : 0;
    }
    return 0;
}

int Module_Manager::readRegisters(modbus_mapping_t* mapping, modbus_request* request) {
    const bool holding = request->function == MODBUS_FC_READ_HOLDING_REGISTERS;
    if (!RangeFits(request, holding ? kHoldingCount : kInputRegisterCount))
        return CORVANE_ILLEGAL_DATA_ADDRESS;

    uint16_t* slots = holding ? mapping->tab_registers : mapping->tab_input_registers;
    for (int i = 0; i < request->count; ++i) {
        const int a = request->start + i;
        // The lock register never reads back: the lock state stays private.
        if (holding && a == 0) {
            slots[0] = MODULE_NO_VALUE;
            continue;
        }
        const int modNr = holding ? MM_OutputRegister_Map[a].ModNr : MM_InputRegister_Map[a].ModNr;
        const unsigned char channel = static_cast<unsigned char>(
            holding ? MM_OutputRegister_Map[a].Channel : MM_InputRegister_Map[a].Channel);
        CorvaneModule* module = Modules[modNr];
        unsigned short value = 0;
        int r = -1;
        if (module != nullptr && running(modNr) == 0 && !(holding && UnsetRegisters[a])) {
            r = holding ? module->get_OutputRegister(channel, &value)
                        : module->get_InputRegister(channel, &value);
        }
        slots[a] = r == 0 ? value : MODULE_NO_VALUE;
    }
    return 0;
}

int Module_Manager::writeSingleCoil(modbus_mapping_t* mapping, modbus_request* request) {
    const int a = request->start;
    if (a >= kCoilCount) return CORVANE_ILLEGAL_DATA_ADDRESS;
    const MM_OutputMapEntry& e = MM_OutputBit_Map[a];
    // Only the high byte counts: 0xFF00 is on, 0x00FF is off.
    const uint8_t high = static_cast<uint8_t>(request->values[0] >> 8);

    CorvaneModule* module = Modules[e.ModNr];
    if (module == nullptr) {
        Logger->Log(LOG_WARNING,
                    "Writing to unconnected Module " + ModNrtoString(e.ModNr) +
                        " @Register: " + std::to_string(a),
                    true);
        return CORVANE_ILLEGAL_FUNCTION;
    }
    if (e.Config != 0 && BaseModule.ConfigLocked) {
        Logger->Log(LOG_WARNING, "Adress " + std::to_string(a) + kLockedBits, true);
        return CORVANE_ILLEGAL_FUNCTION;
    }
    int r = running(e.ModNr);
    if (r == 0) r = module->set_OutputBit(static_cast<unsigned char>(e.Channel), high != 0);
    if (r != 0) {
        Logger->Log(
            LOG_WARNING,
            "Problem writing to Module Nr " + std::to_string(e.ModNr) + " " + Corvane_strerror(r),
            true);
        return r;
    }
    mapping->tab_bits[a] = high;
    settled(true, a);
    return 0;
}

int Module_Manager::writeSingleRegister(modbus_mapping_t* mapping, modbus_request* request) {
    const int a = request->start;
    if (a >= kHoldingCount) return CORVANE_ILLEGAL_DATA_ADDRESS;
    const MM_OutputMapEntry& e = MM_OutputRegister_Map[a];
    const uint16_t v = request->values[0];

    CorvaneModule* module = Modules[e.ModNr];
    if (module == nullptr) {
        Logger->Log(LOG_WARNING,
                    "Adress " + std::to_string(a + 40001) + " Writing to unconnected Module " +
                        ModNrtoString(e.ModNr) + " @Register: " + std::to_string(a),
                    true);
        return CORVANE_ILLEGAL_FUNCTION;
    }
    // Register 0 is the lock itself and must stay writable to unlock.
    if (a != 0 && e.Config != 0 && BaseModule.ConfigLocked) {
        Logger->Log(LOG_WARNING, "Adress " + std::to_string(a + 40001) + kLockedRegister, true);
        return CORVANE_ILLEGAL_FUNCTION;
    }
    int r = running(e.ModNr);
    if (r == 0) r = module->set_OutputRegister(static_cast<unsigned char>(e.Channel), v);
    if (r != 0) return r;
    mapping->tab_registers[a] = v;
    settled(false, a);
    return 0;
}

int Module_Manager::writeMultipleCoils(modbus_mapping_t* mapping, modbus_request* request) {
    if (!RangeFits(request, kCoilCount)) return CORVANE_ILLEGAL_DATA_ADDRESS;
    const int start = request->start;
    const int count = request->count;
    if (count == 0) return 0;

    uint16_t bits[kCoilCount];
    for (int i = 0, k = 0; i < count; ++i) {
        const int a = start + i;
        const MM_OutputMapEntry& e = MM_OutputBit_Map[a];
        if (Modules[e.ModNr] == nullptr) {
            Logger->Log(LOG_WARNING,
                        "Adress " + std::to_string(a) + "Writing to unconnected Module " +
                            ModNrtoString(e.ModNr),
                        true);
            return CORVANE_ILLEGAL_FUNCTION;
        }
        // The whole request is refused, so it names the request's start.
        if (e.Config != 0 && BaseModule.ConfigLocked) {
            Logger->Log(LOG_WARNING, "Adress " + std::to_string(start) + kLockedBits, true);
            return CORVANE_ILLEGAL_FUNCTION;
        }
        if (i > 0 && i % 8 == 0 && k < request->byteCount) ++k;
        bits[i] = CoilBit(request, i, k) ? 1 : 0;
    }
    return writeAll(mapping, true, start, count, bits);
}

int Module_Manager::writeMultipleRegisters(modbus_mapping_t* mapping, modbus_request* request) {
    if (!RangeFits(request, kHoldingCount)) return CORVANE_ILLEGAL_DATA_ADDRESS;
    const int start = request->start;
    const int count = request->count;
    // More registers than a request can carry: the values are not there.
    if (count > kRequestValues) return CORVANE_ILLEGAL_DATA_VALUE;
    if (count == 0) return 0;

    for (int i = 0; i < count; ++i) {
        const int a = start + i;
        const MM_OutputMapEntry& e = MM_OutputRegister_Map[a];
        if (Modules[e.ModNr] == nullptr) {
            Logger->Log(LOG_WARNING,
                        "Adress " + std::to_string(a + 40001) + ": Writing to unconnected Module " +
                            ModNrtoString(e.ModNr),
                        true);
            return CORVANE_ILLEGAL_FUNCTION;
        }
    }
    return writeAll(mapping, false, start, count, request->values);
}

// The write pass of a multiple write. Each output's present value is read
// just before it is written (an earlier element of the same request may
// have changed what it means), so a failure can put back what the outputs
// held rather than what the mapping last showed.
int Module_Manager::writeAll(modbus_mapping_t* mapping, bool coils, int start, int count,
                             const uint16_t* values) {
    struct Previous {
        uint16_t value;
        bool known;  // false: the output was unset already
    } previous[kHoldingCount];
    const auto entry = [&](int a) -> const MM_OutputMapEntry& {
        return coils ? MM_OutputBit_Map[a] : MM_OutputRegister_Map[a];
    };
    const auto write = [&](int a, uint16_t v) {
        const MM_OutputMapEntry& e = entry(a);
        const auto channel = static_cast<unsigned char>(e.Channel);
        return coils ? Modules[e.ModNr]->set_OutputBit(channel, v != 0)
                     : Modules[e.ModNr]->set_OutputRegister(channel, v);
    };
    const auto store = [&](int a, uint16_t v) {
        if (coils) {
            mapping->tab_bits[a] = static_cast<uint8_t>(v);
        } else {
            mapping->tab_registers[a] = v;
        }
    };

    // A module that does not run refuses the request before anything is written.
    for (int i = 0; i < count; ++i) {
        const int modNr = entry(start + i).ModNr;
        const int r = running(modNr);
        if (r != 0) {
            Logger->Log(
                LOG_WARNING,
                "Problem writing to Module Nr " + std::to_string(modNr) + " " + Corvane_strerror(r),
                true);
            return r;
        }
    }

    for (int i = 0; i < count; ++i) {
        const int a = start + i;
        const MM_OutputMapEntry& e = entry(a);
        // Read afresh each time: register 0 of this very request may have
        // just locked or unlocked the configuration. Such a refusal keeps
        // the registers before it written.
        if (!coils && a != 0 && e.Config != 0 && BaseModule.ConfigLocked) {
            Logger->Log(LOG_WARNING, "Adress " + std::to_string(a + 40001) + kLockedRegister, true);
            return CORVANE_ILLEGAL_FUNCTION;
        }
        Previous& p = previous[i];
        p.known = !(coils ? UnsetCoils[a] : UnsetRegisters[a]);
        int r = 0;
        if (p.known && coils) {
            bool bit = false;
            r = readCoil(a, &bit);
            p.value = bit ? 1 : 0;
        } else if (p.known) {
            r = readRegister(a, &p.value);
        }
        if (r == 0) r = write(a, values[i]);
        if (r == 0) {
            store(a, values[i]);
            settled(coils, a);
            continue;
        }

        Logger->Log(
            LOG_WARNING,
            "Problem writing to Module Nr " + std::to_string(e.ModNr) + " " + Corvane_strerror(r),
            true);
        Logger->Log(LOG_WARNING, "[MM] Resetting to Prerequest Values", true);
        // Every output is tried, so one that cannot be put back leaves no
        // others behind it with the request's values.
        std::string unset;
        for (int j = 0; j < i; ++j) {
            const int b = start + j;
            const MM_OutputMapEntry& done = entry(b);
            int r2 = 0;
            if (previous[j].known) {
                r2 = Retried([&] { return write(b, previous[j].value); });
                if (r2 == 0) {
                    store(b, previous[j].value);
                    continue;
                }
                Logger->Log(LOG_ERR,
                            "Values could not be Reset. System in undefined state !!! Error "
                            "Occured on Module" +
                                std::to_string(done.ModNr) + " " + Corvane_strerror(r2),
                            true);
            }
            if (coils) {
                UnsetCoils.set(b);
            } else {
                UnsetRegisters.set(b);
            }
            CorvaneModule* m = Modules[done.ModNr];
            unset += ", " + m->ModuleName + std::to_string(m->ModuleNumber) +
                     (coils ? " coil " : " register ") + std::to_string(b);
        }
        if (!unset.empty())
            Logger->Log(LOG_ERR, "[MM] Not reset, read as missing until written:" + unset.substr(1),
                        true);
        return CORVANE_ILLEGAL_FUNCTION;
    }
    return 0;
}
