// The demodulator's registers by catalogue: every register read back next
// to the value the default image gives it, and single registers found by
// catalogue name or address. Reads and writes are the same one-register I2C
// transactions the link test uses.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "catalogues/stv0903_registers.h"

namespace i2c {
class RegisterAccess;
}

namespace frontend {

struct RegisterReading {
    std::string_view name;
    std::uint16_t address = 0;
    bool read = false;  // false: the transaction failed, value means nothing
    std::uint8_t value = 0;
    std::optional<std::uint8_t> image;  // the default image's value, if it has one
    // The demodulator writes it itself while it searches for and tracks a
    // signal: what it reads is a measurement.
    bool measured = false;

    // A register the image sets that does not hold the image's value (a
    // failed read counts as not holding it).
    bool differs() const { return image && (!read || value != *image); }
    // A difference that tells something about the chip: a measured register
    // only has to be readable, the image merely starts its search there.
    bool mismatch() const { return image && (!read || (value != *image && !measured)); }
};

// The value the default image writes to reg on a demodulator at that
// address (two registers take the address itself); none if it writes none.
std::optional<std::uint8_t> ImageValue(std::uint16_t reg, std::uint8_t demodAddress);

// The catalogue row named (case-insensitive) or addressed ("0xF100", "F100"
// is a name, not an address); null if the catalogue has no such register.
const STV0903Registers::RegisterContent* FindRegister(std::string_view nameOrAddress);

// Every catalogue register in catalogue order.
std::vector<RegisterReading> ReadAllRegisters(i2c::RegisterAccess& bus, std::uint8_t demodAddress);

// "name,address,value,image,differs" and one line per register: hexadecimal
// 0xF100 / 0x20, the image column empty where the image writes nothing, the
// value column empty where the read failed, differs "yes", "no" or empty.
QString RegisterCsv(const std::vector<RegisterReading>& rows);

// Upper case, at least digits digits after "0x": Hex(15, 2) is "0x0F".
QString Hex(unsigned value, int digits);

// "MID (0xF100) = 0x20".
QString RegisterLine(const STV0903Registers::RegisterContent& reg, std::uint8_t value);

}  // namespace frontend
