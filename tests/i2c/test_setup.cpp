// The engine set-up: the delay, the synchronisation and the controller
// set-up sequence, against a scripted channel A.
#include <gtest/gtest.h>

#include "i2c/fake_mpsse.h"

namespace {

using fake::Bytes;

TEST(I2cMasterConstruction, TakesThePerformanceCounterFromTheClock) {
    fake::Clock clock;
    fake::Dialogs dialogs;
    fake::Mpsse lib;
    usb::ChannelLayer channels(lib, dialogs);
    clock.frequency = 3'579'545;
    i2c::I2cMaster withCounter(channels, clock, dialogs);
    EXPECT_TRUE(withCounter.HasPerfCounter);
    EXPECT_EQ(withCounter.PerfFrequency, 3'579'545);

    clock.perf = false;
    i2c::I2cMaster without(channels, clock, dialogs);
    EXPECT_FALSE(without.HasPerfCounter);
}

TEST(DelayMicroseconds, PerformanceCounterWaitsTheTruncatedCountAndReportsTrue) {
    fake::Rig rig;
    // 1.5 counts per microsecond: 5 us is 7 counts (7.5 truncated).
    rig.master.PerfFrequency = 1'500'000;
    rig.clock.counter = 100;
    EXPECT_TRUE(rig.master.DelayMicroseconds(5));
    // Reads at 100, 101, ..., 107: the last one is the first 7 counts away.
    EXPECT_EQ(rig.clock.counterReads, 8);
    EXPECT_EQ(rig.clock.tickReads, 0);

    rig.clock.counterReads = 0;
    EXPECT_TRUE(rig.master.DelayMicroseconds(0));
    EXPECT_LE(rig.clock.counterReads, 2);
}

TEST(DelayMicroseconds, LongWaitOnAFastCounterDoesNotOverflow) {
    fake::Rig rig;
    // 4e9 us at 3 GHz is 1.2e13 counts; the plain product would overflow 64 bits.
    rig.master.PerfFrequency = 3'000'000'000;
    rig.clock.counterStep = 1'000'000'000;
    EXPECT_TRUE(rig.master.DelayMicroseconds(4'000'000'000u));
    EXPECT_EQ(rig.clock.counterReads, 1 + 12'000);
}

TEST(DelayMicroseconds, TickFallbackWaitsForTheTickToTurnAndReportsFalse) {
    fake::Rig rig;
    rig.master.HasPerfCounter = false;
    // A tick that turns only every fourth read: a short wait still lasts one tick.
    struct SlowTicks : fake::Clock {
        int n = 0;
        std::uint32_t tickCount() override { return 50 + static_cast<std::uint32_t>(n++ / 4); }
    } slow;
    fake::Dialogs dialogs;
    usb::ChannelLayer channels(rig.lib, dialogs);
    i2c::I2cMaster master(channels, slow, dialogs);
    master.HasPerfCounter = false;
    EXPECT_FALSE(master.DelayMicroseconds(5));
    EXPECT_GE(slow.n, 5);  // at least one read after the tick changed

    slow.n = 0;
    EXPECT_FALSE(master.DelayMicroseconds(2500));
    // Waits until more than 2 ms have passed: the tick must reach t0 + 3.
    EXPECT_EQ(slow.n / 4, 3);
    EXPECT_EQ(slow.counterReads, 0);
}

TEST(SyncMPSSE, SucceedsOnTheExactEchoAndSendsTheBadCommandsAlone) {
    fake::Rig rig;
    EXPECT_TRUE(rig.master.SyncMPSSE());
    EXPECT_EQ(rig.lib.writes, (std::vector<Bytes>{{0xAA}, {0xAB}}));
    EXPECT_EQ(rig.master.OutIndex, 0);
}

TEST(SyncMPSSE, DiscardsStrayBytesAndResendsTheFirstCommandOnEveryEmptyPoll) {
    fake::Rig rig;
    rig.lib.injectAnswer({0x12, 0xFA, 0xAB});  // stale, must not count as the echo
    rig.lib.answerDelayPolls = 3;
    EXPECT_TRUE(rig.master.SyncMPSSE());
    const auto& w = rig.lib.writes;
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(w.back(), Bytes{0xAB});
    for (std::size_t i = 0; i + 1 < w.size(); ++i) EXPECT_EQ(w[i], Bytes{0xAA});
}

TEST(SyncMPSSE, FailsWhenTheSecondEchoEndsWithTheMarkerAlone) {
    fake::Rig rig;
    rig.lib.echoSecondSync = false;  // 0xAB answered by 0xFA only
    EXPECT_FALSE(rig.master.SyncMPSSE());
}

TEST(SyncMPSSE, FailedFirstStatusCallWritesNothing) {
    fake::Rig rig;
    rig.lib.queueStatusFailFrom = 1;
    EXPECT_FALSE(rig.master.SyncMPSSE());
    EXPECT_TRUE(rig.lib.writes.empty());
    // The layer below reported it.
    ASSERT_EQ(rig.dialogs.errors.size(), 1u);
}

TEST(SyncMPSSE, FailsOnAStatusCallThatFailsWhilePolling) {
    fake::Rig rig;
    rig.lib.answerDelayPolls = 10;
    rig.lib.queueStatusFailFrom = 4;
    EXPECT_FALSE(rig.master.SyncMPSSE());
}

TEST(SyncMPSSE, AnEngineThatNeverAnswersFailsWithinTheBound) {
    fake::Rig rig;
    rig.lib.answers = false;
    const std::uint32_t t0 = rig.clock.ticks;
    EXPECT_FALSE(rig.master.SyncMPSSE());
    // One tick passes per tick read; about half a second of them.
    EXPECT_LE(rig.clock.ticks - t0, 600u);
    EXPECT_GE(rig.lib.writes.size(), 100u);
}

TEST(InitI2CController, RunsTheSetUpAndSendsThe13BytesInOneWrite) {
    fake::Rig rig;
    rig.master.ClockDivisor = 149;
    rig.master.LowBytePins = 0;
    EXPECT_TRUE(rig.master.InitI2CController());
    const std::vector<std::string> expected = {
        "FT_ResetDevice", "FT_Purge TX", "FT_Purge RX", "FT_SetTimeouts 0 1000",
        "FT_SetUSBParameters 64 64", "FT_SetLatencyTimer 1", "FT_SetBitMode 0 0",
        "FT_SetBitMode 0 2"};
    ASSERT_GE(rig.lib.calls.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(rig.lib.calls.begin(), rig.lib.calls.begin() + 8), expected);
    ASSERT_EQ(rig.lib.writes.size(), 3u);  // 0xAA, 0xAB, then the set-up
    EXPECT_EQ(rig.lib.writes[2], (Bytes{0x8A, 0x97, 0x8D, 0x80, 0x13, 0x13, 0x82, 0x0F, 0x0F, 0x86,
                                        0x95, 0x00, 0x85}));
    EXPECT_EQ(rig.master.LowBytePins, 0x13);
    EXPECT_EQ(rig.master.OutIndex, 0);
    EXPECT_TRUE(rig.dialogs.boxes.empty());
}

TEST(InitI2CController, DivisorGoesOutLowByteFirst) {
    fake::Rig rig;
    rig.master.ClockDivisor = 0x1234;
    ASSERT_TRUE(rig.master.InitI2CController());
    const Bytes& w = rig.lib.writes.back();
    EXPECT_EQ(w[9], 0x86);
    EXPECT_EQ(w[10], 0x34);
    EXPECT_EQ(w[11], 0x12);
}

TEST(InitI2CController, LatencyFailureShowsItsBoxAndTheSetUpGoesOn) {
    fake::Rig rig;
    rig.lib.failing["FT_SetLatencyTimer"] = usb::FT_IO_ERROR;
    rig.lib.failing["FT_ResetDevice"] = usb::FT_IO_ERROR;  // reported, not examined
    rig.master.ClockDivisor = 149;
    EXPECT_TRUE(rig.master.InitI2CController());
    EXPECT_EQ(rig.dialogs.boxes, std::vector<std::string>{"set latency failed"});
    EXPECT_EQ(rig.dialogs.errors.size(), 2u);
}

TEST(InitI2CController, FailedSynchronisationSendsNoSetUp) {
    fake::Rig rig;
    rig.lib.echoBadCommands = false;
    EXPECT_FALSE(rig.master.InitI2CController());
    for (const Bytes& w : rig.lib.writes) EXPECT_EQ(w, Bytes{0xAA});
}

}  // namespace
