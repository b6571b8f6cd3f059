#include "frontend/demod_image.h"

#include <vector>

#include "i2c/register_access.h"

namespace frontend {

bool WriteDemodDefaults(i2c::RegisterAccess& bus, std::uint8_t address) {
    std::vector<i2c::RegisterOp> ops;
    ops.reserve(DemodImage.size());
    for (const DemodImageEntry& e : DemodImage)
        ops.push_back(i2c::RegisterOp::write(e.reg, e.isAddress ? address : e.value));
    // The first write that fails ends the image: no later entry is attempted.
    bus.Transfer(address, ops, true);
    for (const i2c::RegisterOp& op : ops)
        if (!op.ok) return false;
    return true;
}

}  // namespace frontend
