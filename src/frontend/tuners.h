// The NIMs' tuners, reached through the demodulator's I2C repeater: single
// register writes, the two tuners' start-up tables and the Eardatek tuner's
// register read-back.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace i2c {
class I2cMaster;
}

namespace frontend {

// Write address of the tuner on both NIMs (read address 0xC1).
inline constexpr std::uint8_t TunerAddress = 0xC0;

// Demodulator register that switches its repeater, and the two values used.
inline constexpr std::uint16_t RepeaterRegister = 0xF12A;
inline constexpr std::uint8_t RepeaterOn = 0xC8;
inline constexpr std::uint8_t RepeaterOff = 0x48;

// The tuner read-back always goes through the Eardatek NIM's demodulator.
inline constexpr std::uint8_t EardatekDemodAddress = 0xD4;

// STB6100 registers 1 to 11 (register 0 is left alone).
inline constexpr std::array<std::uint8_t, 11> STB6100Defaults = {
    0xE1, 0x5E, 0x26, 0x38, 0x3E, 0xC0, 0xDC, 0x8F, 0x4D, 0xEB, 0xDE};
// STV6110 registers 0 to 7; only registers 0 to 4 are written.
inline constexpr std::array<std::uint8_t, 8> STV6110Defaults = {
    0x5F, 0x18, 0xE7, 0x7F, 0x00, 0x01, 0x84, 0x1F};
inline constexpr std::uint8_t STV6110WrittenCount = 5;

inline constexpr std::size_t TunerReadBackSize = 12;

// One tuner register, with the repeater of the demodulator at `demod`
// switched on around it. True when the repeater went on and off, the delays
// were timed finely, and the last attempt had every byte acknowledged.
bool WriteTunerRegister(i2c::I2cMaster& master, std::uint8_t demod, std::uint8_t tuner,
                        std::uint8_t reg, std::uint8_t value);

// Twelve bytes from the tuner's current register position into `buffer`.
bool ReadTunerRegisters(i2c::I2cMaster& master, std::uint8_t tuner,
                        std::span<std::uint8_t, TunerReadBackSize> buffer);

// The start-up tables, through the demodulator at `demod`; stop at the first
// register that fails.
bool WriteSTB6100Defaults(i2c::I2cMaster& master, std::uint8_t demod);
bool WriteSTV6110Defaults(i2c::I2cMaster& master, std::uint8_t demod);

}  // namespace frontend
