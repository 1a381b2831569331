// The chip models of the extension modules, and where they sit on the
// simulated board. Board::Reset installs the models of every fitted module
// through these functions; each model kind lives in a file of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// What the control socket's `show` prints of a fitted module, as the
// hardware would show it: one line per item, each starting with the
// module's name ("REL1", "PWM3", "TMP1", "AIO2"). Empty when not fitted.
std::vector<std::string> ShowRelayModule(Board& board, int index);
std::vector<std::string> ShowPwmModule(Board& board, int index);
std::vector<std::string> ShowTemperatureModule(Board& board, int index);
std::vector<std::string> ShowAnalogModule(Board& board, int index);

// Live changes of what a fitted module presents (indexes 0-based: module,
// temperature input 0-15, analog channel 0-3 as in AioValues). false when
// the module is not fitted.
bool SetTemperatureRaw(Board& board, int index, int input, uint16_t code);
bool SetAnalogAdc(Board& board, int index, int channel, uint16_t code);
bool SetAnalogDin(Board& board, int index, int channel, int level);
bool SetAnalogAlert(Board& board, int index, uint16_t bits);

}  // namespace sim
