// CorvaneModule: the interface every module driver implements, the base
// module included. The module manager owns the drivers; request dispatch
// turns each Modbus access into one call of slots 4-9 with the module's own
// channel number.
//
// Results of slots 4-9: 0 success (a get has written its value);
// CORVANE_ILLEGAL_FUNCTION channel not served by this kind; CORVANE_ILLEGAL_DATA_VALUE
// value out of range; CORVANE_COMMUNICATION_FAULT bus transfer failed; -1 pin or
// device access failed without an error code. Failures that carry
// a code are reported through ModuleError, which returns the code.
//
// Live counts: each extension-module kind keeps a class-wide count of its
// live drivers (PwmModuleCount, RelayModuleCount, TmpModuleCount); its
// constructor adds 1 and its destructor subtracts 1.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "logger.h"

// What a register read gives when there is no value: the register cannot be
// read, its module is absent, or the reading is invalid.
constexpr unsigned short MODULE_NO_VALUE = 0x8000;

class CorvaneModule {
  public:
    // Run flag of a worker thread kept in the base (temperature module).
    std::atomic<bool> ThreadActive{false};
    // Borrowed, never deleted here: whoever builds the driver keeps the logger
    // alive as long as the driver. Never null: a driver built without one
    // logs through a fallback logger of its own (level 7, debug on).
    CorvaneLogger* Logger;
    // Kind tag: "GRUND", "PWM", "REL", "TMP" or "AIO".
    std::string ModuleName;
    // 1-based position of the module within its kind.
    int ModuleNumber;

    // Slots 0 and 1: stops the worker thread, returns outputs to idle,
    // releases what the driver opened, and decrements the kind's live count.
    virtual ~CorvaneModule();
    // Slot 2: brings a probed module into its working state; 0 on success.
    virtual int init() = 0;
    // Slot 3: 0 when the module is fitted and answers, -1 when not.
    virtual int ConnectionTest() = 0;
    // Slots 4-9: one Modbus object of the module, by channel.
    virtual int get_InputBit(unsigned char channel, bool* value) = 0;
    virtual int set_OutputBit(unsigned char channel, bool value) = 0;
    virtual int get_OutputBit(unsigned char channel, bool* value) = 0;
    virtual int get_InputRegister(unsigned char channel, unsigned short* value) = 0;
    virtual int set_OutputRegister(unsigned char channel, unsigned short value) = 0;
    virtual int get_OutputRegister(unsigned char channel, unsigned short* value) = 0;
    // Slot 10: stops the worker thread if it runs; harmless when repeated. 0.
    virtual int StopThreads() = 0;

    // Journals "<ModuleName><ModuleNumber> <Corvane_strerror(code)>[ <detail>]"
    // at `level` (echo off) and returns `code`.
    int ModuleError(int code, int level, std::string detail);
    // Does nothing; returns 0.
    int WriteError(int code, std::string detail);

  protected:
    CorvaneModule(CorvaneLogger* logger, std::string name, int number);

  private:
    // Owned: the logger of a driver built without one.
    std::unique_ptr<CorvaneLogger> fallbackLogger;
};
