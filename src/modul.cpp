#include "modul.h"

#include <utility>

#include "error.h"

CorvaneModule::CorvaneModule(CorvaneLogger* logger, std::string name, int number)
    : Logger(logger), ModuleName(std::move(name)), ModuleNumber(number) {
    if (Logger == nullptr) {
        fallbackLogger = std::make_unique<CorvaneLogger>(7, true);
        Logger = fallbackLogger.get();
    }
}

CorvaneModule::~CorvaneModule() = default;

int CorvaneModule::ModuleError(int code, int level, std::string detail) {
    std::string text = ModuleName + std::to_string(ModuleNumber) + " " + Corvane_strerror(code);
    if (!detail.empty()) text += " " + detail;
    Logger->Log(level, std::move(text), false);
    return code;
}

int CorvaneModule::WriteError(int, std::string) {
    return 0;
}
