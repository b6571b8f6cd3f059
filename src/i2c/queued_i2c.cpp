#include "i2c/queued_i2c.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <unordered_map>

#include "i2c/mpsse.h"

namespace i2c {

using namespace mpsse;

namespace {

// A register transaction's answers: the acknowledges of the address and the
// two register bytes, then of the value (write) or of the read address
// (read), then the data byte of a read.
constexpr std::uint32_t RegisterAcks = 4;

// An upper bound on one pin write, for the answer time-outs.
constexpr std::uint32_t PinWriteUs = 1;

}  // namespace

struct QueuedI2c::Slot {
    static constexpr std::size_t NoOp = std::numeric_limits<std::size_t>::max();
    // The op's index, or NoOp for a write that restores a register before a
    // read is redone (and for the tuner transactions).
    std::size_t op = NoOp;
    std::uint16_t reg = 0;
    bool write = false;
    std::uint8_t value = 0;  // what a restoring write writes
    int restoreTries = 0;
    std::uint32_t answerAt = 0;  // the slot's first answer in its batch
    std::uint32_t acks = 0;      // its first answers that are acknowledges
    // False once a redo queued it again: its answers mean nothing.
    bool valid = true;
    // A read: a write of the same register went before it in this transfer,
    // so the value it must see is known should it have to be redone.
    bool baseKnown = false;
};

struct QueuedI2c::Batch {
    std::vector<std::uint8_t> commands;
    std::vector<Slot> slots;
    std::vector<std::uint8_t> answers;
    std::uint32_t answerCount = 0;
    std::uint32_t clocks = 0;  // SCL cycles
    std::uint32_t pinWrites = 0;

    std::uint32_t timeoutMs() const {
        const std::uint64_t busUs = std::uint64_t{clocks} * 1'000'000 / BusHz + std::uint64_t{pinWrites} * PinWriteUs;
        const std::uint64_t ms = 2 * busUs / 1000 + AnswerMarginMs;
        // Whole 50 ms steps, so that the read time-out is seldom set anew.
        return static_cast<std::uint32_t>((ms + 49) / 50 * 50);
    }
};

// The MPSSE commands of one transaction's steps, appended to a batch.
class QueuedI2c::Encoder {
public:
    Encoder(QueuedI2c::Batch& batch, std::uint8_t& pins) : b_(batch), pins_(pins) {}

    void start() {
        // The SDA drive a byte write leaves for the next byte is not needed:
        // the start sets both lines itself.
        redrive_ = false;
        pins_ |= PinSCL | PinSDA;
        repeat(EdgeRepeats);
        pins_ &= static_cast<std::uint8_t>(~PinSDA);  // SDA falls while SCL is high
        repeat(EdgeRepeats);
        pins_ &= static_cast<std::uint8_t>(~PinSCL);
        repeat(1);
    }

    void stop() {
        redrive_ = false;
        pins_ |= PinSCL;
        pins_ &= static_cast<std::uint8_t>(~PinSDA);
        repeat(EdgeRepeats);
        pins_ |= PinSDA;  // SDA rises while SCL is high
        repeat(EdgeRepeats);
        setPins(DirReleaseBoth);  // the bus is left to its pull-ups
    }

    // Eight bits out, then SDA released and the acknowledge clocked in as
    // one answer byte (bit 0 low: acknowledged).
    void write(std::uint8_t value) {
        if (redrive_) setPins(DirDriveBoth);
        put({BytesOut, 0x00, 0x00, value});
        setPins(DirReleaseSDA);
        put({BitsIn, 0x00});
        ++b_.answerCount;
        b_.clocks += 9;
        redrive_ = true;
    }

    // Eight bits in with SDA released, then the master's acknowledge (SDA
    // pulled low) or not-acknowledge (SDA left to its pull-up).
    void read(bool acknowledge) {
        redrive_ = false;
        setPins(DirReleaseSDA);
        put({BytesIn, 0x00, 0x00});
        ++b_.answerCount;
        if (acknowledge) {
            setPins(DirDriveBoth);
            put({BitsOut, 0x00, 0x00});
        } else {
            put({BitsOut, 0x00, 0x80});
        }
        b_.clocks += 9;
    }

