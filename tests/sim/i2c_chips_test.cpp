#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host_stream.h"
#include "support/i2c_monitor.h"
#include "support/test_support.h"
#include "sim/channel_a.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::ChannelA;
using sim::ChannelAOptions;

constexpr std::uint8_t kEarda = 0xD4;
constexpr std::uint8_t kSharp = 0xD0;
constexpr std::uint8_t kTuner = 0xC0;

struct Bench {
    explicit Bench(ChannelAOptions options = {}) : channel(options, clock), host(channel) { host.init(); }
    std::uint8_t read(std::uint8_t device, std::uint16_t reg) {
        std::uint8_t v = 0xEE;
        EXPECT_TRUE(host.readRegister(device, reg, &v)) << std::hex << reg;
        return v;
    }
    testing_support::FakeClock clock;
    ChannelA channel;
    simtest::Host host;
};

ChannelAOptions withFaults(sim::ChannelAFaults faults, sim::Nim nim = sim::Nim::Earda) {
    ChannelAOptions o;
    o.nim = nim;
    o.faults = faults;
    return o;
}

TEST(Demodulator, RegisterWriteAndReadAsTheHostSendsThem) {
    Bench b;
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF536, 0x5A));
    EXPECT_EQ(b.channel.demodulator()->peek(0xF536), 0x5A);
    EXPECT_EQ(b.read(kEarda, 0xF536), 0x5A);
    EXPECT_EQ(b.read(kEarda, 0xF100), 0x20);
    // The identity is read-only.
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF100, 0x77));
    EXPECT_EQ(b.read(kEarda, 0xF100), 0x20);
    // Every value goes through unchanged, both bit patterns at the ends included.
    for (int v : {0x00, 0xFF, 0x80, 0x01}) {
        EXPECT_TRUE(b.host.writeRegister(kEarda, 0x1234, static_cast<std::uint8_t>(v)));
        EXPECT_EQ(b.read(kEarda, 0x1234), v);
    }
    EXPECT_EQ(b.host.receiveAll(), Bytes{});  // nothing left over for the host
}

TEST(Demodulator, OnlyTheFittedNimsAddressAnswers) {
    ChannelAOptions sharp;
    sharp.nim = sim::Nim::Sharp;
    Bench b(sharp);
    EXPECT_FALSE(b.host.writeRegister(kEarda, 0xF12A, 0x48));
    EXPECT_EQ(b.channel.demodulator()->peek(0xF12A), 0x00);
    EXPECT_TRUE(b.host.writeRegister(kSharp, 0xF12A, 0x48));
    EXPECT_EQ(b.read(kSharp, 0xF12A), 0x48);
    // A read at the wrong address fails at its first byte.
    b.host.start();
    EXPECT_FALSE(b.host.writeByte(kEarda));
    b.host.stop();
}

TEST(Demodulator, ConsecutiveBytesUseConsecutiveRegisters) {
    Bench b;
    b.host.start();
    for (std::uint8_t byte : {kEarda, std::uint8_t{0x10}, std::uint8_t{0xFF}, std::uint8_t{1},
                              std::uint8_t{2}, std::uint8_t{3}})
        EXPECT_TRUE(b.host.writeByte(byte));
    b.host.stop();
    sim::Demodulator& d = *b.channel.demodulator();
    EXPECT_EQ(d.peek(0x10FF), 1);
    EXPECT_EQ(d.peek(0x1100), 2);  // the address carries into the high byte
    EXPECT_EQ(d.peek(0x1101), 3);

    // Address only, repeated start, then a read of three bytes from there.
    b.host.start();
    EXPECT_TRUE(b.host.writeByte(kEarda));
    EXPECT_TRUE(b.host.writeByte(0x10));
    EXPECT_TRUE(b.host.writeByte(0xFF));
    EXPECT_EQ(b.host.readCurrent(kEarda, 3), (Bytes{1, 2, 3}));
}

