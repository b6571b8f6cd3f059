#include "frontend/demod_image.h"

#include "i2c/i2c_master.h"

namespace frontend {

bool WriteDemodDefaults(i2c::I2cMaster& master, std::uint8_t address) {
    // Each write takes the bus lock itself; nothing here holds it.
    for (const DemodImageEntry& e : DemodImage) {
        if (!master.I2C_WriteRegister(address, e.reg, e.isAddress ? address : e.value)) return false;
    }
    return true;
}

}  // namespace frontend
