// The signal core: figures decoded from raw registers behind a register-level
// fake (what is read, in how many batches, what is absent).
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "catalogues/stv0903_signal.h"
#include "frontend/signal_reader.h"
#include "i2c/register_access.h"
#include "support/test_support.h"

namespace {

namespace S = STV0903Signal;
using frontend::DeliverySystem;
using frontend::SignalReader;

// The demodulator at register level: values by address, reads that fail,
// and for the noise registers a run of readings in turn.
class FakeDemod : public i2c::RegisterAccess {
public:
    std::map<std::uint16_t, std::uint8_t> regs;
    std::set<std::uint16_t> failing;
    std::map<std::uint16_t, std::vector<std::uint8_t>> sequence;  // read in turn, then repeated
    std::vector<std::vector<i2c::RegisterOp>> batches;
    std::uint8_t lastAddress = 0;

    void Transfer(std::uint8_t device, std::span<i2c::RegisterOp> ops, bool) override {
        lastAddress = device;
        for (i2c::RegisterOp& op : ops) {
            op.attempted = true;
            op.ok = !failing.count(op.reg);
            if (!op.ok) continue;
            if (op.kind == i2c::RegisterOp::Kind::Write) {
                regs[op.reg] = op.value;
                continue;
            }
            auto& seq = sequence[op.reg];
            auto& turn = turns_[op.reg];
            op.value = seq.empty() ? regs[op.reg] : seq[turn++ % seq.size()];
        }
        batches.emplace_back(ops.begin(), ops.end());
    }
    bool WriteTunerRegister(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t) override { return false; }
    bool ReadTunerRegisters(std::uint8_t, std::uint8_t, std::span<std::uint8_t, i2c::TunerReadBackSize>) override {
        return false;
    }
    bool Delay(std::uint32_t) override { return true; }
    const std::optional<i2c::LinkLoss>& linkLoss() const override { return loss_; }
    std::uint64_t NotAcknowledged() const override { return 0; }
    usb::Clock& clock() override { return clock_; }