TEST(Demodulator, RepeaterConnectsTheTunerWhileBit7IsSet) {
    Bench b;
    auto tunerAnswers = [&] {
        b.host.start();
        const bool ack = b.host.writeByte(kTuner);
        b.host.stop();
        return ack;
    };
    EXPECT_FALSE(tunerAnswers());
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF12A, 0xC8));
    EXPECT_TRUE(b.channel.demodulator()->repeaterOn());
    EXPECT_TRUE(tunerAnswers());
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF12A, 0x48));
    EXPECT_FALSE(tunerAnswers());
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF12A, 0x80));
    EXPECT_TRUE(tunerAnswers());
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF12A, 0x44));
    EXPECT_FALSE(tunerAnswers());

    // Traffic while isolated never reaches the tuner.
    EXPECT_FALSE(b.host.writeRegisters8(kTuner, 5, {0x99}));
    EXPECT_EQ(b.channel.tuner()->peek(5), 0x00);
}

// The test support's protocol analyser against streams built by hand: what
// it reports is what the wire carried, acknowledges and stops included.
TEST(Bus, TheTestMonitorDecodesWritesReadsAndRepeatedStarts) {
    Bench b;
    testing_support::I2cMonitor monitor;
    monitor.attach(b.channel.bus());
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF536, 0x5A));
    EXPECT_FALSE(b.host.writeRegister(kSharp, 0xF536, 0x5A));  // nobody at 0xD0
    b.host.start();
    EXPECT_TRUE(b.host.writeByte(kEarda));
    EXPECT_TRUE(b.host.writeByte(0xF5));
    EXPECT_TRUE(b.host.writeByte(0x36));
    EXPECT_EQ(b.host.readCurrent(kEarda, 2), (Bytes{0x5A, 0x00}));

    const auto& t = monitor.transactions;
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].written, (Bytes{0xD4, 0xF5, 0x36, 0x5A}));
    EXPECT_EQ(t[0].acked, (std::vector<bool>{true, true, true, true}));
    EXPECT_TRUE(t[0].stopped);
    EXPECT_EQ(t[1].written, (Bytes{0xD0, 0xF5, 0x36, 0x5A}));
    EXPECT_EQ(t[1].acked, (std::vector<bool>{false, false, false, false}));
    EXPECT_EQ(t[2].written, (Bytes{0xD4, 0xF5, 0x36}));
    EXPECT_FALSE(t[2].stopped);  // ended by the repeated start
    EXPECT_EQ(t[3].written, (Bytes{0xD5}));
    EXPECT_EQ(t[3].read, (Bytes{0x5A, 0x00}));
    // The last byte was acknowledged too: the chip goes on sending a 0 bit,
    // holds SDA low and the stop never shows on the wire.
    EXPECT_FALSE(t[3].stopped);
    EXPECT_EQ(monitor.completedWrites(), std::vector<std::string>{"D4:F536=5A"});
    EXPECT_EQ(monitor.addressBytes(0xD4), 2);
    EXPECT_EQ(monitor.writtenBytes(), 12);
}

struct TunerBench : Bench {
    explicit TunerBench(sim::Nim nim) : Bench(withFaults({}, nim)) {
        demod = nim == sim::Nim::Earda ? kEarda : kSharp;
        EXPECT_TRUE(host.writeRegister(demod, 0xF12A, 0xC8));
    }
    std::uint8_t demod;
};

TEST(Tuners, Stb6100KeepsItsPositionAndWrapsAfterTwelveRegisters) {
    TunerBench b(sim::Nim::Earda);
    const Bytes table = {0xE1, 0x5E, 0x26, 0x38, 0x3E, 0xC0, 0xDC, 0x8F, 0x4D, 0xEB, 0xDE};
    for (std::uint8_t r = 1; r <= 11; ++r) EXPECT_TRUE(b.host.writeRegisters8(kTuner, r, {table[r - 1]}));
    EXPECT_EQ(b.channel.tuner()->pointer(), 0);  // moved past register 11 and wrapped

    // A read without a register phase starts at the current position.
    bool addressed = false;
    const Bytes got = b.host.readCurrent(kTuner, 12, &addressed);
    EXPECT_TRUE(addressed);
    Bytes expected = {0x81};  // register 0: status, not writable
    expected.insert(expected.end(), table.begin(), table.end());
    EXPECT_EQ(got, expected);

    // Register 0 ignores writes; a write running past 11 goes on at 0.
    EXPECT_TRUE(b.host.writeRegisters8(kTuner, 11, {0x11, 0x22, 0x33}));
    EXPECT_EQ(b.channel.tuner()->peek(11), 0x11);
    EXPECT_EQ(b.channel.tuner()->peek(0), 0x81);
    EXPECT_EQ(b.channel.tuner()->peek(1), 0x33);
}

