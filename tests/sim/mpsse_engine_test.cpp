#include "sim/mpsse_engine.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include "host_stream.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Change = std::tuple<std::uint64_t, bool, bool>;

struct Rig {
    explicit Rig(sim::MpsseEngine::Settings settings = {}) {
        bus.setTrace([this](std::uint64_t t, bool scl, bool sda) { changes.emplace_back(t, scl, sda); });
        engine = std::make_unique<sim::MpsseEngine>(bus, &clock, settings);
        engine->setBitMode(0, 2);
    }
    Bytes roundTrip(const Bytes& bytes) {
        engine->write(bytes.data(), bytes.size());
        Bytes got(engine->available());
        got.resize(engine->read(got.data(), got.size()));
        return got;
    }
    simtest::ManualClock clock;
    sim::I2cBus bus;
    std::vector<Change> changes;
    std::unique_ptr<sim::MpsseEngine> engine;
};

TEST(MpsseEngine, BytesBeforeMpsseModeAndAfterResetAreIgnored) {
    sim::I2cBus bus;
    sim::MpsseEngine engine(bus, nullptr);
    const Bytes bad = {0xAA, 0x80, 0x00, 0x13};
    engine.write(bad.data(), bad.size());
    EXPECT_EQ(engine.available(), 0u);
    EXPECT_TRUE(bus.levels().scl && bus.levels().sda);

    engine.setBitMode(0, 2);
    engine.write(bad.data(), 1);
    EXPECT_EQ(engine.available(), 2u);

    engine.reset();
    EXPECT_EQ(engine.available(), 0u);  // the reset drops unread answers too
    engine.write(bad.data(), 1);
    EXPECT_EQ(engine.available(), 0u);
    EXPECT_FALSE(engine.mpsseMode());
}

TEST(MpsseEngine, UnknownOpcodesAreEchoedAfter0xFAAndParsingGoesOn) {
    Rig rig;
    EXPECT_EQ(rig.roundTrip({0xAA}), (Bytes{0xFA, 0xAA}));
    EXPECT_EQ(rig.roundTrip({0xAB}), (Bytes{0xFA, 0xAB}));
    // A bad opcode takes no operands: the next byte is a command again.
    EXPECT_EQ(rig.roundTrip({0x00, 0xAA, 0x81}), (Bytes{0xFA, 0x00, 0xFA, 0xAA, 0xFF}));
}

TEST(MpsseEngine, SetUpStreamMakesA200kHzI2cMasterAndAnswersNothing) {
    Rig rig;
    EXPECT_TRUE(rig.engine->divideBy5());  // the state after reset
    EXPECT_TRUE(rig.roundTrip(simtest::kSetup).empty());
    const sim::MpsseEngine& e = *rig.engine;
    EXPECT_DOUBLE_EQ(e.sclFrequencyHz(), 200000.0);
    EXPECT_EQ(e.clockDivisor(), 149);
    EXPECT_FALSE(e.divideBy5());
    EXPECT_FALSE(e.adaptiveClocking());
    EXPECT_FALSE(e.threePhaseClocking());
    EXPECT_FALSE(e.loopback());
    EXPECT_EQ(e.lowValue(), 0x13);
    EXPECT_EQ(e.lowDirection(), 0x13);
    EXPECT_EQ(e.highValue(), 0x0F);
    EXPECT_EQ(e.highDirection(), 0x0F);
    EXPECT_TRUE(rig.bus.levels().scl && rig.bus.levels().sda);

    // Without disabling the divide-by-5 the same divisor gives a fifth.
    Rig slow;
    slow.roundTrip({0x86, 0x95, 0x00});
    EXPECT_DOUBLE_EQ(slow.engine->sclFrequencyHz(), 40000.0);
    slow.roundTrip({0x8A, 0x8B});
    EXPECT_DOUBLE_EQ(slow.engine->sclFrequencyHz(), 40000.0);
}

