// The queued register engine end to end with the front end: the link test,
// the register dump and the tuner set-up give on it what they give on the
// byte-by-byte master, at every USB timing and under every fault of the
// simulated board.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "catalogues/stv0903_signal.h"
#include "frontend/link_test.h"
#include "frontend/register_dump.h"
#include "frontend/tuners.h"
#include "support/link_test_lines.h"
#include "support/queued_channel_a.h"

namespace {

using testing_support::LinkTestLines;
using testing_support::QueuedRig;
using testing_support::withTiming;

constexpr std::uint8_t Demod = 0xD4;

struct TimingCase {
    const char* name;
    sim::UsbTiming timing;
    std::uint32_t hostLatencyUs;
};

class QueuedTiming : public ::testing::TestWithParam<TimingCase> {};

// The link test gives the byte master's lines and total, and leaves every
// register of the catalogue as the byte master leaves it; nothing drives a
// line high against a chip.
TEST_P(QueuedTiming, LinkTestAndRegisterDumpMatchTheByteMaster) {
    testing_support::I2cRig byteRig;
    LinkTestLines byteLines;
    frontend::LinkTest byteTest(byteRig.master, byteLines);
    const frontend::LinkTestReport byteResult = byteTest.TestEarda();
    const auto byteDump = frontend::ReadAllRegisters(byteRig.master, Demod);

    QueuedRig rig(withTiming(GetParam().timing, GetParam().hostLatencyUs));
    LinkTestLines lines;
    frontend::LinkTest test(rig.queued, lines);
    const frontend::LinkTestReport result = test.TestEarda();
    const auto dump = frontend::ReadAllRegisters(rig.queued, Demod);

    EXPECT_EQ(lines.withoutTimes(), byteLines.withoutTimes());
    EXPECT_EQ(lines.total, "0");
    EXPECT_EQ(result.errors, byteResult.errors);
    EXPECT_TRUE(result.demodFound);
    EXPECT_TRUE(result.tuner && result.tuner->ok());
    ASSERT_EQ(dump.size(), byteDump.size());
    for (std::size_t i = 0; i < dump.size(); ++i) {
        EXPECT_TRUE(dump[i].read) << dump[i].name;
        // What the demodulator measures moves on with time; the rest is the
        // link test's and the image's.
        if (STV0903Signal::SetByDemodulator(dump[i].address)) continue;
        EXPECT_EQ(dump[i].value, byteDump[i].value) << dump[i].name;
    }
    EXPECT_EQ(rig.channelA->bus().contentions(), 0u);
    EXPECT_EQ(rig.queued.NotAcknowledged(), 0u);
    EXPECT_EQ(rig.queued.stats().redone, 0u);
    EXPECT_FALSE(rig.queued.LinkLost());
    // Many transactions per USB write, the tuner's one at a time.
    EXPECT_LT(rig.queued.stats().batches, rig.queued.stats().transactions / 8);
}

INSTANTIATE_TEST_SUITE_P(UsbTimings, QueuedTiming,
                         ::testing::Values(TimingCase{"Ideal", sim::UsbTiming::Ideal, 0},
                                           TimingCase{"Real", sim::UsbTiming::Real, 0},
                                           TimingCase{"Real1msHostLatency", sim::UsbTiming::Real, 1000}),
                         [](const auto& info) { return std::string(info.param.name); });

// The NIM test's outcome under each fault of the board is the byte master's.
TEST(QueuedFaults, LinkTestOutcomeIsTheByteMastersUnderEachFault) {
    std::vector<std::pair<const char*, sim::ChannelAFaults>> faults;
    faults.push_back({"demod-absent", {}});
    faults.back().second.demodAbsent = true;
    faults.push_back({"tuner-absent", {}});
    faults.back().second.tunerAbsent = true;
    faults.push_back({"wrong-chip-id", {}});
    faults.back().second.chipId = 0x30;
    faults.push_back({"scratch-stuck", {}});
    faults.back().second.scratchStuck = true;
    faults.push_back({"nack-rate", {}});
    faults.back().second.nackRate = 0.01;
    for (const auto& [name, f] : faults) {
        sim::ChannelAOptions o;
        o.faults = f;
        testing_support::I2cRig byteRig(o);
        LinkTestLines byteLines;
        const auto byteResult = frontend::LinkTest(byteRig.master, byteLines).TestEarda();
        QueuedRig rig(o);
        LinkTestLines lines;
        const auto result = frontend::LinkTest(rig.queued, lines).TestEarda();
        EXPECT_EQ(lines.withoutTimes(), byteLines.withoutTimes()) << name;
        EXPECT_EQ(lines.total, byteLines.total) << name;
        EXPECT_EQ(result.demodFound, byteResult.demodFound) << name;
        EXPECT_EQ(result.tuner.has_value() && result.tuner->ok(), byteResult.tuner.has_value() && byteResult.tuner->ok()) << name;
        EXPECT_EQ(rig.queued.NotAcknowledged() > 0, byteRig.master.NotAcknowledged() > 0) << name;
        EXPECT_EQ(rig.channelA->bus().contentions(), 0u) << name;
    }
}

TEST(QueuedTuner, TunerSetUpAndReadBackMatchTheByteMaster) {
    testing_support::I2cRig byteRig;
    QueuedRig rig(withTiming(sim::UsbTiming::Real, 1000));
    ASSERT_TRUE(frontend::WriteSTB6100Defaults(byteRig.master, Demod));
    ASSERT_TRUE(frontend::WriteSTB6100Defaults(rig.queued, Demod));
    EXPECT_EQ(rig.monitor.completedWrites(), byteRig.monitor.completedWrites());

    std::array<std::uint8_t, i2c::TunerReadBackSize> byteBack{}, back{};
    ASSERT_TRUE(byteRig.master.ReadTunerRegisters(Demod, 0xC0, byteBack));
    ASSERT_TRUE(rig.queued.ReadTunerRegisters(Demod, 0xC0, back));
    EXPECT_EQ(back, byteBack);
    EXPECT_EQ(rig.demod().peek(0xF12A), 0x48);
    EXPECT_EQ(rig.channelA->bus().contentions(), byteRig.channelA->bus().contentions());
}

}  // namespace
