// The queued engine on the simulated channel A: the values it reads and
// writes are the byte-by-byte master's, at any USB timing; lost acknowledges
// are redone from a new start without changing what a read sees; a lost link
// latches; a chip that does not answer, or an engine that stops answering,
// costs a bounded time.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <vector>

#include "sim/i2c_slaves.h"
#include "support/queued_channel_a.h"

namespace {

using i2c::RegisterOp;
using testing_support::failFrom;
using testing_support::I2cTransaction;
using testing_support::QueuedRig;
using testing_support::withTiming;

constexpr std::uint8_t Demod = 0xD4;

// Channel A with nothing on its bus but chips a test attaches itself.
sim::ChannelAOptions emptyBus() {
    sim::ChannelAOptions o;
    o.faults.demodAbsent = true;
    o.faults.tunerAbsent = true;
    return o;
}

// A register chip that never takes a value for one register.
struct RefusesRegister : sim::RegisterFile16Slave {
    RefusesRegister(std::uint8_t address, std::uint16_t refused) : RegisterFile16Slave(address), refused(refused) {}
    std::uint16_t refused;
    bool store(std::uint16_t reg, std::uint8_t value) override {
        return reg != refused && RegisterFile16Slave::store(reg, value);
    }
};

// The register transactions on the wire, as the monitor saw them: a write
// is one transaction "D4 hi lo value" ended by a stop; a read is "D4 hi lo"
// ended by a repeated start and "D5" with one byte read, ended by a stop.
struct BusTransaction {
    std::vector<std::uint8_t> written;  // the read address not included
    bool read = false;
    bool acknowledged = true;
};

std::vector<BusTransaction> registerTransactions(const std::vector<I2cTransaction>& wire) {
    std::vector<BusTransaction> out;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const I2cTransaction& t = wire[i];
        BusTransaction b;
        b.written = t.written;
        b.acknowledged = t.allAcked();
        if (!t.stopped && i + 1 < wire.size()) {
            const I2cTransaction& r = wire[++i];
            b.read = true;
            b.acknowledged = b.acknowledged && r.allAcked();
            EXPECT_EQ(r.written, (testing_support::Bytes{static_cast<std::uint8_t>(Demod | 1)}));
            EXPECT_EQ(r.bytesRead(), 1);
            EXPECT_TRUE(r.stopped);
        }
        out.push_back(b);
    }
    return out;
}

// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------

// Reads and writes of a few registers in a random order with lost
// acknowledges: every read sees the value of the write before it, and on the
// wire every transaction that lost an acknowledge went out again from a new
// start, whole, and no transaction carries a byte twice.
class QueuedNacks : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(QueuedNacks, RedosKeepTheOrderOfOneAtATimeAndStartOver) {
    sim::ChannelAOptions o = withTiming(sim::UsbTiming::Real);
    o.faults.nackRate = 0.05;
    o.seed = GetParam();
    QueuedRig rig(o);
    const std::uint16_t regs[] = {0xF536, 0xF537, 0xF538};
    std::map<std::uint16_t, std::uint8_t> model;
    for (const std::uint16_t r : regs) model[r] = rig.demod().peek(r);

    std::mt19937 random(static_cast<std::uint32_t>(GetParam()));
    std::vector<RegisterOp> ops;
    std::vector<std::uint8_t> expected;
    for (int i = 0; i < 600; ++i) {
        const std::uint16_t r = regs[random() % 3];
        if (random() % 2) {
            const auto v = static_cast<std::uint8_t>(random());
            ops.push_back(RegisterOp::write(r, v));
            model[r] = v;
            expected.push_back(v);
        } else {
            ops.push_back(RegisterOp::read(r));
            expected.push_back(model[r]);
        }
    }
    rig.queued.Transfer(Demod, ops);