    // The bus left alone for at least `us`: the engine clocks with both
    // lines released (after a stop), so nothing reaches the wire, and the
    // time is the engine's own, whatever the host does meanwhile.
    void idle(std::uint32_t us) {
        const std::uint32_t bytes = static_cast<std::uint32_t>((std::uint64_t{us} * QueuedI2c::BusHz + 7'999'999) / 8'000'000);
        if (bytes == 0) return;
        put({ClockBytesOnly, static_cast<std::uint8_t>((bytes - 1) & 0xFF), static_cast<std::uint8_t>((bytes - 1) >> 8)});
        b_.clocks += 8 * bytes;
    }

private:
    void put(std::initializer_list<std::uint8_t> bytes) {
        b_.commands.insert(b_.commands.end(), bytes.begin(), bytes.end());
    }
    void setPins(std::uint8_t direction) {
        put({SetLowByte, pins_, direction});
        ++b_.pinWrites;
    }
    void repeat(int times) {
        for (int i = 0; i < times; ++i) setPins(DirDriveBoth);
    }

    QueuedI2c::Batch& b_;
    std::uint8_t& pins_;
    bool redrive_ = false;
};

namespace {

int attemptsOf(const RegisterOp& op) {
    return op.kind == RegisterOp::Kind::Read ? ReadAttempts : WriteAttempts;
}

}  // namespace

// One Transfer: the ops queued in batches, two batches in flight, the
// answers checked as each batch comes back, and redos queued in front of
// whatever has not gone out yet.
class QueuedI2c::Run {
public:
    Run(QueuedI2c& q, std::uint8_t device, std::span<RegisterOp> ops, bool stopAtFailure)
        : q_(q), device_(device), ops_(ops), stopAtFailure_(stopAtFailure), state_(ops.size()) {
        for (const RegisterOp& op : ops) budget_ += static_cast<std::uint64_t>(attemptsOf(op));
    }

    void go() {
        while (!q_.LinkLost() && !q_.stalled_) {
            while (inFlight_.size() < MaxBatchesInFlight && fill()) {
            }
            if (inFlight_.empty() || q_.LinkLost() || q_.stalled_) break;
            collect();
        }
        finish();
    }

private:
    struct OpState {
        int attempts = 0;
        bool sent = false;
        bool done = false;
        bool unresolved = false;  // failed an attempt, not done yet
    };
    struct RegState {
        bool writeSent = false;
        // The value the register holds once every write that went out
        // before has taken; unknown after a write that failed for good.
        std::optional<std::uint8_t> lastWrite;
    };

    Slot freshSlot(std::size_t i) const {
        Slot s;
        s.op = i;
        s.reg = ops_[i].reg;
        s.write = ops_[i].kind == RegisterOp::Kind::Write;
        return s;
    }

    static Slot restoreSlot(std::uint16_t reg, std::uint8_t value) {
        Slot s;
        s.reg = reg;
        s.write = true;
        s.value = value;
        return s;
    }

    // A write may not overtake a read of its register whose own value could
    // not be brought back if that read had to be redone.
    bool blocked(std::uint16_t reg, const Batch& building) const {
        auto readOfUnknown = [&](const Slot& s) { return s.valid && !s.write && s.reg == reg && !s.baseKnown; };
        for (const Batch& b : inFlight_)
            if (std::any_of(b.slots.begin(), b.slots.end(), readOfUnknown)) return true;
        return std::any_of(building.slots.begin(), building.slots.end(), readOfUnknown);
    }

