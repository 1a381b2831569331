// Module_Manager: owns every module driver, the fixed Modbus address map and
// the module table, and carries out decoded requests against them.
//
// Module numbers: 0 base module, 1-8 PWM1-PWM8, 9-12 REL1-REL4,
// 13-15 TMP1-TMP3, 16-22 AIO1-AIO7; the number is the index into Modules.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <modbus.h>
#include <string>

#include "grund.h"
#include "logger.h"
#include "modul.h"

struct modbus_request;

// An entry of the two writable tables (coils, holding registers).
struct MM_OutputMapEntry {
    uint8_t ModNr;     // module number 0-22
    uint16_t Channel;  // channel within the module (below 256)
    uint16_t Config;   // 1: under the configuration lock
};

// An entry of the two read-only tables (discrete inputs, input registers).
struct MM_InputMapEntry {
    uint8_t ModNr;
    uint16_t Channel;
};

constexpr int MM_MODULE_SLOTS = 23;

// Each extension kind's modules, in order from its first module number.
constexpr int MM_FIRST_PWM = 1, MM_PWM_MODULES = 8;   // PWM1-PWM8
constexpr int MM_FIRST_REL = 9, MM_REL_MODULES = 4;   // REL1-REL4
constexpr int MM_FIRST_TMP = 13, MM_TMP_MODULES = 3;  // TMP1-TMP3
constexpr int MM_FIRST_AIO = 16, MM_AIO_MODULES = 7;  // AIO1-AIO7
static_assert(MM_FIRST_REL == MM_FIRST_PWM + MM_PWM_MODULES &&
                  MM_FIRST_TMP == MM_FIRST_REL + MM_REL_MODULES &&
                  MM_FIRST_AIO == MM_FIRST_TMP + MM_TMP_MODULES &&
                  MM_MODULE_SLOTS == MM_FIRST_AIO + MM_AIO_MODULES,
              "the kinds follow each other after the base module");

// The address map, indexed by the 0-based Modbus address.
extern const std::array<MM_OutputMapEntry, 80> MM_OutputBit_Map;        // coils
extern const std::array<MM_InputMapEntry, 44> MM_InputBit_Map;          // discrete inputs
extern const std::array<MM_OutputMapEntry, 158> MM_OutputRegister_Map;  // holding registers
extern const std::array<MM_InputMapEntry, 198> MM_InputRegister_Map;    // input registers

class Module_Manager {
    // The logger of a manager built without one. Declared first, so that it
    // outlives the base module, which logs through it while it is destroyed.
    std::unique_ptr<CorvaneLogger> fallbackLogger;

  public:
    // Drivers by module number; entry 0 is &BaseModule after Init, entries
    // 1-22 the extension drivers the scan found (null where none answered).
    // The extension drivers are created by ScanModules and owned here; one
    // that answered the probe is never deleted, deliberately: it lives until
    // the process ends (its thread stopped by StopAllThreads and the
    // destructor). Borrowers must not delete them.
    CorvaneModule* Modules[MM_MODULE_SLOTS];
    Grundmodul BaseModule;
    // Borrowed from the caller, which keeps it alive as long as the manager
    // and its drivers; the fallback logger when none was given. Never null.
    CorvaneLogger* Logger;
    int ModuleCount;
    uint16_t PwmPresent, RelPresent, AioPresent, TmpPresent;
    int I2cHandle;
    // Fitted modules whose init failed. They stay listed and flagged present;
    // the first access of each request retries the init, and while it still
    // fails their reads give no value (0x8000; bits: CORVANE_COMMUNICATION_FAULT) and
    // their writes CORVANE_COMMUNICATION_FAULT.
    bool InitFailed[MM_MODULE_SLOTS];
    // Coils and holding registers, by address, that a failed rollback could
    // not put back: they read as missing (0x8000; bits: CORVANE_COMMUNICATION_FAULT) until a write
    // to them succeeds.
    std::bitset<80> UnsetCoils;
    std::bitset<158> UnsetRegisters;

    // `logger` is borrowed (see Logger); null: a logger of its own, level 7,
    // no echo, owned by the manager.
    explicit Module_Manager(CorvaneLogger* logger);
    // As above with a logger of its own.
    Module_Manager();
    // Stops every driver's thread (again); the base module then unexports.
    ~Module_Manager();

    // Initialises the base module and puts it in entry 0. Returns 0.
    int Init();
    // The discovery scan: 0 when completed, -1 when the I2C bus cannot be
    // opened or an SPI conflict is found.
    int ScanModules();
    // 0 if module nr has a driver, -1 if not.
    int CheckModule(int nr);
    // Probes the driver in entry nr; deletes it and clears the entry (-1) or
    // counts and inits it (0, also when the init fails: see InitFailed).
    int TryModule(int nr);
    // Forwards to BaseModule.Set_LED.
    int Set_LED_State(int led, int state);
    // StopThreads on every driver, 0 to 22. Returns 0.
    int StopAllThreads();
    // "PWM1".."PWM8", "REL1".."REL4", "TMP1".."TMP3", "AIO1".."AIO7"; "" otherwise.
    std::string ModNrtoString(int nr);

    // Carries out one decoded request: 0 = reply from the mapping; one of
    // CORVANE_ILLEGAL_FUNCTION to CORVANE_NOT_CONNECTED = the Modbus exception
    // code to answer with; a driver's negative status; -1
    // for a function code that is not served. A request answered with
    // anything but 0 leaves every output as it was, or, where even the
    // rollback failed, marks the outputs it could not put back as unset.
    int RequestHandler(modbus_mapping_t* mapping, modbus_request* request);

  private:
    // Module nr's init retried at most once per request.
    uint32_t retried = 0;

    int running(int nr);
    int readCoil(int address, bool* value);
    int readRegister(int address, uint16_t* value);
    void settled(bool coil, int address);
    int readBits(modbus_mapping_t* mapping, modbus_request* request);
    int readRegisters(modbus_mapping_t* mapping, modbus_request* request);
    int writeSingleCoil(modbus_mapping_t* mapping, modbus_request* request);
    int writeSingleRegister(modbus_mapping_t* mapping, modbus_request* request);
    int writeMultipleCoils(modbus_mapping_t* mapping, modbus_request* request);
    int writeMultipleRegisters(modbus_mapping_t* mapping, modbus_request* request);
    int writeAll(modbus_mapping_t* mapping, bool coils, int start, int count,
                 const uint16_t* values);
};
