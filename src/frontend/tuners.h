// The NIMs' tuners, reached through the demodulator's I2C repeater: the two
// tuners' start-up tables, written one register per transaction.
#pragma once

#include <array>
#include <cstdint>

#include "i2c/register_access.h"

namespace frontend {

// Write address of the tuner on both NIMs (read address 0xC1).
inline constexpr std::uint8_t TunerAddress = 0xC0;

// The tuner read-back always goes through the Eardatek NIM's demodulator.
inline constexpr std::uint8_t EardatekDemodAddress = 0xD4;

// STB6100 registers 1 to 11 (register 0 is left alone).
inline constexpr std::array<std::uint8_t, 11> STB6100Defaults = {
    0xE1, 0x5E, 0x26, 0x38, 0x3E, 0xC0, 0xDC, 0x8F, 0x4D, 0xEB, 0xDE};
// STV6110 registers 0 to 7; only registers 0 to 4 are written.
inline constexpr std::array<std::uint8_t, 8> STV6110Defaults = {
    0x5F, 0x18, 0xE7, 0x7F, 0x00, 0x01, 0x84, 0x1F};
inline constexpr std::uint8_t STV6110WrittenCount = 5;

using i2c::TunerReadBackSize;

// The start-up tables, through the demodulator at `demod`, with the
// tuner's settling time after every register; stop at the first register
// (or settling wait) that fails.
bool WriteSTB6100Defaults(i2c::RegisterAccess& bus, std::uint8_t demod);
bool WriteSTV6110Defaults(i2c::RegisterAccess& bus, std::uint8_t demod);

}  // namespace frontend
