// A protocol analyser on the simulated I2C bus: it only listens, and turns
// the line changes into transactions (start, address, bytes with their
// acknowledges, up to the next repeated start or stop).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/i2c_bus.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

struct I2cTransaction {
    Bytes written;            // bytes the master clocked out, the address first
    std::vector<bool> acked;  // per written byte: a slave pulled SDA low
    Bytes read;               // bytes a slave sent back
    bool stopped = false;     // ended by a stop, not by a repeated start
    int bytesRead() const { return static_cast<int>(read.size()); }
    bool allAcked() const {
        for (bool a : acked)
            if (!a) return false;
        return true;
    }
};

class I2cMonitor : public sim::I2cBusDevice {
public:
    // On the main segment it sees whatever the repeater joins to it.
    void attach(sim::I2cBus& bus, int segment = sim::I2cBus::kMainSegment) { bus.attach(this, segment); }

    std::vector<I2cTransaction> transactions;
    void clear() {
        transactions.clear();
        inTransaction_ = false;
    }

    // Transactions whose address byte is this one (read/write bit included).
    int addressBytes(std::uint8_t address) const {
        int n = 0;
        for (const I2cTransaction& t : transactions)
            if (!t.written.empty() && t.written[0] == address) ++n;
        return n;
    }
    int writtenBytes() const {
        int n = 0;
        for (const I2cTransaction& t : transactions) n += static_cast<int>(t.written.size());
        return n;
    }

    // Every complete, fully acknowledged write ended by a stop, as
    // "D4:F12A=C8" (16-bit register) or "C0:01=E1" (8-bit register).
    std::vector<std::string> completedWrites() const {
        std::vector<std::string> out;
        for (const I2cTransaction& t : transactions) {
            if (!t.stopped || t.written.empty() || (t.written[0] & 1) || !t.allAcked()) continue;
            char text[32];
            const Bytes& w = t.written;
            if (w.size() == 4) {
                std::snprintf(text, sizeof text, "%02X:%02X%02X=%02X", w[0], w[1], w[2], w[3]);
            } else if (w.size() == 3) {
                std::snprintf(text, sizeof text, "%02X:%02X=%02X", w[0], w[1], w[2]);
            } else {
                continue;
            }
            out.emplace_back(text);
        }
        return out;
    }
    // Completed writes to one address.
    int completedWritesTo(std::uint8_t address) const {
        char prefix[4];
        std::snprintf(prefix, sizeof prefix, "%02X:", address);
        int n = 0;
        for (const std::string& w : completedWrites()) n += w.rfind(prefix, 0) == 0;
        return n;
    }

    void busChanged(sim::BusLevels before, sim::BusLevels after) override {
        if (before.sda != after.sda) {
            if (!after.scl) return;  // an ordinary data change
            if (!after.sda) {        // start or repeated start
                if (inTransaction_) end(false);
                transactions.emplace_back();
                inTransaction_ = true;
                reading_ = false;
                first_ = true;
            } else if (inTransaction_) {  // stop
                end(true);
            }
            bits_ = 0;
            shift_ = 0;
            return;
        }
        if (!after.scl || !inTransaction_) return;
        // Rising clock: a data bit, or the ninth, the acknowledge.
        if (bits_ < 8) {
            shift_ = static_cast<std::uint8_t>(shift_ << 1 | (after.sda ? 1 : 0));
            ++bits_;
            return;
        }
        bits_ = 0;
        I2cTransaction& t = transactions.back();
        const bool ack = !after.sda;
        if (first_ || !reading_) {
            t.written.push_back(shift_);
            t.acked.push_back(ack);
            if (first_) reading_ = (shift_ & 1) != 0;
            first_ = false;
        } else {
            t.read.push_back(shift_);
        }
        shift_ = 0;
    }

private:
    void end(bool stopped) {
        transactions.back().stopped = stopped;
        inTransaction_ = false;
    }

    bool inTransaction_ = false;
    bool reading_ = false;
    bool first_ = false;
    int bits_ = 0;
    std::uint8_t shift_ = 0;
};

}  // namespace testing_support