    void encode(const Slot& s, Batch& b) {
        Encoder e(b, q_.pins_);
        const auto address = static_cast<std::uint8_t>(device_ & 0xFE);
        const auto hi = static_cast<std::uint8_t>(s.reg >> 8);
        const auto lo = static_cast<std::uint8_t>(s.reg & 0xFF);
        e.start();
        e.write(address);
        e.write(hi);
        e.write(lo);
        if (s.write) {
            e.write(s.op == Slot::NoOp ? s.value : ops_[s.op].value);
        } else {
            e.start();
            e.write(static_cast<std::uint8_t>(device_ | 0x01));
            e.read(false);
        }
        e.stop();
    }

    // Builds the next batch from the redos and then the ops not sent yet,
    // and writes it; false when nothing went out.
    bool fill() {
        if (halted_ || q_.LinkLost() || q_.stalled_) return false;
        // However the redos cascade, no more transactions go out than the
        // ops' attempts add up to; what is not done then has failed.
        if (sent_ >= budget_) return false;
        Batch b;
        b.commands.reserve(MaxBatchBytes);
        for (;;) {
            Slot s;
            bool fresh = false;
            if (!queue_.empty()) {
                s = queue_.front();
            } else if (next_ < ops_.size() && (!stopAtFailure_ || unresolved_ == 0)) {
                // With stopAtFailure no new op goes out while an earlier one
                // may still fail for good.
                s = freshSlot(next_);
                fresh = true;
            } else {
                break;
            }
            if (s.write && blocked(s.reg, b)) break;

            const std::size_t bytes = b.commands.size();
            const std::uint32_t answers = b.answerCount, clocks = b.clocks, pinWrites = b.pinWrites;
            const std::uint8_t pins = q_.pins_;
            // Writes take GPIOL0 low with their first pin command, for good.
            if (s.write) q_.pins_ &= static_cast<std::uint8_t>(~PinGPIOL0);
            s.answerAt = b.answerCount;
            s.acks = RegisterAcks;
            encode(s, b);
            if (b.commands.size() + 1 > MaxBatchBytes) {
                b.commands.resize(bytes);
                b.answerCount = answers;
                b.clocks = clocks;
                b.pinWrites = pinWrites;
                q_.pins_ = pins;
                break;
            }

            RegState& reg = regs_[s.reg];
            s.valid = true;
            if (s.write) reg.writeSent = true;
            else s.baseKnown = reg.writeSent;
            if (fresh) ++next_;
            else queue_.pop_front();
            ++q_.stats_.transactions;
            ++sent_;
            if (s.op == Slot::NoOp || state_[s.op].sent) ++q_.stats_.redone;
            if (s.op != Slot::NoOp) state_[s.op].sent = true;
            b.slots.push_back(s);
            if (sent_ >= budget_) break;
        }
        if (b.slots.empty()) return false;
        b.commands.push_back(SendImmediate);
        const Io r = q_.writeBatch(b);
        if (r == Io::Lost) return false;
        inFlight_.push_back(std::move(b));
        if (r == Io::TimedOut) {
            timedOut();
            return false;
        }
        return true;
    }

    void collect() {
        Batch& b = inFlight_.front();
        const Io r = q_.readAnswers(b);
        if (r == Io::Lost) return;
        if (r == Io::TimedOut) {
            timedOut();
            return;
        }
        process();
        inFlight_.pop_front();
    }

    // The valid slots behind slot `index` of the oldest batch that work on
    // reg, in the order they went out.
    std::vector<Slot*> laterOn(std::size_t index, std::uint16_t reg) {
        std::vector<Slot*> found;
        for (std::size_t bi = 0; bi < inFlight_.size(); ++bi) {
            std::vector<Slot>& slots = inFlight_[bi].slots;
            for (std::size_t i = bi == 0 ? index + 1 : 0; i < slots.size(); ++i)
                if (slots[i].valid && slots[i].reg == reg) found.push_back(&slots[i]);
        }
        return found;
    }

    // Takes the slots out of their batches to go again: their answers will
    // mean nothing.
    static std::vector<Slot> take(const std::vector<Slot*>& slots) {
        std::vector<Slot> taken;
        for (Slot* s : slots) {
            s->valid = false;
            taken.push_back(*s);
        }
        return taken;
    }