    for (std::size_t i = 0; i < ops.size(); ++i) {
        EXPECT_TRUE(ops[i].ok) << i;
        EXPECT_TRUE(ops[i].attempted) << i;
        EXPECT_EQ(ops[i].value, expected[i]) << i;
    }
    for (const std::uint16_t r : regs) EXPECT_EQ(rig.demod().peek(r), model[r]);
    EXPECT_GT(rig.queued.stats().redone, 0u) << "no acknowledge was lost: the test proves nothing";
    EXPECT_GT(rig.queued.NotAcknowledged(), 0u);
    EXPECT_EQ(rig.channelA->bus().contentions(), 0u);

    const std::vector<BusTransaction> wire = registerTransactions(rig.monitor.transactions);
    auto regOf = [](const BusTransaction& t) { return t.written[1] << 8 | t.written[2]; };
    int lost = 0;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const BusTransaction& t = wire[i];
        ASSERT_EQ(t.written.size(), t.read ? 3u : 4u) << "transaction " << i;
        EXPECT_EQ(t.written[0], Demod);
        if (t.acknowledged) continue;
        ++lost;
        const auto from = wire.begin() + static_cast<std::ptrdiff_t>(i) + 1;
        // The same transaction again, from its own start, acknowledged...
        const bool again = std::any_of(from, wire.end(), [&](const BusTransaction& u) {
            return u.read == t.read && u.written == t.written && u.acknowledged;
        });
        // ...unless it was the engine putting a register back, and a write
        // of that register came next: nobody reads the value it lost.
        const auto next = std::find_if(from, wire.end(), [&](const BusTransaction& u) { return regOf(u) == regOf(t); });
        const bool overridden = !t.read && next != wire.end() && !next->read;
        EXPECT_TRUE(again || overridden) << "transaction " << i << " was not redone";
    }
    EXPECT_GT(lost, 0);
    // Every op went out once, plus what had to go again.
    EXPECT_EQ(wire.size(), ops.size() + rig.queued.stats().redone);
}

INSTANTIATE_TEST_SUITE_P(Seeds, QueuedNacks, ::testing::Range<std::uint64_t>(1, 21));

// ---------------------------------------------------------------------------

TEST(QueuedLink, AFailedWriteLatchesTheLinkAndLaterOpsCallNothing) {
    QueuedRig rig;
    failFrom(rig, "FT_Write", 1);
    std::vector<RegisterOp> ops(50, RegisterOp::read(0xF100));
    rig.queued.Transfer(Demod, ops);
    ASSERT_TRUE(rig.queued.LinkLost());
    EXPECT_EQ(rig.queued.linkLoss()->caption, "FT_Write A");
    EXPECT_EQ(rig.queued.linkLoss()->status, usb::FT_IO_ERROR);
    EXPECT_EQ(rig.queued.linkLoss()->text(), "FT_Write A - General IO error...");
    EXPECT_EQ(rig.dialogs.errors, (std::vector<std::string>{"FT_Write A - General IO error..."}));
    for (const RegisterOp& op : ops) {
        EXPECT_FALSE(op.ok);
        EXPECT_EQ(op.value, 0);
    }

    const std::size_t calls = rig.lib.calls.size();
    std::uint8_t value = 0;
    EXPECT_FALSE(rig.queued.ReadRegister(Demod, 0xF100, value));
    EXPECT_FALSE(rig.queued.WriteRegister(Demod, 0xF536, 1));
    std::array<std::uint8_t, i2c::TunerReadBackSize> tuner{};
    EXPECT_FALSE(rig.queued.ReadTunerRegisters(Demod, 0xC0, tuner));
    EXPECT_EQ(rig.lib.calls.size(), calls);

    // What a new set-up of the engine clears.
    rig.queued.Restart();
    EXPECT_FALSE(rig.queued.LinkLost());
}

