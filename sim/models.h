// The chip models of the extension modules, and where they sit on the
// simulated board. Board::Reset installs the models of every fitted module
// through these functions; each model kind lives in a file of its own.
#pragma once

#include "sim.h"

namespace sim {

// Relay module `index` (0-3): its port expander on the I2C bus.
void InstallRelayModule(Board& board, int index);
// PWM module `index` (0-7): its PCA9685 on the I2C bus.
void InstallPwmModule(Board& board, int index);
// Temperature module `index` (0-2): its two converters on SPI devices
// 2 * index and 2 * index + 1, presenting config.tmp[index].
void InstallTemperatureModule(Board& board, const BoardConfig& config, int index);
// Analog module `index` (0-6): its front-end on SPI device `index`,
// presenting config.aio[index].
void InstallAnalogModule(Board& board, const BoardConfig& config, int index);

}  // namespace sim