TEST(MpsseEngine, LoopbackReadsDataOutAndBitReadsLandAtTheShiftEnd) {
    Rig rig;
    rig.roundTrip(simtest::kSetup);
    rig.roundTrip({0x84});
    EXPECT_EQ(rig.roundTrip({0x31, 0x01, 0x00, 0xA5, 0x3C}), (Bytes{0xA5, 0x3C}));
    EXPECT_EQ(rig.roundTrip({0x33, 0x00, 0x80}), (Bytes{0x01}));  // one bit MSB first: bit 0
    EXPECT_EQ(rig.roundTrip({0x33, 0x02, 0xA0}), (Bytes{0x05}));  // 1,0,1
    EXPECT_EQ(rig.roundTrip({0x3B, 0x00, 0x01}), (Bytes{0x80}));  // one bit LSB first: bit 7
    EXPECT_EQ(rig.roundTrip({0x39, 0x00, 0x00, 0x96}), (Bytes{0x96}));

    // Loop-back off, SDA released and nobody pulling: the pull-up reads as ones.
    rig.roundTrip({0x85, 0x80, 0x11, 0x11});
    EXPECT_EQ(rig.roundTrip({0x25, 0x00, 0x00, 0x27, 0x00, 0x87}), (Bytes{0xFF, 0x01}));
}

TEST(MpsseEngine, ByteOutChangesDataWhileTheClockIsLowAt200kHz) {
    Rig rig;
    rig.roundTrip(simtest::kSetup);
    rig.roundTrip({0x80, 0x10, 0x13});  // SCL and SDA low, as after a start
    rig.changes.clear();
    rig.roundTrip({0x11, 0x00, 0x00, 0xA5});

    std::vector<std::uint64_t> rises;
    bool prevScl = false;
    bool prevSda = false;
    Bytes sampled;
    for (const auto& [t, scl, sda] : rig.changes) {
        if (sda != prevSda) {
            EXPECT_FALSE(scl) << "SDA moved while SCL was high at " << t;
        }
        if (scl && !prevScl) {
            rises.push_back(t);
            sampled.push_back(sda);
        }
        prevScl = scl;
        prevSda = sda;
    }
    ASSERT_EQ(rises.size(), 8u);
    for (std::size_t i = 1; i < rises.size(); ++i) EXPECT_EQ(rises[i] - rises[i - 1], 5000u);
    EXPECT_EQ(sampled, (Bytes{1, 0, 1, 0, 0, 1, 0, 1}));
    EXPECT_FALSE(prevScl);  // back at the idle level
}

TEST(MpsseEngine, PinsOnlyReachTheBusWhileTheirDirectionBitsAreOutputs) {
    Rig rig;
    rig.roundTrip(simtest::kSetup);
    rig.roundTrip({0x80, 0x00, 0x10});  // both released
    rig.changes.clear();
    rig.roundTrip({0x11, 0x00, 0x00, 0x00});
    EXPECT_TRUE(rig.changes.empty());

    rig.roundTrip({0x80, 0x00, 0x11});  // clock driven, data released
    rig.changes.clear();
    rig.roundTrip({0x11, 0x00, 0x00, 0x00});
    ASSERT_EQ(rig.changes.size(), 16u);
    for (const auto& c : rig.changes) EXPECT_TRUE(std::get<2>(c));
}

TEST(MpsseEngine, CommandsSplitAnywhereBetweenWritesBehaveAsOneWrite) {
    Bytes stream = simtest::kSetup;
    const Bytes tail = {0x80, 0x11, 0x13, 0x80, 0x10, 0x13, 0x11, 0x01, 0x00, 0xD4, 0x5A,
                        0x80, 0x10, 0x11, 0x27, 0x00, 0xAB, 0x84, 0x31, 0x00, 0x00, 0x3C,
                        0x33, 0x02, 0xE0, 0x86, 0x04, 0x00, 0x25, 0x01, 0x00, 0x87, 0x81};
    stream.insert(stream.end(), tail.begin(), tail.end());

    Rig whole;
    const Bytes expected = whole.roundTrip(stream);
    ASSERT_EQ(expected.size(), 8u);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        Rig split;
        Bytes got = split.roundTrip(Bytes(stream.begin(), stream.begin() + static_cast<long>(cut)));
        const Bytes rest = split.roundTrip(Bytes(stream.begin() + static_cast<long>(cut), stream.end()));
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, expected) << "split after byte " << cut;
        EXPECT_EQ(split.changes, whole.changes) << "split after byte " << cut;
    }
}

