#include "models.h"

namespace sim {

// No model yet: the module's devices do not answer.
void InstallTemperatureModule(Board&, const BoardConfig&, int) {}

std::vector<std::string> ShowTemperatureModule(Board&, int) {
    return {};
}

bool SetTemperatureRaw(Board&, int, int, uint16_t) {
    return false;
}

}  // namespace sim
