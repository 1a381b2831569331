// A module driver for dispatch tests: records every call, serves values from
// plain arrays, and fails on demand.
#pragma once

#include <string>
#include <vector>

#include "modul.h"

namespace testsupport {

class FakeModule : public CorvaneModule {
  public:
    struct Call {
        std::string op;  // "set_OutputBit", "get_InputRegister", ...
        int channel;
        int value;  // the value written; 0 for reads
        bool operator==(const Call& other) const {
            return op == other.op && channel == other.channel && value == other.value;
        }
    };

    FakeModule(CorvaneLogger* logger, std::string name, int number);
    ~FakeModule() override;

    std::vector<Call> calls;
    bool bits[256] = {};
    unsigned short registers[256] = {};
    // Calls on this channel fail with failCode; so does call number failCall
    // (0-based, counting every slot 4-9 call), once.
    int failChannel = -1;
    int failCall = -1;
    int failCode = 4;
    int connectionResult = 0;
    int initCount = 0;
    int stopCount = 0;
    bool* destroyed = nullptr;  // set true by the destructor

    int init() override;
    int ConnectionTest() override;
    int get_InputBit(unsigned char channel, bool* value) override;
    int set_OutputBit(unsigned char channel, bool value) override;
    int get_OutputBit(unsigned char channel, bool* value) override;
    int get_InputRegister(unsigned char channel, unsigned short* value) override;
    int set_OutputRegister(unsigned char channel, unsigned short value) override;
    int get_OutputRegister(unsigned char channel, unsigned short* value) override;
    int StopThreads() override;

    // Calls of one operation only.
    std::vector<Call> CallsOf(const std::string& op) const;

  private:
    int Record(const char* op, unsigned char channel, int value);
};

}  // namespace testsupport
