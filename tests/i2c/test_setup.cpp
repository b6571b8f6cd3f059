// The engine set-up: the delay, the synchronisation and the controller
// set-up sequence, against channel A of the simulated board.
#include <gtest/gtest.h>

#include <string>

#include "support/simulated_channel_a.h"

namespace {

using testing_support::Bytes;
using testing_support::failFrom;
using testing_support::I2cRig;

sim::ChannelAOptions silentEngine() {
    sim::ChannelAOptions o;
    o.faults.mpsseSilent = true;
    return o;
}

// Answers wait in the chip for the latency timer; the clock moves 0.1 ms per
// tick reading, so several polls find nothing before the echo arrives.
sim::ChannelAOptions realTiming() {
    sim::ChannelAOptions o;
    o.usbTiming = sim::UsbTiming::Real;
    return o;
}

TEST(I2cMasterConstruction, TakesThePerformanceCounterFromTheClock) {
    testing_support::SimulatedChannelA board;
    usb::ChannelLayer channels(board.lib, board.dialogs);
    board.clock.frequency = 3'579'545;
    i2c::I2cMaster withCounter(channels, board.clock, board.dialogs);
    EXPECT_TRUE(withCounter.HasPerfCounter);
    EXPECT_EQ(withCounter.PerfFrequency, 3'579'545);

    board.clock.perfCounter = false;
    i2c::I2cMaster without(channels, board.clock, board.dialogs);
    EXPECT_FALSE(without.HasPerfCounter);
}

TEST(DelayMicroseconds, PerformanceCounterWaitsTheTruncatedCountAndReportsTrue) {
    I2cRig rig;
    // 1.5 counts per microsecond: 5 us is 7 counts (7.5 truncated).
    rig.master.PerfFrequency = 1'500'000;
    rig.clock.nowUs = 99;  // the first reading is 100
    rig.clock.counterReads = 0;
    rig.clock.tickReads = 0;
    EXPECT_TRUE(rig.master.DelayMicroseconds(5));
    // Reads at 100, 101, ..., 107: the last one is the first 7 counts away.
    EXPECT_EQ(rig.clock.counterReads, 8);
    EXPECT_EQ(rig.clock.tickReads, 0);

    rig.clock.counterReads = 0;
    EXPECT_TRUE(rig.master.DelayMicroseconds(0));
    EXPECT_LE(rig.clock.counterReads, 2);
}

TEST(DelayMicroseconds, LongWaitOnAFastCounterDoesNotOverflow) {
    I2cRig rig;
    // 4e9 us at 3 GHz is 1.2e13 counts; the plain product would overflow 64 bits.
    rig.master.PerfFrequency = 3'000'000'000;
    rig.clock.stepUsPerReading = 1'000'000'000;
    rig.clock.counterReads = 0;
    EXPECT_TRUE(rig.master.DelayMicroseconds(4'000'000'000u));
    EXPECT_EQ(rig.clock.counterReads, 1 + 12'000);
}

TEST(DelayMicroseconds, TickFallbackWaitsForTheTickToTurnAndReportsFalse) {
    I2cRig rig;
    // A tick that turns only every fourth read: a short wait still lasts one tick.
    struct SlowTicks : testing_support::FakeClock {
        int n = 0;
        std::uint32_t tickCount() override { return 50 + static_cast<std::uint32_t>(n++ / 4); }
    } slow;
    i2c::I2cMaster master(rig.channels, slow, rig.dialogs);
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
    I2cRig rig;
    EXPECT_TRUE(rig.master.SyncMPSSE());
    EXPECT_EQ(rig.lib.writes, (std::vector<Bytes>{{0xAA}, {0xAB}}));
    EXPECT_EQ(rig.master.OutIndex, 0);
}

TEST(SyncMPSSE, DiscardsStrayBytesAndResendsTheFirstCommandOnEveryEmptyPoll) {
    I2cRig rig(realTiming());
    ASSERT_TRUE(rig.setUp);
    rig.clock.stepUsPerTickReading = 100;
    // An earlier session's echo, still unread: it must not count as this one.
    const std::uint8_t stale[] = {0xAB};
    std::uint32_t written = 0;
    ASSERT_EQ(rig.board.FT_Write(rig.channels.FT_HandleA, stale, 1, &written), usb::FT_OK);
    rig.clock.advanceMs(20);
    std::uint32_t waiting = 0;
    rig.board.FT_GetQueueStatus(rig.channels.FT_HandleA, &waiting);
    ASSERT_EQ(waiting, 2u);
    EXPECT_TRUE(rig.master.SyncMPSSE());
    const auto& w = rig.lib.writes;
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(w.back(), Bytes{0xAB});
    for (std::size_t i = 0; i + 1 < w.size(); ++i) EXPECT_EQ(w[i], Bytes{0xAA});
}

TEST(SyncMPSSE, FailsWithoutTheSecondEcho) {
    I2cRig rig;
    // The first echo is read; every read after it fails, so 0xFA 0xAB never comes in.
    failFrom(rig, "FT_Read", 2);
    EXPECT_FALSE(rig.master.SyncMPSSE());
    EXPECT_EQ(rig.lib.writes, (std::vector<Bytes>{{0xAA}, {0xAB}}));
}

TEST(SyncMPSSE, FailedFirstStatusCallWritesNothing) {
    I2cRig rig;
    failFrom(rig, "FT_GetQueueStatus", 1);
    EXPECT_FALSE(rig.master.SyncMPSSE());
    EXPECT_TRUE(rig.lib.writes.empty());
    // The layer below reported it.
    ASSERT_EQ(rig.dialogs.errors.size(), 1u);
}

TEST(SyncMPSSE, FailsOnAStatusCallThatFailsWhilePolling) {
    I2cRig rig(realTiming());
    ASSERT_TRUE(rig.setUp);
    rig.clock.stepUsPerTickReading = 10;  // the echo is many empty polls away
    failFrom(rig, "FT_GetQueueStatus", 4);
    EXPECT_FALSE(rig.master.SyncMPSSE());
    EXPECT_EQ(rig.lib.writes, (std::vector<Bytes>(3, Bytes{0xAA})));
}

TEST(SyncMPSSE, AnEngineThatNeverAnswersFailsWithinTheBound) {
    I2cRig rig(silentEngine());
    const std::int64_t t0 = rig.clock.nowUs;
    EXPECT_FALSE(rig.master.SyncMPSSE());
    // A millisecond passes per tick read; about half a second of them.
    EXPECT_LE(rig.clock.nowUs - t0, 600'000);
    EXPECT_GE(rig.lib.writes.size(), 100u);
}

TEST(InitI2CController, RunsTheSetUpAndSendsThe13BytesInOneWrite) {
    I2cRig rig;
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
    EXPECT_TRUE(rig.dialogs.messages.empty());
    EXPECT_EQ(rig.channelA->engine().clockDivisor(), 149);
}

TEST(InitI2CController, DivisorGoesOutLowByteFirst) {
    I2cRig rig;
    rig.master.ClockDivisor = 0x1234;
    ASSERT_TRUE(rig.master.InitI2CController());
    const Bytes& w = rig.lib.writes.back();
    EXPECT_EQ(w[9], 0x86);
    EXPECT_EQ(w[10], 0x34);
    EXPECT_EQ(w[11], 0x12);
    EXPECT_EQ(rig.channelA->engine().clockDivisor(), 0x1234);
}

TEST(InitI2CController, LatencyFailureShowsItsBoxAndTheSetUpGoesOn) {
    I2cRig rig;
    failFrom(rig, "FT_SetLatencyTimer", 1);
    rig.master.ClockDivisor = 149;
    EXPECT_TRUE(rig.master.InitI2CController());
    EXPECT_EQ(rig.dialogs.messages, std::vector<std::string>{"set latency failed"});
    EXPECT_EQ(rig.dialogs.errors.size(), 1u);
    EXPECT_FALSE(rig.master.LinkLost());
}

// A board pulled out before or during the set-up: the first failed call
// ends it, with one dialog, and the link says which call it was; nothing
// more goes to the library until the next set-up.
TEST(InitI2CController, AFailedCallEndsTheSetUpWithOneDialog) {
    for (const char* call : {"FT_ResetDevice", "FT_SetBitMode", "FT_GetQueueStatus", "FT_Read", "FT_Write"}) {
        SCOPED_TRACE(call);
        I2cRig rig;
        rig.clearRecords();
        failFrom(rig, call, 1);
        rig.master.ClockDivisor = 149;
        EXPECT_FALSE(rig.master.InitI2CController());
        EXPECT_EQ(rig.dialogs.errors.size(), 1u);
        ASSERT_TRUE(rig.master.LinkLost());
        EXPECT_EQ(rig.master.linkLoss()->status, usb::FT_IO_ERROR);
        const std::size_t calls = rig.lib.calls.size();
        std::uint8_t value = 0;
        EXPECT_FALSE(rig.master.I2C_ReadRegister(0xD4, 0xF100, value));
        EXPECT_EQ(rig.lib.calls.size(), calls);
    }
}

TEST(InitI2CController, FailedSynchronisationSendsNoSetUp) {
    I2cRig rig(silentEngine());
    EXPECT_FALSE(rig.master.InitI2CController());
    ASSERT_FALSE(rig.lib.writes.empty());
    for (const Bytes& w : rig.lib.writes) EXPECT_EQ(w, Bytes{0xAA});
}

}  // namespace
