// Register access without a bus: chips as register files at their I2C
// addresses, a tuner behind the repeater, and faults at the level the front
// end sees them (a read or write that fails, a register that ignores writes,
// a link lost after so many transactions). Every transaction is kept, so a
// test sees what the front end asked for and in which order.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "i2c/register_access.h"
#include "support/test_support.h"

namespace testing_support {

class FakeRegisters : public i2c::RegisterAccess {
public:
    struct Access {
        std::uint8_t device = 0;
        bool write = false;
        std::uint16_t reg = 0;
        std::uint8_t value = 0;
        bool ok = false;
        bool operator==(const Access&) const = default;
    };

    // Demodulators present, by write address, with their registers.
    std::map<std::uint8_t, std::map<std::uint16_t, std::uint8_t>> chips;
    // A transaction that fails although the chip is there (after all its
    // retries); the read's byte then stays 0.
    std::function<bool(const Access&)> fails;
    // Registers that acknowledge writes and keep their value.
    std::set<std::uint16_t> ignoresWrites;
    // The link is lost at the n-th transaction from now (counted from 1).
    std::optional<std::uint64_t> loseLinkAt;
    i2c::LinkLoss lossToReport{"FT_Write A", usb::FT_IO_ERROR};
    // Tuners behind the repeater, by write address, and whether each
    // acknowledges.
    std::map<std::uint8_t, std::array<std::uint8_t, 16>> tuners;
    std::set<std::uint8_t> silentTuners;
    bool coarseTimer = false;
    std::uint64_t unacknowledged = 0;

    std::vector<Access> accesses;
    std::vector<std::string> tunerLog;  // "D4>C0:01=E1", "D4>C1:read"
    std::uint64_t delayedUs = 0;
    FakeClock fakeClock;

    explicit FakeRegisters(std::uint8_t demod = 0xD4) {
        chips[demod][0xF100] = 0x20;  // an STV0903
        tuners[0xC0] = {};
    }

    std::uint8_t peek(std::uint8_t device, std::uint16_t reg) { return chips[device][reg]; }

    void Transfer(std::uint8_t device, std::span<i2c::RegisterOp> ops, bool stopAtFailure) override {
        bool go = true;
        for (i2c::RegisterOp& op : ops) {
            op.attempted = go && !LinkLost();
            op.ok = false;
            if (op.kind == i2c::RegisterOp::Kind::Read) op.value = 0;
            if (!op.attempted) continue;
            if (tick()) continue;
            Access a{device, op.kind == i2c::RegisterOp::Kind::Write, op.reg, op.value, false};
            const auto chip = chips.find(device);
            if (chip != chips.end() && !(fails && fails(a))) {
                a.ok = true;
                if (a.write) {
                    if (!ignoresWrites.count(op.reg)) chip->second[op.reg] = op.value;
                } else {
                    op.value = chip->second[op.reg];
                }
            } else {
                ++unacknowledged;
            }
            op.ok = a.ok;
            a.value = op.value;
            accesses.push_back(a);
            if (stopAtFailure && !op.ok) go = false;
        }
    }

    bool WriteTunerRegister(std::uint8_t demod, std::uint8_t tuner, std::uint8_t reg, std::uint8_t value) override {
        if (!repeater(demod, i2c::RepeaterOn) || !Delay(1000)) return false;
        bool ok = false;
        if (!tick()) {
            ok = answers(tuner);
            if (ok) tuners[tuner][reg] = value;
            tunerLog.push_back(hex(demod) + ">" + hex(tuner) + ":" + hex(reg) + "=" + hex(value) + (ok ? "" : " nack"));
        }
        return repeater(demod, i2c::RepeaterOff) && Delay(100) && ok;
    }

    bool ReadTunerRegisters(std::uint8_t demod, std::uint8_t tuner,
                            std::span<std::uint8_t, i2c::TunerReadBackSize> buffer) override {
        if (!repeater(demod, i2c::RepeaterOn) || !Delay(100)) return false;
        bool ok = false;
        if (!tick()) {
            ok = answers(tuner);
            if (ok)
                for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = tuners[tuner][i];
            tunerLog.push_back(hex(demod) + ">" + hex(tuner | 1) + ":read" + (ok ? "" : " nack"));
        }
        return repeater(demod, i2c::RepeaterOff) && Delay(100) && ok;
    }

    bool Delay(std::uint32_t us) override {
        delayedUs += us;
        fakeClock.nowUs += us;
        return !coarseTimer;
    }
    const std::optional<i2c::LinkLoss>& linkLoss() const override { return loss_; }
    std::uint64_t NotAcknowledged() const override { return unacknowledged; }
    usb::Clock& clock() override { return fakeClock; }

    // The transactions of one kind to one register.
    int count(bool write, std::uint16_t reg) const {
        int n = 0;
        for (const Access& a : accesses) n += a.write == write && a.reg == reg;
        return n;
    }

private:
    // Counts a transaction; true when the link is gone (now or before).
    bool tick() {
        if (loss_) return true;
        ++transactions_;
        if (loseLinkAt && transactions_ >= *loseLinkAt) loss_ = lossToReport;
        return loss_.has_value();
    }
    bool answers(std::uint8_t tuner) const { return tuners.count(tuner & 0xFE) && !silentTuners.count(tuner & 0xFE); }
    bool repeater(std::uint8_t demod, std::uint8_t value) {
        i2c::RegisterOp op = i2c::RegisterOp::write(i2c::RepeaterRegister, value);
        Transfer(demod, std::span<i2c::RegisterOp>(&op, 1), false);
        return op.ok;
    }
    static std::string hex(unsigned v) {
        static const char* digits = "0123456789ABCDEF";
        return std::string{digits[(v >> 4) & 0xF], digits[v & 0xF]};
    }

    std::optional<i2c::LinkLoss> loss_;
    std::uint64_t transactions_ = 0;
};

}  // namespace testing_support
