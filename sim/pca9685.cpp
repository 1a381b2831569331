#include "models.h"

namespace sim {

// No model yet: the module's devices do not answer.
void InstallPwmModule(Board&, int) {}

std::vector<std::string> ShowPwmModule(Board&, int) {
    return {};
}

}  // namespace sim
