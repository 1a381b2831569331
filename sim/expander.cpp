#include "models.h"

namespace sim {

// No model yet: the module's devices do not answer.
void InstallRelayModule(Board&, int) {}

}  // namespace sim
