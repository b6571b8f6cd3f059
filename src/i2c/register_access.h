// Register access to the chips on the I2C bus, as the front end needs it:
// 16-bit-addressed register reads and writes of the demodulator, and the
// tuner transactions behind the demodulator's repeater. Two engines stand
// behind it: the window's byte-by-byte master, which waits for each byte's
// acknowledge over USB before it sends the next, and the queued engine of
// the headless commands, which queues whole transactions, many per USB round
// trip, and checks the acknowledges afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "usb/d2xx.h"
#include "usb/platform_services.h"

namespace i2c {

// The D2XX call that failed inside a bus operation and cut the link.
struct LinkLoss {
    std::string caption;  // the channel layer's caption, e.g. "FT_Write A"
    usb::FT_STATUS status = 0;
    // The caption followed by the status text, as the error dialog shows it.
    std::string text() const;
};

// One complete register transaction of a batch, with its own retries.
struct RegisterOp {
    enum class Kind : std::uint8_t { Read, Write };
    Kind kind = Kind::Read;
    std::uint16_t reg = 0;
    // The value to write, or the value read: 0 when a failed read never
    // reached the data byte.
    std::uint8_t value = 0;
    // Read: the data byte arrived after an acknowledged address phase.
    // Write: every byte was acknowledged and the stop went out.
    bool ok = false;
    // False when the batch stopped before this transaction (a failure before
    // it with stopAtFailure, or a lost link): it never went to the bus.
    bool attempted = false;

    static RegisterOp read(std::uint16_t reg) { return {Kind::Read, reg, 0, false, false}; }
    static RegisterOp write(std::uint16_t reg, std::uint8_t value) {
        return {Kind::Write, reg, value, false, false};
    }
};

// Retry limits of the register transactions: a read makes up to 16
// attempts, a write up to 13.
inline constexpr int ReadAttempts = 16;
inline constexpr int WriteAttempts = 13;

// Where the demodulator switches its I2C repeater, and the two values used:
// while bit 7 is set the tuner's bus is connected.
inline constexpr std::uint16_t RepeaterRegister = 0xF12A;
inline constexpr std::uint8_t RepeaterOn = 0xC8;
inline constexpr std::uint8_t RepeaterOff = 0x48;

// The tuner read-back fills this many bytes.
inline constexpr std::size_t TunerReadBackSize = 12;

class RegisterAccess {
public:
    virtual ~RegisterAccess() = default;

    // The transactions in order, to the chip at the 8-bit write address
    // `device`; each op gets its outcome. With stopAtFailure nothing after
    // the first op that failed is attempted, as far as the engine can help
    // it: an engine that queues ahead may already have put later ones on the
    // bus (they are then reported attempted). A lost link ends the batch.
    virtual void Transfer(std::uint8_t device, std::span<RegisterOp> ops, bool stopAtFailure = false) = 0;

    // One register; true on success, with the value read in `out` (0 when
    // the read never reached the data byte).
    bool ReadRegister(std::uint8_t device, std::uint16_t reg, std::uint8_t& out) {
        RegisterOp op = RegisterOp::read(reg);
        Transfer(device, std::span<RegisterOp>(&op, 1));
        out = op.value;
        return op.ok;
    }
    bool WriteRegister(std::uint8_t device, std::uint16_t reg, std::uint8_t value) {
        RegisterOp op = RegisterOp::write(reg, value);
        Transfer(device, std::span<RegisterOp>(&op, 1));
        return op.ok;
    }

    // One tuner register through the repeater of the demodulator at `demod`:
    // repeater on, start, tuner address, register, value, stop, repeater off.
    // True when the repeater went on and off, the settling delays were timed
    // finely, and the tuner acknowledged every byte of the last attempt.
    virtual bool WriteTunerRegister(std::uint8_t demod, std::uint8_t tuner, std::uint8_t reg,
                                    std::uint8_t value) = 0;
    // Twelve bytes from the tuner's current register position, through the
    // repeater of the demodulator at `demod`; the master acknowledges every
    // byte, the last one too.
    virtual bool ReadTunerRegisters(std::uint8_t demod, std::uint8_t tuner,
                                    std::span<std::uint8_t, TunerReadBackSize> buffer) = 0;

    // Waits at least `us` microseconds; false when only a coarse timer could
    // time the wait (a settling time that cannot be promised).
    virtual bool Delay(std::uint32_t us) = 0;

    // The D2XX failure that cut the link, if one did: every later operation
    // fails at once, until the link is set up again.
    virtual const std::optional<LinkLoss>& linkLoss() const = 0;
    bool LinkLost() const { return linkLoss().has_value(); }

    // Bytes written without an acknowledge, or read without an answer, since
    // the engine was made. The retries hide them from the error total; a
    // healthy bus has none once the right address is known.
    virtual std::uint64_t NotAcknowledged() const = 0;

    // The clock the engine's timing runs on; the front end times its passes
    // with it.
    virtual usb::Clock& clock() = 0;
};

}  // namespace i2c
