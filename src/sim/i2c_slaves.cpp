#include "sim/i2c_slaves.h"

#include <utility>

namespace sim {

RegisterFile16Slave::RegisterFile16Slave(std::uint8_t address)
    : I2cSlave(address), regs_(0x10000, 0) {}

bool RegisterFile16Slave::store(std::uint16_t reg, std::uint8_t value) {
    regs_[reg] = value;
    return true;
}

void RegisterFile16Slave::addressed(bool read) {
    if (!read) addressBytes_ = 0;
}

bool RegisterFile16Slave::received(std::uint8_t byte) {
    if (addressBytes_ == 0) {
        pointer_ = static_cast<std::uint16_t>(byte << 8 | (pointer_ & 0xFF));
        ++addressBytes_;
        return true;
    }
    if (addressBytes_ == 1) {
        pointer_ = static_cast<std::uint16_t>((pointer_ & 0xFF00) | byte);
        ++addressBytes_;
        return true;
    }
    if (!store(pointer_, byte)) return false;
    ++pointer_;
    return true;
}

std::uint8_t RegisterFile16Slave::transmit() { return load(pointer_++); }

RegisterFile8Slave::RegisterFile8Slave(std::uint8_t address, std::vector<std::uint8_t> powerOn)
    : I2cSlave(address), regs_(std::move(powerOn)) {}

void RegisterFile8Slave::addressed(bool read) { pointerByte_ = !read; }

bool RegisterFile8Slave::received(std::uint8_t byte) {
    const auto n = static_cast<unsigned>(regs_.size());
    if (pointerByte_) {
        pointerByte_ = false;
        pointer_ = static_cast<std::uint8_t>(byte % n);
        return true;
    }
    if (writable(pointer_)) regs_[pointer_] = byte;
    pointer_ = static_cast<std::uint8_t>((pointer_ + 1u) % n);
    return true;
}

std::uint8_t RegisterFile8Slave::transmit() {
    const std::uint8_t value = regs_[pointer_];
    pointer_ = static_cast<std::uint8_t>((pointer_ + 1u) % regs_.size());
    return value;
}

Demodulator::Demodulator(std::uint8_t address, I2cBus& bus, int tunerSegment, Faults faults,
                         std::shared_ptr<RfInput> signal)
    : RegisterFile16Slave(address), bus_(bus), tunerSegment_(tunerSegment), faults_(faults) {
    if (signal) signal_ = std::make_unique<DemodSignal>(std::move(signal));
    poke(kIdentity, faults_.chipId.value_or(kChipId));
}

bool Demodulator::refuses(std::uint16_t reg) {
    // The counter starts with the first write to 0xF113, a register that the
    // link test does not touch before the default image (whose first entry it
    // is). The register of the K-th write from there on takes no write: the
    // demodulator refuses its data byte, however often and in whatever order
    // the host retries, until 0xF113 is written again (the next image).
    if (!counting_ && reg == kImageFirst) counting_ = true;
    if (faults_.imageFailsAt == 0 || imageFaultOver_) {
        if (counting_) ++imageWrites_;
        return false;
    }
    if (refusedReg_) {
        if (reg == *refusedReg_) return true;
        ++imageWrites_;
        if (reg == kImageFirst) imageFaultOver_ = true;
        return false;
    }
    if (!counting_) return false;
    if (++imageWrites_ == faults_.imageFailsAt) {
        refusedReg_ = reg;
        return true;
    }
    return false;
}

bool Demodulator::store(std::uint16_t reg, std::uint8_t value) {
    if (refuses(reg)) return false;
    if (reg == kIdentity) return true;  // read-only
    if (reg == kScratch && faults_.scratchStuck) return true;
    RegisterFile16Slave::store(reg, value);
    if (reg == kRepeater) bus_.setJoined(tunerSegment_, value & 0x80);
    if (signal_) signal_->written(reg, value);
    return true;
}

std::uint8_t Demodulator::load(std::uint16_t reg) {
    if (signal_)
        if (const auto value = signal_->read(reg, peek(reg))) return *value;
    return RegisterFile16Slave::load(reg);
}

// Power-on contents: a status register with the lock bit set, the rest in
// their reset state.
Stb6100Tuner::Stb6100Tuner(std::uint8_t address)
    : RegisterFile8Slave(address, {0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0x00, 0x00}) {}

Stv6110Tuner::Stv6110Tuner(std::uint8_t address)
    : RegisterFile8Slave(address, {0x07, 0x11, 0xDC, 0x85, 0x17, 0x01, 0xE6, 0x1E}) {}

}  // namespace sim