    std::uint8_t valueOf(const Slot& s) const { return s.op == Slot::NoOp ? s.value : ops_[s.op].value; }

    // The value the last write among the slots leaves, if one writes.
    std::optional<std::uint8_t> lastWritten(const std::vector<Slot*>& slots) const {
        std::optional<std::uint8_t> last;
        for (const Slot* s : slots)
            if (s->write) last = valueOf(*s);
        return last;
    }

    // A write that failed goes again from a new start. Behind it on its
    // register, the reads up to the next write saw the wrong value and go
    // again after it; whatever came after those saw what it should have,
    // and only the register's final value is put back behind the redo. A
    // restoring write that nothing reads any more is not redone: the writes
    // behind it set the register.
    void redoWrite(std::size_t index, const Slot& s) {
        const std::vector<Slot*> later = laterOn(index, s.reg);
        std::vector<Slot*> readsBefore;
        for (Slot* t : later) {
            if (t->write) break;
            readsBefore.push_back(t);
        }
        const auto last = lastWritten(later);
        if (s.op == Slot::NoOp && readsBefore.empty() && last) return;
        std::vector<Slot> group{s};
        for (const Slot& t : take(readsBefore)) group.push_back(t);
        if (last) group.push_back(restoreSlot(s.reg, *last));
        requeue(group);
    }