TEST(Tuners, Stv6110HasEightRegisters) {
    TunerBench b(sim::Nim::Sharp);
    EXPECT_EQ(b.channel.tuner()->size(), 8u);
    EXPECT_TRUE(b.host.writeRegisters8(kTuner, 0, {0x5F, 0x18, 0xE7, 0x7F, 0x00}));
    EXPECT_TRUE(b.host.writeRegisters8(kTuner, 6, {}));  // position only
    EXPECT_EQ(b.host.readCurrent(kTuner, 4), (Bytes{0xE6, 0x1E, 0x5F, 0x18}));
}

TEST(Bus, ASlaveStillSendingHoldsSdaLowAndSwallowsTheStop) {
    // A master that acknowledges the last byte it wants makes the slave put
    // out the next byte's first bit; if it is 0, SDA cannot rise for the
    // stop, and the next start fails until the slave lets go.
    TunerBench b(sim::Nim::Sharp);
    EXPECT_TRUE(b.host.writeRegisters8(kTuner, 7, {}));
    EXPECT_EQ(b.host.readCurrent(kTuner, 1), Bytes{0x1E});  // next comes register 0, 0x07
    EXPECT_FALSE(b.channel.bus().levels().sda);
    EXPECT_FALSE(b.host.writeRegister(kSharp, 0xF12A, 0x48));
    // The clocks of that failed try shift the byte out; the slave then sees no
    // acknowledge and lets go.
    EXPECT_TRUE(b.host.writeRegister(kSharp, 0xF12A, 0x48));
    EXPECT_TRUE(b.channel.bus().levels().sda);
}

TEST(Faults, DemodAbsentLeavesNothingToAnswer) {
    sim::ChannelAFaults f;
    f.demodAbsent = true;
    Bench b(withFaults(f));
    EXPECT_EQ(b.channel.demodulator(), nullptr);
    EXPECT_FALSE(b.host.writeRegister(kEarda, 0xF12A, 0xC8));
    std::uint8_t v = 0;
    EXPECT_FALSE(b.host.readRegister(kEarda, 0xF100, &v));
    b.host.start();
    EXPECT_FALSE(b.host.writeByte(kTuner));  // the tuner stays behind the open switch
    b.host.stop();
}

TEST(Faults, WrongChipIdAndStuckScratchRegister) {
    sim::ChannelAFaults f;
    f.chipId = 0x30;
    f.scratchStuck = true;
    Bench b(withFaults(f));
    EXPECT_EQ(b.read(kEarda, 0xF100), 0x30);
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF536, 0x5A));  // acknowledged...
    EXPECT_EQ(b.read(kEarda, 0xF536), 0x00);                 // ...but not kept
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF537, 0x5A));
    EXPECT_EQ(b.read(kEarda, 0xF537), 0x5A);
}

TEST(Faults, TunerAbsentLeavesTheDemodulatorWorking) {
    sim::ChannelAFaults f;
    f.tunerAbsent = true;
    Bench b(withFaults(f));
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF12A, 0xC8));
    EXPECT_FALSE(b.host.writeRegisters8(kTuner, 1, {0xE1}));
    EXPECT_EQ(b.read(kEarda, 0xF12A), 0xC8);
}