    void set(std::initializer_list<std::uint16_t> regs16, std::uint64_t value) {
        int shift = 8 * (static_cast<int>(regs16.size()) - 1);
        for (std::uint16_t r : regs16) {
            regs[r] = static_cast<std::uint8_t>(value >> shift);
            shift -= 8;
        }
    }
    // Noise readings that average to raw: raw - d and raw + d in turn.
    void noise(std::uint16_t high, std::uint16_t low, int raw, int d) {
        sequence[high] = {static_cast<std::uint8_t>((raw - d) >> 8), static_cast<std::uint8_t>((raw + d) >> 8)};
        sequence[low] = {static_cast<std::uint8_t>(raw - d), static_cast<std::uint8_t>(raw + d)};
    }
    std::size_t reads(std::size_t batch, std::uint16_t reg) const {
        std::size_t n = 0;
        for (const auto& op : batches[batch]) n += op.kind == i2c::RegisterOp::Kind::Read && op.reg == reg;
        return n;
    }

private:
    std::map<std::uint16_t, std::size_t> turns_;
    std::optional<i2c::LinkLoss> loss_;
    testing_support::FakeClock clock_;
};

// A DVB-S2 8PSK 2/3 signal, locked, at raw values whose figures are known.
void lockedDvbs2(FakeDemod& d) {
    d.regs[S::DSTATUS] = 0xE8;
    d.regs[S::DMDSTATE] = 0x40;
    d.regs[S::PDELSTATUS1] = 0x03;
    d.regs[S::TSSTATUS] = 0x80;
    d.regs[S::DMDMODCOD] = 13 << 2;
    d.set({S::AGCIQIN1, S::AGCIQIN0}, 0x8389);              // -40 dBm
    d.set({S::CFR2, S::CFR1, S::CFR0}, 0xFFFFFF - 124275);   // -1000.0 kHz
    d.set({S::SFR3, S::SFR2, S::SFR1, S::SFR0}, 0x34000000); // 27.421875 Msym/s
    d.set({S::TSBITRATE1, S::TSBITRATE0}, 4096);             // 33.75 Mbit/s
    d.set({S::ERRCNT22, S::ERRCNT21, S::ERRCNT20}, 0x80000C); // the top bit is no count
    d.set({S::FBERCPT4, S::FBERCPT3, S::FBERCPT2, S::FBERCPT1, S::FBERCPT0}, 30000);
    d.noise(S::NNOSPLHT1, S::NNOSPLHT0, (5727 + 5437) / 2, 100);  // 7.75 dB
}

TEST(SignalReader, LockedDvbS2GivesEveryFigure) {
    FakeDemod d;
    lockedDvbs2(d);
    SignalReader reader(d, 0xD4);
    const frontend::SignalReading r = reader.Read();
    EXPECT_EQ(d.lastAddress, 0xD4);
    ASSERT_TRUE(r.stages);
    EXPECT_EQ(*r.stages, (frontend::LockStages{true, true, true, true}));
    EXPECT_TRUE(r.locked());
    EXPECT_EQ(r.system, DeliverySystem::DvbS2);
    EXPECT_EQ(r.modulation, S::Modulation::Psk8);
    EXPECT_EQ(r.codeRate, (S::CodeRate{2, 3}));
    EXPECT_DOUBLE_EQ(*r.levelDbm, -40);
    EXPECT_FALSE(r.levelBeyondTable);
    EXPECT_NEAR(*r.cnDb, 7.75, 1e-9);
    EXPECT_NEAR(*r.carrierOffsetKhz, -1000.0, 0.01);
    EXPECT_DOUBLE_EQ(*r.symbolRateMsps, 27.421875);
    EXPECT_DOUBLE_EQ(*r.tsBitRateMbit, 33.75);
    ASSERT_TRUE(r.errors);
    EXPECT_TRUE(r.errors->packets);
    EXPECT_EQ(r.errors->errors, 12u);
    EXPECT_EQ(r.errors->counted, 30000u);
    EXPECT_DOUBLE_EQ(r.errors->rate(), 12.0 / 30000);
    EXPECT_FALSE(r.errors->saturated);

    // The first reading does not know the system yet: its noise readings
    // follow in a second batch, sixteen pairs of them.
    EXPECT_EQ(r.batches, 2);
    ASSERT_EQ(d.batches.size(), 2u);
    EXPECT_EQ(d.reads(0, S::NNOSPLHT1), 0u);
    EXPECT_EQ(d.reads(1, S::NNOSPLHT1), 16u);
    EXPECT_EQ(d.reads(1, S::NNOSPLHT0), 16u);
    // The counters are read, then restarted, the error counter with the
    // configuration the default image gives it.
    const auto& first = d.batches[0];
    const auto at = [&](std::uint16_t reg, i2c::RegisterOp::Kind kind) {
        for (std::size_t i = 0; i < first.size(); ++i)
            if (first[i].reg == reg && first[i].kind == kind) return i;
        return first.size();
    };
    EXPECT_LT(at(S::FBERCPT0, i2c::RegisterOp::Kind::Read), at(S::FBERCPT4, i2c::RegisterOp::Kind::Write));
    EXPECT_LT(at(S::ERRCNT20, i2c::RegisterOp::Kind::Read), at(S::ERRCTRL2, i2c::RegisterOp::Kind::Write));
    EXPECT_EQ(d.regs[S::ERRCTRL2], 0xC0);
    EXPECT_EQ(d.regs[S::FBERCPT4], 0x00);

    // From then on one batch per reading carries it all.
    d.set({S::FBERCPT4, S::FBERCPT3, S::FBERCPT2, S::FBERCPT1, S::FBERCPT0}, 30000);
    const frontend::SignalReading again = reader.Read();
    EXPECT_EQ(again.batches, 1);
    EXPECT_EQ(d.batches.size(), 3u);
    EXPECT_EQ(d.reads(2, S::NNOSPLHT1), 16u);
    EXPECT_NEAR(*again.cnDb, 7.75, 1e-9);
}

TEST(SignalReader, DvbSCountsBitsAndNamesItsViterbiRate) {
    FakeDemod d;
    lockedDvbs2(d);
    d.regs[S::DMDSTATE] = 0x60;
    d.regs[S::PDELSTATUS1] = 0x00;
    d.regs[S::VSTATUSVIT] = 0x18;
    d.regs[S::VITCURPUN] = 26;
    d.noise(S::NOSDATAT1, S::NOSDATAT0, 4417, 0);  // 10.0 dB on the DVB-S table
    SignalReader reader(d, 0xD0);
    frontend::SignalReading r = reader.Read();
    EXPECT_TRUE(r.locked());
    EXPECT_EQ(r.system, DeliverySystem::DvbS);
    EXPECT_EQ(r.modulation, S::Modulation::Qpsk);
    EXPECT_EQ(r.codeRate, (S::CodeRate{7, 8}));
    EXPECT_FALSE(r.errors->packets);
    EXPECT_DOUBLE_EQ(*r.cnDb, 10.0);

    // The system changes under a known one: the noise of the new one is read.
    d.regs[S::DMDSTATE] = 0x40;
    d.regs[S::PDELSTATUS1] = 0x03;
    r = reader.Read();
    EXPECT_EQ(r.system, DeliverySystem::DvbS2);
    EXPECT_EQ(r.batches, 2);
    EXPECT_NEAR(*r.cnDb, 7.75, 1e-9);
}

// Each stage rests on the one before; what a stage does not reach is absent.
TEST(SignalReader, FiguresComeWithTheStageThatMakesThem) {
    FakeDemod d;
    lockedDvbs2(d);
    d.regs[S::DSTATUS] = 0x00;
    d.regs[S::DMDSTATE] = 0x00;
    d.regs[S::PDELSTATUS1] = 0x00;
    d.regs[S::TSSTATUS] = 0x00;
    d.set({S::AGCIQIN1, S::AGCIQIN0}, 0x0200);
    SignalReader reader(d, 0xD4);
    frontend::SignalReading r = reader.Read();
    ASSERT_TRUE(r.stages);
    EXPECT_EQ(*r.stages, frontend::LockStages{});
    EXPECT_FALSE(r.locked());
    EXPECT_DOUBLE_EQ(*r.levelDbm, -70);  // the AGC is read lock or not, ...
    EXPECT_TRUE(r.levelBeyondTable);     // ... here below the table's end
    for (bool present : {r.system.has_value(), r.modulation.has_value(), r.codeRate.has_value(), r.cnDb.has_value(),
                         r.errors.has_value(), r.carrierOffsetKhz.has_value(), r.symbolRateMsps.has_value(),
                         r.tsBitRateMbit.has_value()})
        EXPECT_FALSE(present);
    EXPECT_EQ(r.batches, 1);  // no noise to read without a lock

    // The carrier loop alone gives the offset and the symbol rate.
    d.regs[S::DSTATUS] = 0xE0;
    d.regs[S::DMDSTATE] = 0x20;  // a first PL header, nothing certain
    r = reader.Read();
    EXPECT_TRUE(r.stages->carrier);
    EXPECT_FALSE(r.stages->header);
    EXPECT_TRUE(r.carrierOffsetKhz && r.symbolRateMsps);
    EXPECT_FALSE(r.system || r.cnDb || r.tsBitRateMbit);

    // Header and final lock, the FEC still searching: no stream, no errors.
    d.regs[S::DSTATUS] = 0xE8;
    d.regs[S::DMDSTATE] = 0x40;
    r = reader.Read();
    EXPECT_EQ(*r.stages, (frontend::LockStages{true, true, false, false}));
    EXPECT_TRUE(r.system && r.cnDb && r.modulation);
    EXPECT_FALSE(r.errors || r.tsBitRateMbit);
    // The TS line without its FEC counts for nothing.
    d.regs[S::TSSTATUS] = 0x80;
    EXPECT_FALSE(reader.Read().stages->ts);
}

TEST(SignalReader, FailedReadsLeaveTheirFiguresOut) {
    struct Case {
        std::uint16_t reg;
        const char* what;
    };
    for (const Case& c : {Case{S::DMDSTATE, "stages"}, Case{S::AGCIQIN0, "level"}, Case{S::NNOSPLHT0, "C/N"},
                          Case{S::ERRCNT21, "errors"}, Case{S::FBERCPT2, "errors"}, Case{S::CFR1, "offset"},
                          Case{S::SFR0, "symbol rate"}, Case{S::TSBITRATE0, "TS rate"}, Case{S::DMDMODCOD, "MODCOD"}}) {
        FakeDemod d;
        lockedDvbs2(d);
        d.failing.insert(c.reg);
        const frontend::SignalReading r = SignalReader(d, 0xD4).Read();
        const std::string what = c.what;
        EXPECT_EQ(r.stages.has_value(), what != "stages") << what;
        EXPECT_EQ(r.levelDbm.has_value(), what != "level") << what;
        EXPECT_EQ(r.cnDb.has_value(), what != "C/N" && what != "stages") << what;
        EXPECT_EQ(r.errors.has_value(), what != "errors" && what != "stages") << what;
        EXPECT_EQ(r.carrierOffsetKhz.has_value(), what != "offset" && what != "stages") << what;
        EXPECT_EQ(r.symbolRateMsps.has_value(), what != "symbol rate" && what != "stages") << what;
        EXPECT_EQ(r.tsBitRateMbit.has_value(), what != "TS rate" && what != "stages") << what;
        EXPECT_EQ(r.modulation.has_value(), what != "MODCOD" && what != "stages") << what;
        EXPECT_EQ(r.system.has_value(), what != "stages") << what;
    }
    // A counter that looked at nothing gives no rate; a full one says so.
    FakeDemod d;
    lockedDvbs2(d);
    d.set({S::FBERCPT4, S::FBERCPT3, S::FBERCPT2, S::FBERCPT1, S::FBERCPT0}, 0);
    EXPECT_FALSE(SignalReader(d, 0xD4).Read().errors);
    d.set({S::ERRCNT22, S::ERRCNT21, S::ERRCNT20}, 0x7FFFFF);
    d.set({S::FBERCPT4, S::FBERCPT3, S::FBERCPT2, S::FBERCPT1, S::FBERCPT0}, 0x0100000000ull);
    const auto e = SignalReader(d, 0xD4).Read().errors;
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->saturated);
    EXPECT_EQ(e->counted, 0x0100000000ull);
}

TEST(SignalReader, LockAndConstellationEachTakeOneBatch) {
    FakeDemod d;
    lockedDvbs2(d);
    SignalReader reader(d, 0xD4);
    EXPECT_EQ(reader.ReadLock(), (frontend::LockStages{true, true, true, true}));
    ASSERT_EQ(d.batches.size(), 1u);
    EXPECT_EQ(d.batches[0].size(), 5u);
    d.failing.insert(S::TSSTATUS);
    EXPECT_FALSE(reader.ReadLock());

    d.sequence[S::ISYMB] = {0x40, 0xC0, 0x7F};
    d.sequence[S::QSYMB] = {0xC0, 0x40, 0x80};
    const auto points = reader.ReadConstellation(3);
    ASSERT_EQ(d.batches.size(), 3u);
    EXPECT_EQ(d.batches[2].size(), 6u);
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[0].i, 64);
    EXPECT_EQ(points[0].q, -64);
    EXPECT_EQ(points[1].i, -64);
    EXPECT_EQ(points[2].i, 127);
    EXPECT_EQ(points[2].q, -128);
    d.failing.insert(S::QSYMB);
    EXPECT_TRUE(reader.ReadConstellation(100).empty());
}

}  // namespace
