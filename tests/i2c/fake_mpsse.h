// A scripted stand-in for channel A: a D2XX library that records every call
// and write, and a small MPSSE interpreter on a byte-level I2C bus, so that
// the master's byte streams and its retry logic can be checked exactly. Time
// comes from a fake clock that moves on its own, so bounded waits end at once.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "i2c/i2c_master.h"
#include "usb/channel_layer.h"
#include "usb/d2xx.h"
#include "usb/platform_services.h"

namespace fake {

using Bytes = std::vector<std::uint8_t>;

class Clock : public usb::Clock {
public:
    bool perf = true;
    std::int64_t frequency = 1'000'000;
    std::int64_t counter = 0;
    std::int64_t counterStep = 1;  // per performanceCounter() call
    std::uint32_t ticks = 1000;
    std::uint32_t tickStep = 1;    // per tickCount() call
    int counterReads = 0;
    int tickReads = 0;
    std::uint32_t sleptMs = 0;

    bool hasPerformanceCounter() override { return perf; }
    std::int64_t performanceFrequency() override { return frequency; }
    std::int64_t performanceCounter() override {
        ++counterReads;
        const std::int64_t now = counter;
        counter += counterStep;
        return now;
    }
    std::uint32_t tickCount() override {
        ++tickReads;
        const std::uint32_t now = ticks;
        ticks += tickStep;
        return now;
    }
    void sleepMs(std::uint32_t ms) override {
        sleptMs += ms;
        ticks += ms;
    }
    usb::LocalDateTime localNow() override { return {}; }
};

class Dialogs : public usb::Dialogs {
public:
    std::vector<std::string> errors;
    std::vector<std::string> boxes;
    void errorDialog(const std::string& m) override { errors.push_back(m); }
    void messageBox(const std::string& t) override { boxes.push_back(t); }
};

// A chip on the byte-level bus.
class Slave {
public:
    virtual ~Slave() = default;
    // The address byte after a start (bit 0 is R/W); true acknowledges it.
    virtual bool select(std::uint8_t address) = 0;
    virtual bool write(std::uint8_t byte) = 0;
    virtual std::uint8_t read() = 0;
    virtual void stop() {}
    // Behind a repeater, a slave is on the bus only while the repeater is on.
    std::function<bool()> reachable = [] { return true; };
};

// A 16-bit-addressed register file (the demodulator's way of addressing).
class RegisterChip : public Slave {
public:
    explicit RegisterChip(std::uint8_t address) : address_(address) {}

    std::map<std::uint16_t, std::uint8_t> regs;
    std::set<std::uint16_t> stuck;          // registers that ignore writes
    bool acknowledgeNothing = false;
    bool nackHighByte = false;              // the register high byte is refused
    std::optional<std::uint16_t> refuseRegister;  // the value byte for it is refused
    long stopAckingAfterWrites = -1;        // complete writes before it falls silent
    std::vector<std::pair<std::uint16_t, std::uint8_t>> written;  // completed writes
    int readsServed = 0;

    std::uint8_t reg(std::uint16_t r) const {
        auto it = regs.find(r);
        return it == regs.end() ? 0 : it->second;
    }

    bool select(std::uint8_t a) override {
        if ((a & 0xFE) != address_ || silent()) return false;
        reading_ = (a & 1) != 0;
        phase_ = 0;
        return true;
    }
    bool write(std::uint8_t b) override {
        if (silent()) return false;
        switch (phase_) {
        case 0:
            if (nackHighByte) return false;
            pointer_ = static_cast<std::uint16_t>(b << 8);
            phase_ = 1;
            return true;
        case 1:
            pointer_ = static_cast<std::uint16_t>(pointer_ | b);
            phase_ = 2;
            return true;
        default:
            if (refuseRegister && *refuseRegister == pointer_) return false;
            if (!stuck.count(pointer_)) regs[pointer_] = b;
            written.emplace_back(pointer_, b);
            ++pointer_;
            return true;
        }
    }
    std::uint8_t read() override {
        ++readsServed;
        return reg(pointer_++);
    }

private:
    bool silent() const {
        return acknowledgeNothing ||
               (stopAckingAfterWrites >= 0 &&
                static_cast<long>(written.size()) >= stopAckingAfterWrites);
    }
    std::uint8_t address_;
    bool reading_ = false;
    int phase_ = 0;
    std::uint16_t pointer_ = 0;
};

// An 8-bit-addressed tuner with a current-position pointer.
class TunerChip : public Slave {
public:
    TunerChip(std::uint8_t address, std::size_t size) : address_(address), regs(size, 0) {}
    std::uint8_t address_;
    std::vector<std::uint8_t> regs;
    bool acknowledgeNothing = false;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> written;
    int readsServed = 0;