TEST(QueuedLink, AReadFailingMidTransferEndsItWhereItStands) {
    QueuedRig rig;
    failFrom(rig, "FT_Read", 3);
    std::vector<RegisterOp> ops(200, RegisterOp::read(0xF100));
    rig.queued.Transfer(Demod, ops);
    ASSERT_TRUE(rig.queued.LinkLost());
    EXPECT_EQ(rig.queued.linkLoss()->caption, "FT_Read A");
    // The first two batches came back; the rest went out or not, but none
    // of it counts.
    int ok = 0;
    for (const RegisterOp& op : ops) {
        if (op.ok) {
            ++ok;
            EXPECT_EQ(op.value, 0x20);
        } else {
            EXPECT_EQ(op.value, 0);
        }
    }
    EXPECT_GT(ok, 0);
    EXPECT_LT(ok, 200);
    EXPECT_FALSE(ops.back().attempted);
}

// ---------------------------------------------------------------------------

TEST(QueuedAbsent, NobodyAtTheAddressFailsAfterTheAttemptsInBoundedTime) {
    QueuedRig rig(emptyBus());
    rig.clock.nowUs = 0;
    EXPECT_FALSE(rig.queued.WriteRegister(Demod, 0xF12A, 0x48));
    std::uint8_t value = 0x77;
    EXPECT_FALSE(rig.queued.ReadRegister(Demod, 0xF100, value));
    EXPECT_EQ(value, 0);
    EXPECT_EQ(rig.monitor.addressBytes(Demod), i2c::WriteAttempts + i2c::ReadAttempts);
    for (const I2cTransaction& t : rig.monitor.transactions) EXPECT_LE(t.written.size(), 4u);
    // One short batch per attempt: milliseconds, not the answer time-outs.
    EXPECT_LT(rig.clock.nowUs, 200'000);
    EXPECT_EQ(rig.queued.stats().timeouts, 0u);
}

// A refused write with stopAtFailure: attempted to the limit, and nothing
// behind it goes out once it has failed for good.
TEST(QueuedStop, AWriteThatFailsForGoodStopsTheTransfer) {
    QueuedRig rig(emptyBus());
    RefusesRegister chip(Demod, 0xF103);
    chip.attach(rig.channelA->bus(), sim::I2cBus::kMainSegment);
    std::vector<RegisterOp> ops;
    for (std::uint16_t r = 0xF100; r < 0xF100 + 200; ++r) ops.push_back(RegisterOp::write(r, 0x5A));
    rig.queued.Transfer(Demod, ops, true);

    for (int i = 0; i < 3; ++i) EXPECT_TRUE(ops[static_cast<std::size_t>(i)].ok);
    EXPECT_FALSE(ops[3].ok);
    EXPECT_TRUE(ops[3].attempted);
    std::map<std::uint16_t, int> sent;
    for (const I2cTransaction& t : rig.monitor.transactions)
        ++sent[static_cast<std::uint16_t>(t.written[1] << 8 | t.written[2])];
    EXPECT_EQ(sent[0xF103], i2c::WriteAttempts);
    for (std::size_t i = 4; i < ops.size(); ++i) {
        const int times = sent[ops[i].reg];
        EXPECT_LE(times, 1) << i;  // never redone
        EXPECT_EQ(ops[i].attempted, times == 1) << i;
        if (ops[i].ok) {
            EXPECT_EQ(chip.peek(ops[i].reg), 0x5A);
        }
    }
    EXPECT_FALSE(ops.back().attempted);
    EXPECT_EQ(chip.peek(0xF103), 0);
}

// ---------------------------------------------------------------------------

// Forwards to the board, but can swallow every write: the engine then never
// answers, as an engine that hangs would not.
class Swallowing : public testing_support::RecordingD2xx {
public:
    using RecordingD2xx::RecordingD2xx;
    bool swallow = false;
    usb::FT_STATUS FT_Write(usb::FT_HANDLE h, const void* buffer, std::uint32_t n, std::uint32_t* written) override {
        if (!swallow) return RecordingD2xx::FT_Write(h, buffer, n, written);
        *written = n;
        return usb::FT_OK;
    }
};

TEST(QueuedSilence, AnEngineThatStopsAnsweringCostsBoundedTimeAndIsFoundAgain) {
    testing_support::I2cRig rig;
    Swallowing lib(rig.lib);
    usb::ChannelLayer channels(lib, rig.dialogs);
    channels.FT_HandleA = rig.channels.FT_HandleA;
    i2c::QueuedI2c queued(channels, rig.clock);

    lib.swallow = true;
    rig.clock.nowUs = 0;
    std::vector<RegisterOp> ops(100, RegisterOp::read(0xF100));
    queued.Transfer(Demod, ops);
    for (const RegisterOp& op : ops) EXPECT_FALSE(op.ok);
    EXPECT_GE(queued.stats().timeouts, 1u);
    EXPECT_FALSE(queued.LinkLost());
    // One answer time-out and one failed search for the echo.
    EXPECT_LT(rig.clock.nowUs, 2'000'000);

    // Still silent: the next transfer gives up after one search.
    const std::int64_t before = rig.clock.nowUs;
    std::uint8_t value = 0;
    EXPECT_FALSE(queued.ReadRegister(Demod, 0xF100, value));
    EXPECT_LT(rig.clock.nowUs - before, 1'000'000);

    // Answering again: found in step, and the reads work.
    lib.swallow = false;
    EXPECT_TRUE(queued.ReadRegister(Demod, 0xF100, value));
    EXPECT_EQ(value, 0x20);
    EXPECT_TRUE(queued.WriteRegister(Demod, 0xF536, 0x33));
    EXPECT_EQ(rig.demod().peek(0xF536), 0x33);
}

// ---------------------------------------------------------------------------

// The repeater's settling times are kept on the wire: the engine idles with
// both lines released between the repeater write and the tuner's start, and
// after the repeater goes off again.
TEST(QueuedTuner, SettlingTimesAreKeptOnTheBus) {
    QueuedRig rig(withTiming(sim::UsbTiming::Real, 1000));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;  // start, stop
    bool scl = true, sda = true;
    rig.channelA->bus().setTrace([&](std::uint64_t t, bool nowScl, bool nowSda) {
        if (nowSda != sda && nowScl && scl) {
            if (!nowSda) spans.emplace_back(t, 0);
            else spans.back().second = t;
        }
        scl = nowScl;
        sda = nowSda;
    });
    // The last register, so that the read-back starts at the first (and the
    // byte after its twelfth, which the tuner puts on the bus when the last
    // one is acknowledged, begins with a 1).
    ASSERT_TRUE(rig.queued.WriteTunerRegister(Demod, 0xC0, 11, 0xDE));
    std::array<std::uint8_t, i2c::TunerReadBackSize> back{};
    ASSERT_TRUE(rig.queued.ReadTunerRegisters(Demod, 0xC0, back));
    EXPECT_EQ(back[11], 0xDE);
    // Repeater on, tuner, repeater off, twice.
    ASSERT_EQ(spans.size(), 6u);
    EXPECT_GE(spans[1].first - spans[0].second, 1'000'000u);
    EXPECT_GE(spans[3].first - spans[2].second, 100'000u);  // the write's off settling
    EXPECT_GE(spans[4].first - spans[3].second, 100'000u);  // the read's on settling
    EXPECT_EQ(rig.channelA->bus().contentions(), 0u);
    EXPECT_EQ(rig.queued.stats().batches, 2u) << rig.queued.stats().transactions << " " << rig.queued.stats().redone;
}

TEST(QueuedTuner, AnAbsentTunerIsTriedElevenTimesWithTheRepeaterOffAfter) {
    sim::ChannelAOptions o;
    o.faults.tunerAbsent = true;
    QueuedRig rig(o);
    EXPECT_FALSE(rig.queued.WriteTunerRegister(Demod, 0xC0, 1, 0xE1));
    EXPECT_EQ(rig.monitor.addressBytes(0xC0), 11);
    EXPECT_EQ(rig.monitor.completedWrites().back(), "D4:F12A=48");
    EXPECT_FALSE(rig.demod().repeaterOn());
}

}  // namespace
