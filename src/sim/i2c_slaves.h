// The chips on the simulated board's I2C bus: register-file slaves, the
// demodulator with its repeater, and the two NIMs' tuners behind it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/demod_signal.h"
#include "sim/i2c_bus.h"

namespace sim {

// A slave with a 16-bit register address sent high byte first, then data
// bytes written at consecutive addresses. A read returns bytes from the
// current address on, so a register is read by writing its address, then a
// repeated start and the read address.
class RegisterFile16Slave : public I2cSlave {
public:
    explicit RegisterFile16Slave(std::uint8_t address);

    // Direct access, as a probe on the chip would have it.
    std::uint8_t peek(std::uint16_t reg) const { return regs_[reg]; }
    void poke(std::uint16_t reg, std::uint8_t value) { regs_[reg] = value; }
    std::uint16_t pointer() const { return pointer_; }

protected:
    // A data byte for reg; false refuses it (no acknowledge).
    virtual bool store(std::uint16_t reg, std::uint8_t value);
    virtual std::uint8_t load(std::uint16_t reg) { return regs_[reg]; }

    void addressed(bool read) override;
    bool received(std::uint8_t byte) override;
    std::uint8_t transmit() override;

private:
    std::vector<std::uint8_t> regs_;
    std::uint16_t pointer_ = 0;
    int addressBytes_ = 2;  // register address bytes received in this write
};

// A slave with an 8-bit register pointer over a small register file; the
// pointer moves on with every byte written or read and wraps at the end.
class RegisterFile8Slave : public I2cSlave {
public:
    RegisterFile8Slave(std::uint8_t address, std::vector<std::uint8_t> powerOn);

    std::uint8_t peek(std::uint8_t reg) const { return regs_[reg]; }
    std::uint8_t pointer() const { return pointer_; }
    std::size_t size() const { return regs_.size(); }

protected:
    virtual bool writable(std::uint8_t reg) const { (void)reg; return true; }

    void addressed(bool read) override;
    bool received(std::uint8_t byte) override;
    std::uint8_t transmit() override;

private:
    std::vector<std::uint8_t> regs_;
    std::uint8_t pointer_ = 0;
    bool pointerByte_ = false;  // the next byte written sets the pointer
};

// The demodulator: a 64K register file with its identity at 0xF100 and the
// I2C repeater control at 0xF12A, whose bit 7 joins the tuner's bus segment
// to the main bus. Given a signal, its status and measurement registers
// read what the chip makes of that signal.
class Demodulator : public RegisterFile16Slave {
public:
    static constexpr std::uint16_t kIdentity = 0xF100;
    static constexpr std::uint16_t kRepeater = 0xF12A;
    static constexpr std::uint16_t kScratch = 0xF536;
    static constexpr std::uint16_t kImageFirst = 0xF113;
    static constexpr std::uint8_t kChipId = 0x20;

    struct Faults {
        std::optional<std::uint8_t> chipId;  // another identity than 0x20
        bool scratchStuck = false;           // 0xF536 takes no writes
        // Counting register writes from the first write to 0xF113 on (that
        // one is 1), the K-th is refused, and so is every write that follows
        // it to the same register, until a write to another register; from
        // then on the chip behaves. 0: off.
        std::uint32_t imageFailsAt = 0;
    };

    // tunerSegment: the bus segment the repeater switches onto the main bus.
    // Without a signal every register is plain storage.
    Demodulator(std::uint8_t address, I2cBus& bus, int tunerSegment, Faults faults,
                std::shared_ptr<RfInput> signal = nullptr);

    bool repeaterOn() const { return bus_.joined(tunerSegment_); }
    // Register writes received since the first write to 0xF113.
    std::uint32_t imageWrites() const { return imageWrites_; }

protected:
    bool store(std::uint16_t reg, std::uint8_t value) override;
    std::uint8_t load(std::uint16_t reg) override;

private:
    bool refuses(std::uint16_t reg);

    I2cBus& bus_;
    std::unique_ptr<DemodSignal> signal_;
    int tunerSegment_;
    Faults faults_;
    bool counting_ = false;
    std::uint32_t imageWrites_ = 0;
    std::optional<std::uint16_t> refusedReg_;
    bool imageFaultOver_ = false;
};

// The Eardatek NIM's tuner: 12 registers, register 0 a read-only status.
class Stb6100Tuner : public RegisterFile8Slave {
public:
    explicit Stb6100Tuner(std::uint8_t address = 0xC0);

protected:
    bool writable(std::uint8_t reg) const override { return reg != 0; }
};

// The Sharp/Samsung NIM's tuner: 8 registers.
class Stv6110Tuner : public RegisterFile8Slave {
public:
    explicit Stv6110Tuner(std::uint8_t address = 0xC0);
};

}  // namespace sim