    bool select(std::uint8_t a) override {
        if ((a & 0xFE) != address_ || acknowledgeNothing) return false;
        first_ = (a & 1) == 0;
        return true;
    }
    bool write(std::uint8_t b) override {
        if (acknowledgeNothing) return false;
        if (first_) {
            pointer_ = b;
            first_ = false;
            return true;
        }
        written.emplace_back(pointer_, b);
        regs[pointer_ % regs.size()] = b;
        ++pointer_;
        return true;
    }
    std::uint8_t read() override { ++readsServed; return regs[pointer_++ % regs.size()]; }

private:
    bool first_ = true;
    std::uint8_t pointer_ = 0;
};

// What happened between one start and the next start or stop.
struct Transaction {
    Bytes written;              // bytes clocked out, the address first
    std::vector<bool> acked;    // per written byte
    int bytesRead = 0;
    bool stopped = false;       // ended by a stop (not a repeated start)
};

class Mpsse : public usb::D2xxLibrary {
public:
    // Script.
    bool answers = true;           // false: the engine never answers anything
    bool answerReads = true;       // false: clocked-in bytes get no answer
    bool echoBadCommands = true;
    bool echoSecondSync = true;    // false: 0xAB gets only 0xFA back
    int answerDelayPolls = 0;      // empty queue-status polls before answers show
    long queueStatusFailFrom = -1; // 1-based call from which it fails
    std::deque<std::uint32_t> writeCaps;  // bytes accepted by the next writes
    std::map<std::string, usb::FT_STATUS> failing;
    std::vector<Slave*> slaves;

    // Record.
    std::vector<std::string> calls;
    std::vector<Bytes> writes;
    std::vector<Transaction> transactions;
    long queueStatusCalls = 0;

    Bytes allWritten() const {
        Bytes all;
        for (const Bytes& w : writes) all.insert(all.end(), w.begin(), w.end());
        return all;
    }
    // Address bytes clocked out after a start, for one address (R/W included).
    int addressBytes(std::uint8_t address) const {
        int n = 0;
        for (const Transaction& t : transactions)
            if (!t.written.empty() && t.written[0] == address) ++n;
        return n;
    }
    int writtenBytes() const {
        int n = 0;
        for (const Transaction& t : transactions) n += static_cast<int>(t.written.size());
        return n;
    }
    void clearRecords() {
        calls.clear();
        writes.clear();
        transactions.clear();
    }