TEST(MpsseEngine, PurgesDropAnswersAndHalfReceivedCommands) {
    Rig rig;
    rig.roundTrip({0x80, 0x13});  // value given, direction still to come
    rig.engine->purgeTransmit();
    EXPECT_EQ(rig.roundTrip({0xAA}), (Bytes{0xFA, 0xAA}));  // 0xAA is not taken as the direction

    const Bytes bad = {0xAA};
    rig.engine->write(bad.data(), bad.size());
    rig.engine->purgeReceive();
    EXPECT_EQ(rig.engine->available(), 0u);
}

TEST(MpsseEngine, AtRealTimingAnswersWaitFor0x87OrTheLatencyTimerThenTheMicroframeAndHostLatency) {
    sim::MpsseEngine::Settings settings;
    settings.usb = {sim::UsbTiming::Real, 500};
    Rig rig(settings);
    // Sent immediately: next microframe (125 us) plus 500 us of host latency.
    EXPECT_TRUE(rig.roundTrip({0xAA, 0x87}).empty());
    rig.clock.us = 624;
    EXPECT_EQ(rig.engine->available(), 0u);
    rig.clock.us = 625;
    EXPECT_EQ(rig.engine->available(), 2u);
    EXPECT_EQ(rig.roundTrip({}), (Bytes{0xFA, 0xAA}));

    // Without 0x87 the answer waits for the 16 ms power-up latency timer...
    rig.clock.us = 1000;
    EXPECT_TRUE(rig.roundTrip({0xAB}).empty());
    rig.clock.us = 1000 + 16000;
    EXPECT_EQ(rig.engine->available(), 0u);
    rig.clock.us = 1000 + 16000 + 125 + 500;
    EXPECT_EQ(rig.roundTrip({}), (Bytes{0xFA, 0xAB}));
    // ...or for the one the host set.
    rig.engine->setLatencyTimer(2);
    rig.clock.us = 20000;
    EXPECT_TRUE(rig.roundTrip({0xAC}).empty());
    rig.clock.us = 22000 + 125 + 500;
    EXPECT_EQ(rig.roundTrip({}), (Bytes{0xFA, 0xAC}));
    EXPECT_EQ(rig.engine->bridge().packetsSent(), 3u);
}

TEST(MpsseEngine, PinWritesTakeTheChipsOwnTimeWhateverTheDivisor) {
    for (const std::uint8_t divisor : {std::uint8_t{0x05}, std::uint8_t{0x95}}) {
        Rig rig;
        rig.roundTrip({0x8A, 0x86, divisor, 0x00});
        const std::uint64_t t0 = rig.engine->timeNs();
        rig.roundTrip({0x80, 0x13, 0x13, 0x80, 0x11, 0x13, 0x82, 0x0F, 0x0F});
        // Three writes of 200 ns; the first moves both lines, 12.5 ns apart.
        EXPECT_EQ(rig.engine->timeNs() - t0, 612u) << "divisor " << int(divisor);
    }
}

TEST(MpsseEngine, WaitAndClockUntilCommandsWatchGpiol1InsteadOfEchoingABadCommand) {
    // GPIOL1 is an input with its pull-up: it reads high.
    Rig rig;
    rig.roundTrip(simtest::kSetup);
    EXPECT_TRUE(rig.roundTrip({0x88, 0x94, 0x9C, 0x00, 0x00, 0xAA}) == (Bytes{0xFA, 0xAA}));
    EXPECT_FALSE(rig.engine->stalled());
    // Clock-until-low with a count gives up after its bytes.
    rig.changes.clear();
    EXPECT_EQ(rig.roundTrip({0x9D, 0x00, 0x00, 0xAA}), (Bytes{0xFA, 0xAA}));
    EXPECT_EQ(rig.changes.size(), 16u);
    // Waiting for a low that never comes hangs the engine.
    EXPECT_TRUE(rig.roundTrip({0x89, 0xAA}).empty());
    EXPECT_TRUE(rig.engine->stalled());
}

TEST(MpsseEngine, AdaptiveClockingHangsTheEngineUntilTheBitModeIsSetAgain) {
    // Nothing on the board returns the clock on GPIOL3.
    Rig rig;
    rig.roundTrip(simtest::kSetup);
    EXPECT_TRUE(rig.roundTrip({0x96, 0x27, 0x00, 0xAA}).empty());
    EXPECT_TRUE(rig.engine->stalled());
    rig.engine->setBitMode(0, 0);
    rig.engine->setBitMode(0, 2);
    EXPECT_EQ(rig.roundTrip({0xAA}), (Bytes{0xFA, 0xAA}));
}

}  // namespace