    // A restoring write that failed for good: the reads that needed its
    // value (behind it, up to the next write of the register, in flight or
    // still queued) cannot be given it and fail for good.
    void failDependents(std::size_t index, std::uint16_t reg) {
        bool writeSeen = false;
        for (Slot* t : laterOn(index, reg)) {
            if (t->write) {
                writeSeen = true;
                break;
            }
            t->valid = false;
            if (t->op != Slot::NoOp) failForGood(*t);
        }
        if (writeSeen) return;
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->reg != reg) {
                ++it;
                continue;
            }
            if (it->write) break;
            if (it->op != Slot::NoOp) failForGood(*it);
            it = queue_.erase(it);
        }
    }

    // A read that failed goes again from a new start; if writes of its
    // register went out behind it, it gets the register's value from before
    // them for its redo, and the final value is put back after it.
    void redoRead(std::size_t index, const Slot& s) {
        const std::vector<Slot*> later = laterOn(index, s.reg);
        const auto last = lastWritten(later);
        if (!last) {
            requeue({s});
            return;
        }
        if (const auto& base = regs_[s.reg].lastWrite) {
            requeue({restoreSlot(s.reg, *base), s, restoreSlot(s.reg, *last)});
            return;
        }
        // Its value cannot be given back (the writes are kept from
        // overtaking such a read; this is the safe way all the same).
        std::vector<Slot> group{s};
        for (const Slot& t : take(later)) group.push_back(t);
        requeue(group);
    }

    void requeue(const std::vector<Slot>& items) { queue_.insert(queue_.begin(), items.begin(), items.end()); }

    void resolve(OpState& st) {
        st.done = true;
        if (st.unresolved) {
            st.unresolved = false;
            --unresolved_;
        }
    }

    void failForGood(const Slot& s) {
        OpState& st = state_[s.op];
        RegisterOp& op = ops_[s.op];
        op.ok = false;
        if (!s.write) op.value = 0;
        resolve(st);
        // What a failed write left in the register is anybody's guess, and
        // no later write may overtake a read of it until one has set it.
        if (s.write) {
            regs_[s.reg].lastWrite.reset();
            regs_[s.reg].writeSent = false;
        }
        if (stopAtFailure_) halted_ = true;
    }

    void process() {
        Batch& b = inFlight_.front();
        for (std::size_t i = 0; i < b.slots.size(); ++i) {
            // A copy: the batch's slots may be marked while it is handled.
            const Slot s = b.slots[i];
            const std::uint8_t* a = b.answers.data() + s.answerAt;
            std::uint32_t unacknowledged = 0;
            for (std::uint32_t k = 0; k < s.acks; ++k) unacknowledged += a[k] & 0x01;
            q_.notAcknowledged_ += unacknowledged;
            if (!s.valid) continue;
            const bool ok = unacknowledged == 0;
            RegState& reg = regs_[s.reg];

            if (s.op == Slot::NoOp) {
                if (ok) {
                    reg.lastWrite = s.value;
                } else if (!halted_ && s.restoreTries + 1 < WriteAttempts) {
                    Slot again = s;
                    ++again.restoreTries;
                    redoWrite(i, again);
                } else if (!halted_) {
                    failDependents(i, s.reg);
                    // Unknown from here on: no write may overtake the reads
                    // that follow until one has set the register.
                    reg.lastWrite.reset();
                    reg.writeSent = false;
                }
                continue;
            }

            OpState& st = state_[s.op];
            RegisterOp& op = ops_[s.op];
            ++st.attempts;
            if (ok) {
                op.ok = true;
                if (s.write) reg.lastWrite = op.value;
                else op.value = a[s.acks];
                resolve(st);
                continue;
            }
            if (halted_) {
                // Gone to the bus behind a failure that ended the transfer.
                failForGood(s);
                continue;
            }
            if (st.attempts >= attemptsOf(op)) {
                failForGood(s);
                // What went out behind a failed write came after its last
                // attempt, as it would have; but no later write may overtake
                // a read of a value that is unknown now: they go again, the
                // writes held back behind the reads.
                if (s.write && !halted_) requeue(take(laterOn(i, s.reg)));
                continue;
            }
            if (!st.unresolved) {
                st.unresolved = true;
                ++unresolved_;
            }
            if (s.write) redoWrite(i, s);
            else redoRead(i, s);
        }
    }

    // Nothing that went out in the window can be trusted: every transaction
    // of it counts a failed attempt and goes again, in order, once the
    // engine's answers are in step again.
    void timedOut() {
        ++q_.stats_.timeouts;
        std::vector<Slot> lost;
        for (Batch& b : inFlight_)
            for (const Slot& s : b.slots)
                if (s.valid) lost.push_back(s);
        inFlight_.clear();
        q_.notAcknowledged_ += lost.size();
        if (!q_.resync()) return;

        std::vector<Slot> again;
        for (Slot s : lost) {
            if (s.op == Slot::NoOp) {
                if (++s.restoreTries < WriteAttempts) again.push_back(s);
                continue;
            }
            OpState& st = state_[s.op];
            ++st.attempts;
            if (halted_ || st.attempts >= attemptsOf(ops_[s.op])) {
                failForGood(s);
                continue;
            }
            if (!st.unresolved) {
                st.unresolved = true;
                ++unresolved_;
            }
            again.push_back(s);
        }
        if (halted_) return;
        // A register whose first transaction here is a read followed by a
        // write gets its value back before the read goes again.
        std::vector<Slot> redo;
        std::vector<std::uint16_t> seen;
        for (std::size_t i = 0; i < again.size(); ++i) {
            const Slot& s = again[i];
            if (std::find(seen.begin(), seen.end(), s.reg) == seen.end()) {
                seen.push_back(s.reg);
                const bool writeBehind = std::any_of(again.begin() + static_cast<std::ptrdiff_t>(i) + 1, again.end(),
                                                     [&](const Slot& t) { return t.reg == s.reg && t.write; });
                const auto& last = regs_[s.reg].lastWrite;
                if (!s.write && writeBehind && last) redo.push_back(restoreSlot(s.reg, *last));
            }
            redo.push_back(s);
        }
        requeue(redo);
    }

    void finish() {
        for (std::size_t i = 0; i < ops_.size(); ++i) {
            RegisterOp& op = ops_[i];
            const OpState& st = state_[i];
            op.attempted = st.sent;
            if (!st.done) {
                op.ok = false;
                if (op.kind == RegisterOp::Kind::Read) op.value = 0;
            }
        }
    }

    QueuedI2c& q_;
    const std::uint8_t device_;
    const std::span<RegisterOp> ops_;
    const bool stopAtFailure_;
    std::vector<OpState> state_;
    std::unordered_map<std::uint16_t, RegState> regs_;
    std::deque<Slot> queue_;  // redos, before any op not sent yet
    std::size_t next_ = 0;    // the first op never sent
    std::deque<Batch> inFlight_;
    bool halted_ = false;  // stopAtFailure: an op failed for good
    int unresolved_ = 0;
    std::uint64_t budget_ = 0;
    std::uint64_t sent_ = 0;
};

