#include "models.h"

namespace sim {

// No model yet: the module's devices do not answer.
void InstallAnalogModule(Board&, const BoardConfig&, int) {}

std::vector<std::string> ShowAnalogModule(Board&, int) {
    return {};
}

bool SetAnalogAdc(Board&, int, int, uint16_t) {
    return false;
}

bool SetAnalogDin(Board&, int, int, int) {
    return false;
}

bool SetAnalogAlert(Board&, int, uint16_t) {
    return false;
}

}  // namespace sim
