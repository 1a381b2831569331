#include "fake_module.h"

#include <utility>

namespace testsupport {

FakeModule::FakeModule(CorvaneLogger* logger, std::string name, int number)
    : CorvaneModule(logger, std::move(name), number) {}

FakeModule::~FakeModule() {
    if (destroyed != nullptr) *destroyed = true;
}

int FakeModule::Record(const char* op, unsigned char channel, int value) {
    const int index = static_cast<int>(calls.size());
    calls.push_back({op, channel, value});
    if (channel == failChannel || index == failCall) return failCode;
    return 0;
}

int FakeModule::init() {
    ++initCount;
    return 0;
}

int FakeModule::ConnectionTest() {
    return connectionResult;
}

int FakeModule::get_InputBit(unsigned char channel, bool* value) {
    const int r = Record("get_InputBit", channel, 0);
    if (r == 0) *value = bits[channel];
    return r;
}

int FakeModule::set_OutputBit(unsigned char channel, bool value) {
    const int r = Record("set_OutputBit", channel, value ? 1 : 0);
    if (r == 0) bits[channel] = value;
    return r;
}

int FakeModule::get_OutputBit(unsigned char channel, bool* value) {
    const int r = Record("get_OutputBit", channel, 0);
    if (r == 0) *value = bits[channel];
    return r;
}

int FakeModule::get_InputRegister(unsigned char channel, unsigned short* value) {
    const int r = Record("get_InputRegister", channel, 0);
    if (r == 0) *value = registers[channel];
    return r;
}

int FakeModule::set_OutputRegister(unsigned char channel, unsigned short value) {
    const int r = Record("set_OutputRegister", channel, value);
    if (r == 0) registers[channel] = value;
    return r;
}

int FakeModule::get_OutputRegister(unsigned char channel, unsigned short* value) {
    const int r = Record("get_OutputRegister", channel, 0);
    if (r == 0) *value = registers[channel];
    return r;
}

int FakeModule::StopThreads() {
    ++stopCount;
    return 0;
}

std::vector<FakeModule::Call> FakeModule::CallsOf(const std::string& op) const {
    std::vector<Call> out;
    for (const Call& call : calls) {
        if (call.op == op) out.push_back(call);
    }
    return out;
}

}  // namespace testsupport