QueuedI2c::QueuedI2c(usb::ChannelLayer& channels, usb::Clock& clock, std::uint8_t pins)
    : channels_(channels), clock_(clock), pins_(pins) {}

void QueuedI2c::Restart(std::uint8_t pins) {
    pins_ = pins;
    prepared_ = false;
    stalled_ = false;
    readTimeoutMs_.reset();
    linkLoss_.reset();
}

bool QueuedI2c::failed(const char* caption, usb::FT_STATUS status) {
    if (status == usb::FT_OK) return false;
    // The first failure is the one the operator saw in the dialog.
    if (!linkLoss_) linkLoss_ = LinkLoss{caption, status};
    return true;
}

bool QueuedI2c::prepare() {
    if (LinkLost()) return false;
    if (!prepared_) {
        // A batch goes out in one bulk transfer, not in 64-byte pieces.
        if (failed("FT_SetUSBParameters A", channels_.Set_USB_Parameters_A(UsbTransferSize, UsbTransferSize)))
            return false;
        prepared_ = true;
    }
    return !stalled_ || resync();
}

bool QueuedI2c::setReadTimeout(std::uint32_t ms) {
    if (readTimeoutMs_ == ms) return true;
    if (failed("FT_SetTimeouts A", channels_.Set_USB_Device_TimeOuts_A(ms, WriteTimeoutMs))) return false;
    readTimeoutMs_ = ms;
    return true;
}

void QueuedI2c::restoreTimeouts() {
    // Reads return at once again, as the set-up left them.
    if (!LinkLost() && readTimeoutMs_.value_or(0) != 0) setReadTimeout(0);
}

QueuedI2c::Io QueuedI2c::writeBatch(Batch& batch) {
    ++stats_.batches;
    const auto count = static_cast<std::uint32_t>(batch.commands.size());
    std::uint32_t sent = 0;
    const std::uint32_t start = clock_.tickCount();
    while (sent < count) {
        sent += channels_.Write_USB_Device_Buffer_A(batch.commands.data() + sent, count - sent);
        if (failed("FT_Write A", channels_.FT_IO_Status)) return Io::Lost;
        // A short write is the write time-out: the chip takes no commands.
        if (sent < count && clock_.tickCount() - start >= WriteTimeoutMs) return Io::TimedOut;
    }
    return Io::Ok;
}

QueuedI2c::Io QueuedI2c::readAnswers(Batch& batch) {
    batch.answers.resize(batch.answerCount);
    const std::uint32_t limit = batch.timeoutMs();
    // The read blocks until the answers are there or the time-out ends it.
    if (!setReadTimeout(limit)) return Io::Lost;
    std::uint32_t got = 0;
    const std::uint32_t start = clock_.tickCount();
    while (got < batch.answerCount) {
        const std::uint32_t want = std::min(batch.answerCount - got, usb::ChannelABufferSize);
        const std::uint32_t n = channels_.Read_USB_Device_Buffer_A(want);
        if (failed("FT_Read A", channels_.FT_IO_Status)) return Io::Lost;
        std::memcpy(batch.answers.data() + got, channels_.FT_In_Buffer_A.data(), n);
        got += n;
        if (got >= batch.answerCount) break;
        if (clock_.tickCount() - start >= limit) return Io::TimedOut;
        // A library whose read does not wait is not polled flat out.
        if (n == 0) clock_.sleepMs(1);
    }
    return Io::Ok;
}