    usb::FT_STATUS FT_ListDevices(void*, void*, std::uint32_t) override { return call("FT_ListDevices"); }
    usb::FT_STATUS FT_Open(int, usb::FT_HANDLE* h) override {
        *h = 0x41;
        return call("FT_Open");
    }
    usb::FT_STATUS FT_Close(usb::FT_HANDLE) override { return call("FT_Close"); }
    usb::FT_STATUS FT_Read(usb::FT_HANDLE, void* buffer, std::uint32_t n, std::uint32_t* got) override {
        if (auto s = call("FT_Read")) return s;
        auto* dst = static_cast<std::uint8_t*>(buffer);
        std::uint32_t k = 0;
        while (k < n && !rx_.empty()) {
            dst[k++] = rx_.front();
            rx_.pop_front();
        }
        *got = k;
        return usb::FT_OK;
    }
    usb::FT_STATUS FT_Write(usb::FT_HANDLE, const void* buffer, std::uint32_t n,
                            std::uint32_t* written) override {
        if (auto s = call("FT_Write")) {
            *written = 0;
            return s;
        }
        std::uint32_t take = n;
        if (!writeCaps.empty()) {
            take = std::min(take, writeCaps.front());
            writeCaps.pop_front();
        }
        const auto* src = static_cast<const std::uint8_t*>(buffer);
        writes.emplace_back(src, src + take);
        pending_.insert(pending_.end(), src, src + take);
        interpret();
        *written = take;
        return usb::FT_OK;
    }
    usb::FT_STATUS FT_ResetDevice(usb::FT_HANDLE) override { return call("FT_ResetDevice"); }
    usb::FT_STATUS FT_Purge(usb::FT_HANDLE, std::uint32_t mask) override {
        return call(mask == usb::FT_PURGE_RX ? "FT_Purge RX" : "FT_Purge TX");
    }
    usb::FT_STATUS FT_SetTimeouts(usb::FT_HANDLE, std::uint32_t r, std::uint32_t w) override {
        return call("FT_SetTimeouts " + std::to_string(r) + " " + std::to_string(w));
    }
    usb::FT_STATUS FT_GetQueueStatus(usb::FT_HANDLE, std::uint32_t* rx) override {
        ++queueStatusCalls;
        if (queueStatusFailFrom > 0 && queueStatusCalls >= queueStatusFailFrom) return usb::FT_IO_ERROR;
        if (!hidden_.empty()) {
            if (delayLeft_ > 0) {
                --delayLeft_;
            } else {
                rx_.insert(rx_.end(), hidden_.begin(), hidden_.end());
                hidden_.clear();
            }
        }
        *rx = static_cast<std::uint32_t>(rx_.size());
        return usb::FT_OK;
    }
    usb::FT_STATUS FT_StopInTask(usb::FT_HANDLE) override { return call("FT_StopInTask"); }
    usb::FT_STATUS FT_RestartInTask(usb::FT_HANDLE) override { return call("FT_RestartInTask"); }
    usb::FT_STATUS FT_CreateDeviceInfoList(std::uint32_t*) override { return call("FT_CreateDeviceInfoList"); }
    usb::FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t, std::uint32_t*, std::uint32_t*, std::uint32_t*,
                                          std::uint32_t*, void*, void*, usb::FT_HANDLE*) override {
        return call("FT_GetDeviceInfoDetail");
    }
    usb::FT_STATUS FT_SetLatencyTimer(usb::FT_HANDLE, std::uint8_t ms) override {
        return call("FT_SetLatencyTimer " + std::to_string(ms));
    }
    usb::FT_STATUS FT_SetBitMode(usb::FT_HANDLE, std::uint8_t mask, std::uint8_t mode) override {
        return call("FT_SetBitMode " + std::to_string(mask) + " " + std::to_string(mode));
    }
    usb::FT_STATUS FT_SetUSBParameters(usb::FT_HANDLE, std::uint32_t in, std::uint32_t out) override {
        return call("FT_SetUSBParameters " + std::to_string(in) + " " + std::to_string(out));
    }

    // Leaves stray bytes in the receive queue, as an earlier session might.
    void injectAnswer(const Bytes& bytes) { rx_.insert(rx_.end(), bytes.begin(), bytes.end()); }

private:
    usb::FT_STATUS call(const std::string& name) {
        calls.push_back(name);
        const std::string key = name.substr(0, name.find(' '));
        auto it = failing.find(key);
        return it == failing.end() ? usb::FT_OK : it->second;
    }

    void answer(std::uint8_t b) {
        if (!answers) return;
        if (hidden_.empty()) delayLeft_ = answerDelayPolls;
        hidden_.push_back(b);
    }

