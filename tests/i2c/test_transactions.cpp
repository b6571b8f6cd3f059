// Bus transactions: the byte streams of start, stop and byte transfers, and
// the retry behaviour of the register operations, on the simulated channel A
// as the D2XX recorder and a protocol analyser on the bus see them.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>

#include "sim/i2c_slaves.h"
#include "support/simulated_channel_a.h"

namespace {

using testing_support::Bytes;
using testing_support::failFrom;
using testing_support::I2cRig;
using testing_support::nimAt;

// Channel A with nothing on its bus but chips a test attaches itself.
sim::ChannelAOptions emptyBus() {
    sim::ChannelAOptions o;
    o.faults.demodAbsent = true;
    o.faults.tunerAbsent = true;
    return o;
}

// A register chip that takes its address but refuses the register's high byte.
struct DeafToRegisters : sim::RegisterFile16Slave {
    using RegisterFile16Slave::RegisterFile16Slave;
    bool afterAddress = false;
    void addressed(bool read) override {
        afterAddress = !read;
        RegisterFile16Slave::addressed(read);
    }
    bool received(std::uint8_t byte) override {
        if (afterAddress) {
            afterAddress = false;
            return false;
        }
        return RegisterFile16Slave::received(byte);
    }
};

Bytes repeat3(std::uint8_t value, std::uint8_t dir, int times) {
    Bytes b;
    b.reserve(3 * static_cast<std::size_t>(times));
    for (int i = 0; i < times; ++i) {
        b.push_back(0x80);
        b.push_back(value);
        b.push_back(dir);
    }
    return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Start and stop as they go out with GPIOL0 (bit 4) high or low.
Bytes startBytes(std::uint8_t gpio) {
    return concat({repeat3(gpio | 0x03, 0x13, 4), repeat3(gpio | 0x01, 0x13, 4),
                   repeat3(gpio, 0x13, 1)});
}
Bytes stopBytes(std::uint8_t gpio) {
    return concat({repeat3(gpio | 0x01, 0x13, 4), repeat3(gpio | 0x03, 0x13, 4),
                   repeat3(gpio | 0x03, 0x10, 1)});
}
Bytes byteWrite(std::uint8_t value, std::uint8_t pins) {
    return {0x11, 0x00, 0x00, value, 0x80, pins, 0x11, 0x27, 0x00, 0x87};
}

Bytes queued(const I2cRig& rig) {
    return Bytes(rig.master.FT_Out_Buffer.begin(),
                 rig.master.FT_Out_Buffer.begin() + rig.master.OutIndex);
}

TEST(StartStop, StartQueuesThe27PinWritesForGpiol0HighAndLow) {
    I2cRig rig;
    rig.master.AddToBuffer(0x55);  // discarded by the start
    ASSERT_TRUE(rig.master.I2C_Start());
    EXPECT_EQ(queued(rig), startBytes(0x10));
    EXPECT_TRUE(rig.lib.writes.empty());  // goes out with the next transfer

    rig.master.LowBytePins = 0x03;
    ASSERT_TRUE(rig.master.I2C_Start());
    EXPECT_EQ(queued(rig), startBytes(0x00));
    EXPECT_EQ(queued(rig)[1], 0x03);
    EXPECT_EQ(rig.master.LowBytePins, 0x00);
}

TEST(StartStop, StopDropsTheSdaDriveCommandLeftByTheLastTransfer) {
    I2cRig rig;
    rig.master.LowBytePins = 0x03;
    rig.master.I2C_Start();
    rig.master.I2C_WriteByte(0xD0);
    EXPECT_EQ(queued(rig), repeat3(0x00, 0x13, 1));  // SDA driven again, not yet sent
    ASSERT_TRUE(rig.master.I2C_Stop());
    EXPECT_EQ(queued(rig), stopBytes(0x00));
    EXPECT_EQ(rig.master.LowBytePins, 0x03);
}

TEST(StartStop, ClosedChannelQueuesNothingAndEachByteWriteShowsBothBoxes) {
    I2cRig rig;
    rig.master.ChannelAOpen = false;
    rig.master.OutIndex = 0;
    EXPECT_FALSE(rig.master.I2C_Start());
    EXPECT_FALSE(rig.master.I2C_Stop());
    EXPECT_EQ(rig.master.OutIndex, 0);
    const std::uint8_t bit = 0;
    EXPECT_FALSE(rig.master.ClockBitsOut(1, &bit));
    EXPECT_FALSE(rig.master.ClockBitsIn(1));
    EXPECT_EQ(rig.master.OutIndex, 0);

    EXPECT_FALSE(rig.master.I2C_WriteByte(0xD0));
    EXPECT_EQ(rig.dialogs.messages, (std::vector<std::string>{"pb scanoutA", "pb scanInA"}));
}

TEST(ClockBits, SplitsCountsIntoWholeBytesAndRemainingBits) {
    I2cRig rig;
    const std::uint8_t zero = 0;
    rig.master.OutIndex = 0;
    rig.master.ClockBitsOut(1, &zero);
    EXPECT_EQ(queued(rig), (Bytes{0x13, 0x00, 0x00}));

    const std::uint8_t twelve[] = {0x01, 0xB7};
    rig.master.OutIndex = 0;
    rig.master.ClockBitsOut(12, twelve);
    EXPECT_EQ(queued(rig), (Bytes{0x11, 0x00, 0x00, 0x01, 0x13, 0x03, 0xB7}));

    // 300 bytes: the length 299 goes low byte first.
    Bytes many(300, 0x5A);
    rig.master.OutIndex = 0;
    rig.master.ClockBitsOut(8 * 300, many.data());
    const Bytes q = queued(rig);
    ASSERT_EQ(q.size(), 303u);
    EXPECT_EQ(Bytes(q.begin(), q.begin() + 3), (Bytes{0x11, 0x2B, 0x01}));

    rig.master.OutIndex = 0;
    rig.master.ClockBitsIn(8);
    rig.master.ClockBitsIn(1);
    rig.master.ClockBitsIn(20);
    EXPECT_EQ(queued(rig), (Bytes{0x25, 0x00, 0x00, 0x27, 0x00, 0x25, 0x01, 0x00, 0x27, 0x03}));
}

TEST(ByteTransfers, WriteByteSendsStartAndTransferInOneWriteAndReadsTheAcknowledge) {
    I2cRig rig(nimAt(0xD0));
    rig.master.I2C_Start();
    EXPECT_TRUE(rig.master.I2C_WriteByte(0xD0));
    ASSERT_EQ(rig.lib.writes.size(), 1u);
    EXPECT_EQ(rig.lib.writes[0], concat({startBytes(0x10), byteWrite(0xD0, 0x10)}));
    EXPECT_EQ(rig.lib.writes[0].size(), 37u);  // the longest batch

    rig.master.I2C_Start();
    EXPECT_FALSE(rig.master.I2C_WriteByte(0xC0));  // behind the repeater, which is off
}

TEST(ByteTransfers, ReadByteSucceedsOnceItsAnswerArrived) {
    I2cRig rig(nimAt(0xD0));
    rig.demod().poke(0x0000, 0x77);
    rig.master.I2C_Start();
    ASSERT_TRUE(rig.master.I2C_WriteByte(0xD1));
    std::uint8_t out = 0;
    EXPECT_TRUE(rig.master.I2C_ReadByte(out));
    EXPECT_EQ(out, 0x77);
    EXPECT_EQ(rig.lib.writes.back(), (Bytes{0x80, 0x10, 0x13, 0x80, 0x10, 0x11, 0x25, 0x00, 0x00, 0x87}));

    failFrom(rig, "FT_Read", 1);  // the answer never comes in
    out = 0x42;
    EXPECT_FALSE(rig.master.I2C_ReadByte(out));
    EXPECT_EQ(out, 0x42);
}

TEST(RegisterWrite, FreshSetUpWriteGoesOutWithGpiol0LowAsFiveBatches) {
    I2cRig rig;
    ASSERT_TRUE(rig.master.I2C_WriteRegister(0xD4, 0xF536, 0x5A));
    const auto& w = rig.lib.writes;
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(Bytes(w[0].begin(), w[0].begin() + 3), (Bytes{0x80, 0x03, 0x13}));
    EXPECT_EQ(w[0], concat({startBytes(0x00), byteWrite(0xD4, 0x00)}));
    EXPECT_EQ(w[1], concat({repeat3(0x00, 0x13, 1), byteWrite(0xF5, 0x00)}));
    EXPECT_EQ(w[2], concat({repeat3(0x00, 0x13, 1), byteWrite(0x36, 0x00)}));
    EXPECT_EQ(w[3], concat({repeat3(0x00, 0x13, 1), byteWrite(0x5A, 0x00)}));
    EXPECT_EQ(w[4], stopBytes(0x00));
    EXPECT_EQ(rig.demod().peek(0xF536), 0x5A);
    EXPECT_EQ(rig.master.LowBytePins, 0x03);  // bus idle, GPIOL0 stays low
    EXPECT_EQ(rig.master.OutIndex, 0);
}

TEST(RegisterRead, ReadsWithARepeatedStartAndLeavesGpiol0Alone) {
    I2cRig rig(nimAt(0xD0));  // its identity 0x20 at 0xF100
    std::uint8_t out = 0;
    ASSERT_TRUE(rig.master.I2C_ReadRegister(0xD0, 0xF100, out));
    EXPECT_EQ(out, 0x20);
    ASSERT_EQ(rig.monitor.transactions.size(), 2u);
    EXPECT_EQ(rig.monitor.transactions[0].written, (Bytes{0xD0, 0xF1, 0x00}));
    EXPECT_FALSE(rig.monitor.transactions[0].stopped);  // ended by the repeated start
    EXPECT_EQ(rig.monitor.transactions[1].written, (Bytes{0xD1}));
    EXPECT_EQ(rig.monitor.transactions[1].bytesRead(), 1);
    EXPECT_TRUE(rig.monitor.transactions[1].stopped);
    EXPECT_EQ(rig.lib.writes[0][1], 0x13);  // GPIOL0 still high
    EXPECT_EQ(rig.master.LowBytePins, 0x13);
}

TEST(RegisterRetries, DeviceThatNeverAcknowledgesExhaustsBothLimits) {
    I2cRig rig(emptyBus());
    std::uint8_t out = 0x99;
    EXPECT_FALSE(rig.master.I2C_ReadRegister(0xD0, 0xF100, out));
    EXPECT_EQ(out, 0);
    // 16 attempts of 16 start-and-address tries, and nothing else on the bus.
    EXPECT_EQ(rig.monitor.addressBytes(0xD0), 16 * 16);
    EXPECT_EQ(rig.monitor.writtenBytes(), 16 * 16);

    rig.clearRecords();
    EXPECT_FALSE(rig.master.I2C_WriteRegister(0xD0, 0xF536, 0x5A));
    // 13 attempts, each of 11 address tries and 11 tries of each later byte;
    // a later byte's first try goes out as it is, its ten others start over
    // with the address, which is refused.
    EXPECT_EQ(rig.monitor.addressBytes(0xD0), 13 * (11 + 3 * 10));
    EXPECT_EQ(rig.monitor.writtenBytes(), 13 * 11 * 4);
}

TEST(RegisterRetries, UnacknowledgedHighByteEndsEachReadAttemptWithTheStopAlone) {
    I2cRig rig(emptyBus());
    DeafToRegisters chip(0xD0);
    chip.attach(rig.channelA->bus(), sim::I2cBus::kMainSegment);
    std::uint8_t out = 0x99;
    EXPECT_FALSE(rig.master.I2C_ReadRegister(0xD0, 0xF536, out));
    EXPECT_EQ(out, 0);
    // Per attempt: the address and the high byte, 15 more tries that each
    // start over with the address, then the stop on its own.
    const auto& w = rig.lib.writes;
    ASSERT_EQ(w.size(), 16u * 33u);
    for (std::size_t a = 0; a < 16; ++a) EXPECT_EQ(w[a * 33 + 32], stopBytes(0x10)) << a;
    ASSERT_EQ(rig.monitor.transactions.size(), 16u * 16u);
    int stops = 0;
    for (const auto& t : rig.monitor.transactions) {
        // Never the high byte twice in one transaction, never a read address.
        EXPECT_EQ(t.written, (Bytes{0xD0, 0xF5}));
        stops += t.stopped;
    }
    EXPECT_EQ(stops, 16);
}

TEST(RegisterRetries, WriteTriesEveryByteAfterAFailedOneAndRetriesTheAttempt) {
    I2cRig rig(emptyBus());
    DeafToRegisters chip(0xD4);
    chip.attach(rig.channelA->bus(), sim::I2cBus::kMainSegment);
    EXPECT_FALSE(rig.master.I2C_WriteRegister(0xD4, 0xF536, 0x5A));
    // Each attempt still reaches its stop after 11 tries of each byte, and
    // no transaction carries a byte twice.
    int stops = 0;
    for (const auto& t : rig.monitor.transactions) {
        stops += t.stopped;
        Bytes sorted = t.written;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
        ASSERT_FALSE(t.written.empty());
        EXPECT_EQ(t.written[0], 0xD4);
    }
    EXPECT_EQ(stops, 13);
}

TEST(RegisterRetries, TransientNackIsRetriedWithinTheAttempt) {
    I2cRig rig(emptyBus());
    // The chip misses its address twice before answering.
    struct Flaky : sim::RegisterFile16Slave {
        using RegisterFile16Slave::RegisterFile16Slave;
        mutable int misses = 2;
        bool acceptsAddress(std::uint8_t byte) const override {
            return misses-- > 0 ? false : RegisterFile16Slave::acceptsAddress(byte);
        }
    } chip(0xD4);
    chip.attach(rig.channelA->bus(), sim::I2cBus::kMainSegment);
    EXPECT_TRUE(rig.master.I2C_WriteRegister(0xD4, 0x1234, 0x77));
    EXPECT_EQ(chip.peek(0x1234), 0x77);
    EXPECT_EQ(rig.monitor.addressBytes(0xD4), 3);
}

TEST(BoundedWaits, AnEngineThatNeverAnswersCannotHoldTheCaller) {
    sim::ChannelAOptions o = emptyBus();
    o.faults.mpsseSilent = true;
    I2cRig rig(o);
    rig.master.LowBytePins = 0x13;  // as after a set-up
    rig.clearRecords();
    std::int64_t t0 = rig.clock.nowUs;
    rig.master.I2C_Start();
    EXPECT_FALSE(rig.master.I2C_WriteByte(0xD0));  // runs out: not acknowledged
    EXPECT_LE(rig.clock.nowUs - t0, 110'000);
    std::uint8_t b = 0;
    t0 = rig.clock.nowUs;
    EXPECT_FALSE(rig.master.I2C_ReadByte(b));
    EXPECT_LE(rig.clock.nowUs - t0, 110'000);

    std::uint8_t out = 0x99;
    EXPECT_FALSE(rig.master.I2C_ReadRegister(0xD0, 0xF100, out));
    EXPECT_EQ(out, 0);
    EXPECT_FALSE(rig.master.I2C_WriteRegister(0xD0, 0xF536, 0x5A));
    EXPECT_EQ(rig.monitor.addressBytes(0xD0), 1 + 16 * 16 + 13 * (11 + 3 * 10));
}

TEST(BoundedWaits, FailingQueueStatusEndsTheWaitAtOnce) {
    I2cRig rig(nimAt(0xD0));
    failFrom(rig, "FT_GetQueueStatus", 1);
    rig.master.I2C_Start();
    EXPECT_FALSE(rig.master.I2C_WriteByte(0xD0));
    EXPECT_EQ(rig.lib.count("FT_GetQueueStatus"), 1);
}

TEST(SendBytes, PartialWriteIsResentFromWhereItStopped) {
    I2cRig rig(nimAt(0xD0));
    rig.lib.writeLimits = {5, 7};
    rig.master.I2C_Start();
    EXPECT_TRUE(rig.master.I2C_WriteByte(0xD0));  // the engine still saw the whole batch
    ASSERT_EQ(rig.lib.writes.size(), 3u);
    EXPECT_EQ(rig.lib.writes[0].size(), 5u);
    EXPECT_EQ(rig.lib.writes[1].size(), 7u);
    EXPECT_EQ(rig.lib.allWritten(), concat({startBytes(0x10), byteWrite(0xD0, 0x10)}));
}

// A chip that takes nothing for the whole write time-out cannot be reached:
// the link is lost, and says so, instead of the rest going nowhere silently.
TEST(SendBytes, WriteThatStallsForTheWriteTimeOutCutsTheLinkKeepingTheRest) {
    I2cRig rig;
    rig.lib.writeLimits = std::deque<std::uint32_t>(5000, 0);
    rig.lib.writeLimits.front() = 1;
    rig.master.OutIndex = 0;
    for (std::uint8_t b : {0x01, 0x02, 0x03}) rig.master.AddToBuffer(b);
    rig.master.SendBytes(rig.master.OutIndex);
    EXPECT_EQ(rig.master.OutIndex, 2);
    EXPECT_EQ(queued(rig), (Bytes{0x02, 0x03}));
    EXPECT_LE(rig.lib.writes.size(), 1100u);
    ASSERT_TRUE(rig.master.LinkLost());
    EXPECT_EQ(rig.master.linkLoss()->text(), "FT_Write A - Failed to write...");

    // Nothing more goes out until the link is set up again; then the rest does.
    rig.lib.writeLimits.clear();
    const std::size_t writes = rig.lib.writes.size();
    rig.master.SendBytes(rig.master.OutIndex);
    EXPECT_EQ(rig.lib.writes.size(), writes);
    rig.master.ResetLink();
    rig.master.SendBytes(rig.master.OutIndex);
    EXPECT_EQ(rig.lib.writes.back(), (Bytes{0x02, 0x03}));
    EXPECT_EQ(rig.master.OutIndex, 0);
}

// No transaction comes near the command buffer's end, but should bytes keep
// coming, what is queued goes out first and nothing is dropped.
TEST(SendBytes, AFullCommandBufferIsSentBeforeTheNextByte) {
    I2cRig rig;
    rig.master.OutIndex = 0;
    Bytes all;
    for (int i = 0; i < 1030; ++i) {
        all.push_back(0x85);  // loop-back off: a one-byte command that changes nothing
        rig.master.AddToBuffer(0x85);
    }
    EXPECT_EQ(rig.master.OutIndex, 6);
    rig.master.SendBytes(rig.master.OutIndex);
    EXPECT_EQ(rig.lib.allWritten(), all);
    EXPECT_FALSE(rig.master.LinkLost());
}

TEST(SendBytes, FailedWriteIsNotRepeated) {
    I2cRig rig;
    failFrom(rig, "FT_Write", 1);
    rig.master.OutIndex = 0;
    rig.master.AddToBuffer(0x87);
    rig.master.SendBytes(rig.master.OutIndex);
    EXPECT_EQ(rig.dialogs.errors.size(), 1u);
}

}  // namespace