bool QueuedI2c::resync() {
    stalled_ = true;
    // Commands the engine has not taken and answers already sent are dropped;
    // answers still on their way come before the echo of two bad commands,
    // which shows where the answers stand.
    if (failed("FT_Purge TX A", channels_.Purge_USB_Device_In_A())) return false;
    if (failed("FT_Purge RX A", channels_.Purge_USB_Device_Out_A())) return false;
    const std::uint8_t probe[] = {0xAA, 0xAB, SendImmediate};
    const std::uint8_t echo[] = {BadCommandEcho, 0xAA, BadCommandEcho, 0xAB};
    channels_.Write_USB_Device_Buffer_A(probe, sizeof probe);
    if (failed("FT_Write A", channels_.FT_IO_Status)) return false;
    std::size_t matched = 0;
    const std::uint32_t start = clock_.tickCount();
    while (clock_.tickCount() - start < ResyncTimeoutMs) {
        if (failed("FT_GetQueueStatus A", channels_.Get_USB_Device_QueueStatus_A())) return false;
        if (channels_.FT_Q_Bytes == 0) {
            clock_.sleepMs(1);
            continue;
        }
        const std::uint32_t n = channels_.Read_USB_Device_Buffer_A(std::min(channels_.FT_Q_Bytes, usb::ChannelABufferSize));
        if (failed("FT_Read A", channels_.FT_IO_Status)) return false;
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint8_t byte = channels_.FT_In_Buffer_A[i];
            matched = byte == echo[matched] ? matched + 1 : byte == BadCommandEcho ? 1 : 0;
            if (matched == sizeof echo) {
                stalled_ = false;
                return true;
            }
        }
    }
    return false;
}

void QueuedI2c::Transfer(std::uint8_t device, std::span<RegisterOp> ops, bool stopAtFailure) {
    Run run(*this, device, ops, stopAtFailure);
    // Without a link, or with an engine that stays silent, nothing goes out
    // and every op fails unattempted.
    prepare();
    run.go();
    restoreTimeouts();
}

QueuedI2c::Io QueuedI2c::runAlone(Batch& batch) {
    if (!prepare()) return Io::Lost;
    batch.commands.push_back(SendImmediate);
    stats_.transactions += batch.slots.size();
    Io r = writeBatch(batch);
    if (r == Io::Ok) r = readAnswers(batch);
    restoreTimeouts();
    if (r == Io::TimedOut) {
        ++stats_.timeouts;
        notAcknowledged_ += batch.slots.size();
        resync();
    }
    return r;
}

bool QueuedI2c::acknowledged(const Batch& batch, const Slot& slot) {
    std::uint32_t missing = 0;
    for (std::uint32_t k = 0; k < slot.acks; ++k) missing += batch.answers[slot.answerAt + k] & 0x01;
    notAcknowledged_ += missing;
    return missing == 0;
}

bool QueuedI2c::repeater(std::uint8_t demod, std::uint8_t value, std::uint32_t settleUs) {
    if (LinkLost()) return false;
    if (!WriteRegister(demod, RepeaterRegister, value)) return false;
    return Delay(settleUs);
}