    void pins(std::uint8_t value, std::uint8_t dir) {
        const bool scl = (dir & 0x01) ? (value & 0x01) != 0 : true;
        const bool sda = (dir & 0x02) ? (value & 0x02) != 0 : true;
        if (scl_ && scl) {
            if (sda_ && !sda) start();
            if (!sda_ && sda) stop();
        }
        scl_ = scl;
        sda_ = sda;
    }
    void start() {
        if (inTransaction_) endTransaction(false);
        transactions.emplace_back();
        inTransaction_ = true;
        expectAddress_ = true;
        active_ = nullptr;
    }
    void stop() {
        if (inTransaction_) endTransaction(true);
    }
    void endTransaction(bool stopped) {
        transactions.back().stopped = stopped;
        inTransaction_ = false;
        if (active_ && stopped) active_->stop();
        if (stopped) active_ = nullptr;
    }
    void byteOut(std::uint8_t b) {
        bool ack = false;
        if (inTransaction_ && expectAddress_) {
            expectAddress_ = false;
            active_ = nullptr;
            for (Slave* s : slaves) {
                if (s->reachable() && s->select(b)) {
                    active_ = s;
                    break;
                }
            }
            reading_ = (b & 1) != 0;
            ack = active_ != nullptr;
        } else if (inTransaction_ && active_ && !reading_) {
            ack = active_->write(b);
        }
        if (inTransaction_) {
            transactions.back().written.push_back(b);
            transactions.back().acked.push_back(ack);
        }
        lastAck_ = ack;
    }
    std::uint8_t byteIn() {
        if (inTransaction_) ++transactions.back().bytesRead;
        if (inTransaction_ && active_ && reading_) return active_->read();
        return 0xFF;
    }

    // Runs every complete command waiting in pending_.
    void interpret() {
        std::size_t i = 0;
        auto have = [&](std::size_t n) { return i + n <= pending_.size(); };
        while (i < pending_.size()) {
            const std::uint8_t op = pending_[i];
            std::size_t used = 1;
            switch (op) {
            case 0x80:
                if (!have(3)) goto done;
                pins(pending_[i + 1], pending_[i + 2]);
                used = 3;
                break;
            case 0x82:
            case 0x86:
                if (!have(3)) goto done;
                used = 3;
                break;
            case 0x8A: case 0x97: case 0x8D: case 0x85: case 0x87:
                break;
            case 0x11: {
                if (!have(3)) goto done;
                const std::size_t q = (pending_[i + 1] | (pending_[i + 2] << 8)) + 1u;
                if (!have(3 + q)) goto done;
                for (std::size_t k = 0; k < q; ++k) byteOut(pending_[i + 3 + k]);
                used = 3 + q;
                break;
            }
            case 0x13:
                if (!have(3)) goto done;  // master's own acknowledge bit
                used = 3;
                break;
            case 0x25: {
                if (!have(3)) goto done;
                const std::size_t q = (pending_[i + 1] | (pending_[i + 2] << 8)) + 1u;
                for (std::size_t k = 0; k < q; ++k) {
                    const std::uint8_t v = byteIn();
                    if (answerReads) answer(v);
                }
                used = 3;
                break;
            }
            case 0x27:
                if (!have(2)) goto done;
                answer(lastAck_ ? 0x00 : 0x01);
                used = 2;
                break;
            default:
                if (echoBadCommands) {
                    answer(0xFA);
                    if (op != 0xAB || echoSecondSync) answer(op);
                }
                break;
            }
            i += used;
        }
    done:
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(i));
    }

    Bytes pending_;
    std::deque<std::uint8_t> rx_;
    Bytes hidden_;
    int delayLeft_ = 0;
    bool scl_ = true, sda_ = true;
    bool inTransaction_ = false, expectAddress_ = false, reading_ = false, lastAck_ = false;
    Slave* active_ = nullptr;
};

// The master on a scripted channel A that is open and ready.
struct Rig {
    Clock clock;
    Dialogs dialogs;
    Mpsse lib;
    usb::ChannelLayer channels{lib, dialogs};
    i2c::I2cMaster master{channels, clock, dialogs};

    Rig() {
        channels.Open_USB_Device_A();
        master.ChannelAOpen = true;
        master.LowBytePins = 0x13;  // as after a set-up
        lib.clearRecords();
    }
};

}  // namespace fake
