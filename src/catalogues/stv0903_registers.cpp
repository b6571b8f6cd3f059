// Build-time checks of the STV0903 table, so that a lost or duplicated row
// fails the build instead of shifting the rows after it.
#include "catalogues/stv0903_registers.h"

namespace STV0903Registers {
namespace {

constexpr bool everyRowFilled() {
    for (const auto& row : STV0903RegisterTable) {
        if (row.Name.empty() || row.Address == 0) return false;
    }
    return true;
}

constexpr bool namesAndAddressesUnique() {
    for (std::size_t i = 0; i < RegisterCount; ++i) {
        for (std::size_t j = i + 1; j < RegisterCount; ++j) {
            if (STV0903RegisterTable[i].Name == STV0903RegisterTable[j].Name) return false;
            if (STV0903RegisterTable[i].Address == STV0903RegisterTable[j].Address) return false;
        }
    }
    return true;
}

static_assert(everyRowFilled());
static_assert(namesAndAddressesUnique());

}  // namespace
}  // namespace STV0903Registers