// Acknowledge bits of a fixed run of register writes and reads.
std::vector<bool> ackPattern(double rate, std::uint64_t seed) {
    ChannelAOptions o;
    o.faults.nackRate = rate;
    o.seed = seed;
    Bench b(o);
    std::vector<bool> acks;
    for (int i = 0; i < 100; ++i) {
        b.host.start();
        for (std::uint8_t byte : {kEarda, std::uint8_t{0xF5}, std::uint8_t{0x36}, std::uint8_t{0x5A}})
            acks.push_back(b.host.writeByte(byte));
        b.host.stop();
    }
    return acks;
}

TEST(Faults, NackRateLosesAcknowledgesReproduciblyPerSeed) {
    const auto first = ackPattern(0.3, 7);
    EXPECT_EQ(ackPattern(0.3, 7), first);
    EXPECT_NE(ackPattern(0.3, 8), first);
    const auto lost = std::count(first.begin(), first.end(), false);
    EXPECT_GT(lost, 60);  // about 120 of 400 (a lost address acknowledge leaves the slave addressed)
    EXPECT_LT(lost, 180);

    const auto none = ackPattern(1.0, 7);
    EXPECT_EQ(std::count(none.begin(), none.end(), true), 0);
    const auto all = ackPattern(0.0, 7);
    EXPECT_EQ(std::count(all.begin(), all.end(), false), 0);
}

TEST(Faults, ImageFailsAtRefusesTheKthWriteFromTheFirstWriteTo0xF113) {
    sim::ChannelAFaults f;
    f.imageFailsAt = 3;
    Bench b(withFaults(f));
    sim::Demodulator& d = *b.channel.demodulator();
    // Not counted: nothing has written 0xF113 yet.
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF536, 0x5A));
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF12A, 0x48));
    EXPECT_EQ(d.imageWrites(), 0u);

    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF113, 0x00));
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF114, 0x00));
    d.poke(0xF11C, 0x42);
    for (int retry = 0; retry < 3; ++retry) {
        // Address and register bytes are acknowledged, the value is not.
        b.host.pins &= ~0x10;
        b.host.start();
        EXPECT_TRUE(b.host.writeByte(kEarda));
        EXPECT_TRUE(b.host.writeByte(0xF1));
        EXPECT_TRUE(b.host.writeByte(0x1C));
        EXPECT_FALSE(b.host.writeByte(0x00));
        b.host.stop();
    }
    EXPECT_EQ(d.peek(0xF11C), 0x42);
    // Other registers take their writes, and the refused one still refuses
    // after them: a host that queues the rest of the image before it retries
    // meets the same fault as one that retries at once.
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF536, 0x5A));
    EXPECT_FALSE(b.host.writeRegister(kEarda, 0xF11C, 0x00));
    EXPECT_EQ(b.read(kEarda, 0xF536), 0x5A);
    // The next image (its first register written again) ends the fault for good.
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF113, 0x00));
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF11C, 0x00));
    EXPECT_EQ(d.peek(0xF11C), 0x00);
}

TEST(Faults, ImageFailsAtOneRefusesTheFirstImageWrite) {
    sim::ChannelAFaults f;
    f.imageFailsAt = 1;
    Bench b(withFaults(f));
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF12A, 0x48));
    EXPECT_FALSE(b.host.writeRegister(kEarda, 0xF113, 0x00));
    EXPECT_FALSE(b.host.writeRegister(kEarda, 0xF113, 0x00));
    EXPECT_TRUE(b.host.writeRegister(kEarda, 0xF536, 0x5A));
}

TEST(Faults, SilentMpsseAnswersNothingThoughTheBusMoves) {
    sim::ChannelAFaults f;
    f.mpsseSilent = true;
    Bench b(withFaults(f));
    EXPECT_TRUE(b.host.roundTrip({0xAA, 0x87}).empty());
    EXPECT_FALSE(b.host.writeRegister(kEarda, 0xF536, 0x5A));
    EXPECT_EQ(b.channel.demodulator()->peek(0xF536), 0x5A);  // the chip got it all the same
}

}  // namespace
