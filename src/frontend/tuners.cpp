#include "frontend/tuners.h"

namespace frontend {

namespace {

// A tuner register settles this long, in microseconds, before the next.
constexpr std::uint32_t AfterTunerRegisterUs = 10000;

bool writeTable(i2c::RegisterAccess& bus, std::uint8_t demod, std::uint8_t firstRegister,
                const std::uint8_t* values, std::uint8_t count) {
    for (std::uint8_t i = 0; i < count; ++i) {
        const auto reg = static_cast<std::uint8_t>(firstRegister + i);
        if (!bus.WriteTunerRegister(demod, TunerAddress, reg, values[i])) return false;
        if (!bus.Delay(AfterTunerRegisterUs)) return false;
    }
    return true;
}

}  // namespace

bool WriteSTB6100Defaults(i2c::RegisterAccess& bus, std::uint8_t demod) {
    return writeTable(bus, demod, 1, STB6100Defaults.data(),
                      static_cast<std::uint8_t>(STB6100Defaults.size()));
}

bool WriteSTV6110Defaults(i2c::RegisterAccess& bus, std::uint8_t demod) {
    return writeTable(bus, demod, 0, STV6110Defaults.data(), STV6110WrittenCount);
}

}  // namespace frontend