bool QueuedI2c::behindRepeater(std::uint8_t demod, std::uint32_t settleUs, const TunerSteps& steps,
                               std::uint32_t acks, std::span<std::uint8_t> data) {
    if (LinkLost()) return false;
    auto registerWrite = [&](Encoder& e, std::uint8_t value) {
        e.start();
        e.write(static_cast<std::uint8_t>(demod & 0xFE));
        e.write(static_cast<std::uint8_t>(RepeaterRegister >> 8));
        e.write(static_cast<std::uint8_t>(RepeaterRegister & 0xFF));
        e.write(value);
        e.stop();
    };
    auto tunerSlot = [&](Batch& b) {
        Slot s;
        s.answerAt = b.answerCount;
        s.acks = acks;
        b.slots.push_back(s);
    };
    auto keepData = [&](const Batch& b, const Slot& s) {
        if (b.answers.size() >= s.answerAt + acks + data.size())
            std::copy_n(b.answers.begin() + s.answerAt + acks, data.size(), data.begin());
    };

    // All in one batch: the repeater on, its settling time clocked by the
    // engine with both lines released, the tuner's transaction, the
    // repeater off and its settling time.
    Batch b;
    pins_ &= static_cast<std::uint8_t>(~PinGPIOL0);
    Encoder e(b, pins_);
    b.slots.push_back(Slot{});
    b.slots.back().acks = RegisterAcks;
    registerWrite(e, RepeaterOn);
    e.idle(settleUs);
    tunerSlot(b);
    steps(e);
    b.slots.push_back(Slot{});
    b.slots.back().answerAt = b.answerCount;
    b.slots.back().acks = RegisterAcks;
    registerWrite(e, RepeaterOff);
    e.idle(RepeaterOffUs);
    if (runAlone(b) == Io::Ok) {
        const bool on = acknowledged(b, b.slots[0]);
        const bool tuner = acknowledged(b, b.slots[1]);
        const bool off = acknowledged(b, b.slots[2]);
        keepData(b, b.slots[1]);
        if (on && tuner) return off || repeater(demod, RepeaterOff, RepeaterOffUs);
        // The tuner's attempt counts if the repeater was on for it.
        return stepByStep(demod, settleUs, steps, acks, data, TunerAttempts - (on ? 1 : 0));
    }
    return stepByStep(demod, settleUs, steps, acks, data, TunerAttempts);
}

// As the byte-by-byte master goes about it: the repeater on, the tuner's
// transaction until it is acknowledged, the repeater off.
bool QueuedI2c::stepByStep(std::uint8_t demod, std::uint32_t settleUs, const TunerSteps& steps,
                           std::uint32_t acks, std::span<std::uint8_t> data, int attempts) {
    if (!repeater(demod, RepeaterOn, settleUs)) return false;
    bool ok = false;
    for (int attempt = 0; attempt < attempts && !ok && !LinkLost(); ++attempt) {
        Batch b;
        pins_ &= static_cast<std::uint8_t>(~PinGPIOL0);
        Slot s;
        s.acks = acks;
        b.slots.push_back(s);
        Encoder e(b, pins_);
        steps(e);
        ++stats_.redone;
        if (runAlone(b) != Io::Ok) continue;
        ok = acknowledged(b, s);
        if (b.answers.size() >= acks + data.size()) std::copy_n(b.answers.begin() + acks, data.size(), data.begin());
    }
    // The repeater goes off again whatever the tuner did, unless the link is gone.
    return repeater(demod, RepeaterOff, RepeaterOffUs) && ok;
}

bool QueuedI2c::WriteTunerRegister(std::uint8_t demod, std::uint8_t tuner, std::uint8_t reg,
                                   std::uint8_t value) {
    const TunerSteps steps = [&](Encoder& e) {
        e.start();
        e.write(tuner);
        e.write(reg);
        e.write(value);
        e.stop();
    };
    return behindRepeater(demod, RepeaterOnBeforeWriteUs, steps, 3, {});
}

bool QueuedI2c::ReadTunerRegisters(std::uint8_t demod, std::uint8_t tuner,
                                   std::span<std::uint8_t, TunerReadBackSize> buffer) {
    const TunerSteps steps = [&](Encoder& e) {
        // No register phase: the tuner answers from its current position.
        e.start();
        e.write(static_cast<std::uint8_t>(tuner | 0x01));
        // Every byte acknowledged, the last one too.
        for (std::size_t i = 0; i < buffer.size(); ++i) e.read(true);
        e.stop();
    };
    return behindRepeater(demod, RepeaterOnBeforeReadUs, steps, 1, buffer);
}

bool QueuedI2c::Delay(std::uint32_t us) {
    // A sleep lasts at least what it is asked for: whole milliseconds do.
    if (us > 0) clock_.sleepMs((us + 999) / 1000);
    return true;
}

}  // namespace i2c
