// Build-time checks of the STB0899 table: the row count is fixed by the
// array type, but a missing initializer would silently leave an empty row at
// the end, and a pointed flag out of step with its pointer register would
// send an access to the wrong window.
#include "catalogues/stb0899_registers.h"

namespace STB0899Registers {
namespace {

constexpr bool everyRowFilled() {
    for (const auto& row : STB0899RegisterTable) {
        if (row.Name.empty() || row.OffsetAddress == 0) return false;
    }
    return true;
}

constexpr bool pointerColumnsConsistent() {
    for (const auto& row : STB0899RegisterTable) {
        if (row.RegisterPointed) {
            if (row.DeviceAddress != 0xF3FC && row.DeviceAddress != 0xFAFC) return false;
        } else if (row.Size != 8 || row.DeviceAddress != 0 || row.BaseAddress != 0) {
            return false;
        }
    }
    return true;
}

constexpr std::size_t countIf(bool RegisterContent::*flag) {
    std::size_t n = 0;
    for (const auto& row : STB0899RegisterTable) n += (row.*flag) ? 1 : 0;
    return n;
}

static_assert(everyRowFilled());
static_assert(pointerColumnsConsistent());
static_assert(countIf(&RegisterContent::RegisterPointed) == 197);
static_assert(countIf(&RegisterContent::ReadOnly) == 171);

}  // namespace
}  // namespace STB0899Registers
