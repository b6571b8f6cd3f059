#include "frontend/tuners.h"

#include <mutex>

#include "i2c/i2c_master.h"

namespace frontend {

namespace {

constexpr int Attempts = 11;
constexpr int Tries = 11;
constexpr std::uint8_t PinGPIOL0 = 0x10;

// Settling times of the repeater and of a tuner register, in microseconds.
constexpr std::uint32_t RepeaterOnBeforeWriteUs = 1000;
constexpr std::uint32_t RepeaterOnBeforeReadUs = 100;
constexpr std::uint32_t RepeaterOffUs = 100;
constexpr std::uint32_t AfterTunerRegisterUs = 10000;

constexpr int S = i2c::I2cMaster::StartCondition;

bool stopAndSend(i2c::I2cMaster& m) {
    const bool stopped = m.I2C_Stop();
    m.SendBytes(m.OutIndex);
    return stopped;
}

}  // namespace

bool WriteTunerRegister(i2c::I2cMaster& m, std::uint8_t demod, std::uint8_t tuner,
                        std::uint8_t reg, std::uint8_t value) {
    m.OutIndex = 0;
    if (!m.I2C_WriteRegister(demod, RepeaterRegister, RepeaterOn)) return false;
    // A coarse timer cannot promise the repeater has settled: that is a failure.
    if (!m.DelayMicroseconds(RepeaterOnBeforeWriteUs)) return false;

    bool ok = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m.BusLock);
        m.LowBytePins &= static_cast<std::uint8_t>(~PinGPIOL0);
        const int beforeReg[] = {S, tuner};
        const int beforeValue[] = {S, tuner, reg};
        for (int attempt = 0; attempt < Attempts && !ok && !m.LinkLost(); ++attempt) {
            // Every phase runs even after an earlier one ran out of tries.
            const bool addrOk = m.StartAndAddress(tuner, Tries);
            const bool regOk = m.WriteByteInTransaction(beforeReg, reg, Tries);
            const bool valueOk = m.WriteByteInTransaction(beforeValue, value, Tries);
            const bool stopped = stopAndSend(m);
            ok = addrOk && regOk && valueOk && stopped;
        }
    }

    // The repeater goes off again whatever the tuner did, unless the link
    // is gone.
    if (m.LinkLost()) return false;
    if (!m.I2C_WriteRegister(demod, RepeaterRegister, RepeaterOff)) return false;
    if (!m.DelayMicroseconds(RepeaterOffUs)) return false;
    return ok;
}

bool ReadTunerRegisters(i2c::I2cMaster& m, std::uint8_t tuner,
                        std::span<std::uint8_t, TunerReadBackSize> buffer) {
    m.OutIndex = 0;
    if (!m.I2C_WriteRegister(EardatekDemodAddress, RepeaterRegister, RepeaterOn)) return false;
    if (!m.DelayMicroseconds(RepeaterOnBeforeReadUs)) return false;

    bool ok = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m.BusLock);
        for (int attempt = 0; attempt < Attempts && !ok && !m.LinkLost(); ++attempt) {
            m.LowBytePins &= static_cast<std::uint8_t>(~PinGPIOL0);
            // No register phase: the tuner answers from its current position.
            const bool addrOk = m.StartAndAddress(tuner | 0x01, Tries);
            bool readsOk = true;
            for (std::uint8_t& byte : buffer) {
                bool got = false;
                for (int t = 0; t < Tries && !got && !m.LinkLost(); ++t) got = m.I2C_ReadByte(byte);
                readsOk = readsOk && got;
                // Acknowledge every byte, the last one too.
                m.SendData[0] = 0;
                m.ClockBitsOut(1, m.SendData.data());
                m.SendBytes(m.OutIndex);
            }
            const bool stopped = stopAndSend(m);
            ok = addrOk && readsOk && stopped;
        }
    }

    if (m.LinkLost()) return false;
    if (!m.I2C_WriteRegister(EardatekDemodAddress, RepeaterRegister, RepeaterOff)) return false;
    if (!m.DelayMicroseconds(RepeaterOffUs)) return false;
    return ok;
}

namespace {

bool writeTable(i2c::I2cMaster& m, std::uint8_t demod, std::uint8_t firstRegister,
                const std::uint8_t* values, std::uint8_t count) {
    for (std::uint8_t i = 0; i < count; ++i) {
        const auto reg = static_cast<std::uint8_t>(firstRegister + i);
        if (!WriteTunerRegister(m, demod, TunerAddress, reg, values[i])) return false;
        if (!m.DelayMicroseconds(AfterTunerRegisterUs)) return false;
    }
    return true;
}

}  // namespace

bool WriteSTB6100Defaults(i2c::I2cMaster& m, std::uint8_t demod) {
    return writeTable(m, demod, 1, STB6100Defaults.data(),
                      static_cast<std::uint8_t>(STB6100Defaults.size()));
}

bool WriteSTV6110Defaults(i2c::I2cMaster& m, std::uint8_t demod) {
    return writeTable(m, demod, 0, STV6110Defaults.data(), STV6110WrittenCount);
}

}  // namespace frontend
