#include "models.h"

namespace sim {

// No model yet: the module's devices do not answer.
void InstallAnalogModule(Board&, const BoardConfig&, int) {}

}  // namespace sim
