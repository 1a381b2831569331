// A recording module driver for the module tests.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "modul.h"

namespace testsupport {

// Serves `values`, fails on demand and logs its calls: "b3=1" coil 3 set, "b3?" coil
// read, "i3?" input, "r3=7"/"r3?" holding and "ir3?" input register, "init", "stop".
class FakeModule : public CorvaneModule {
  public:
    FakeModule(CorvaneLogger* logger, int n, const char* name = "FAKE")
        : CorvaneModule(logger, name, n) {}

    std::string calls;
    unsigned short values[256] = {};
    // failChannel fails with failCode, and so do failCalls calls from number failCall (0-based).
    int failChannel = -1, failCall = -1, failCalls = 1, failCode = 4, initResult = 0;

    int init() override { return Note("init") + initResult; }
    int StopThreads() override { return Note("stop"); }
    int ConnectionTest() override { return 0; }
    int get_InputBit(unsigned char c, bool* v) override { return Get("i", c, v); }
    int get_OutputBit(unsigned char c, bool* v) override { return Get("b", c, v); }
    int set_OutputBit(unsigned char c, bool v) override { return Set("b", c, v); }
    int get_InputRegister(unsigned char c, unsigned short* v) override { return Get("ir", c, v); }
    int get_OutputRegister(unsigned char c, unsigned short* v) override { return Get("r", c, v); }
    int set_OutputRegister(unsigned char c, unsigned short v) override { return Set("r", c, v); }

  private:
    int Note(const std::string& call) {
        calls += (calls.empty() ? "" : " ") + call;
        return 0;
    }
    int Log(const std::string& call, unsigned char channel) {
        const long index = std::count(calls.begin(), calls.end(), ' ') + !calls.empty();
        Note(call);
        const bool planned = failCall >= 0 && index >= failCall && index < failCall + failCalls;
        return channel == failChannel || planned ? failCode : 0;
    }
    template <typename T>
    int Get(const char* kind, unsigned char c, T* v) {
        const int r = Log(kind + std::to_string(c) + "?", c);
        if (r == 0) *v = static_cast<T>(values[c]);
        return r;
    }
    template <typename T>
    int Set(const char* kind, unsigned char c, T v) {
        const int r = Log(kind + std::to_string(c) + "=" + std::to_string(v), c);
        if (r == 0) values[c] = v;
        return r;
    }
};

}  // namespace testsupport
