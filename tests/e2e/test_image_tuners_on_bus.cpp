// The demodulator's default image and the tuner programming through its
// repeater, end to end: the front end's tables through the byte-by-byte I2C
// master on the simulated board, as a protocol analyser on the bus sees it.
#include <gtest/gtest.h>

#include <array>
#include <set>

#include "frontend/demod_image.h"
#include "frontend/tuners.h"
#include "support/simulated_channel_a.h"

namespace {

using frontend::DemodImage;
using testing_support::nimAt;

struct Board : testing_support::I2cRig {
    explicit Board(std::uint8_t demodAddress) : I2cRig(nimAt(demodAddress)) {}
    explicit Board(const sim::ChannelAOptions& options) : I2cRig(options) {}
};

// The 16-bit register writes at one address whose value byte was taken.
std::vector<std::pair<std::uint16_t, std::uint8_t>> registerWrites(const Board& board,
                                                                   std::uint8_t address) {
    std::vector<std::pair<std::uint16_t, std::uint8_t>> out;
    for (const auto& t : board.monitor.transactions) {
        if (t.written.size() != 4 || t.written[0] != address || !t.allAcked()) continue;
        out.emplace_back(static_cast<std::uint16_t>(t.written[1] << 8 | t.written[2]), t.written[3]);
    }
    return out;
}

TEST(DemodImageTable, HoldsEachRegisterOnceWithTheTwoAddressEntries) {
    std::set<std::uint16_t> regs;
    std::vector<std::uint16_t> addressEntries;
    for (const auto& e : DemodImage) {
        regs.insert(e.reg);
        if (e.isAddress) addressEntries.push_back(e.reg);
    }
    EXPECT_EQ(regs.size(), 275u);
    EXPECT_EQ(addressEntries, (std::vector<std::uint16_t>{0xF166, 0xF534}));
    EXPECT_EQ(DemodImage.front().reg, 0xF113);
    EXPECT_EQ(DemodImage[8].reg, 0xF12A);
    EXPECT_EQ(DemodImage[8].value, 0x44);  // repeater stays off
    EXPECT_EQ(DemodImage.back().reg, 0xFF67);
}

class ImageForBothNims : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(ImageForBothNims, WritesAll275EntriesInOrderWithTheChipsOwnAddress) {
    const std::uint8_t address = GetParam();
    Board board(address);
    ASSERT_TRUE(frontend::WriteDemodDefaults(board.master, address));
    const auto written = registerWrites(board, address);
    ASSERT_EQ(written.size(), 275u);
    for (std::size_t i = 0; i < 275; ++i) {
        const auto& e = DemodImage[i];
        EXPECT_EQ(written[i].first, e.reg) << i;
        EXPECT_EQ(written[i].second, e.isAddress ? address : e.value) << i;
    }
    EXPECT_EQ(board.demod().peek(0xF166), address);
    EXPECT_EQ(board.demod().peek(0xF534), address);
    EXPECT_EQ(board.demod().peek(0xF536), 0x22);
    EXPECT_EQ(board.demod().peek(0xF12A), 0x44);
    EXPECT_EQ(board.monitor.addressBytes(address), 275);  // no write needed a retry
}

INSTANTIATE_TEST_SUITE_P(Nims, ImageForBothNims, ::testing::Values(0xD0, 0xD4));

TEST(DemodImageWrite, StopsAtTheFirstFailedEntryWithoutTryingLaterOnes) {
    const std::size_t k = 100;  // 1-based entry that fails
    sim::ChannelAOptions o = nimAt(0xD4);
    o.faults.imageFailsAt = static_cast<std::uint32_t>(k);
    Board board(o);
    EXPECT_FALSE(frontend::WriteDemodDefaults(board.master, 0xD4));
    EXPECT_EQ(registerWrites(board, 0xD4).size(), k - 1);
    // Entries before k took one address each; entry k used all its retries:
    // 13 attempts, each a first try and ten that start over with the address.
    EXPECT_EQ(board.monitor.addressBytes(0xD4), static_cast<int>(k - 1) + 13 * 11);
}

TEST(TunerInit, Stb6100WritesRegisters1To11EachFramedByTheRepeater) {
    Board board(0xD4);
    ASSERT_TRUE(frontend::WriteSTB6100Defaults(board.master, 0xD4));
    std::vector<std::string> expected;
    const char* values[] = {"E1", "5E", "26", "38", "3E", "C0", "DC", "8F", "4D", "EB", "DE"};
    for (int r = 1; r <= 11; ++r) {
        char reg[3];
        std::snprintf(reg, sizeof reg, "%02X", r);
        expected.push_back("D4:F12A=C8");
        expected.push_back(std::string("C0:") + reg + "=" + values[r - 1]);
        expected.push_back("D4:F12A=48");
    }
    EXPECT_EQ(board.monitor.completedWrites(), expected);
    EXPECT_EQ(board.tuner().peek(1), 0xE1);
    EXPECT_EQ(board.tuner().peek(11), 0xDE);
    EXPECT_EQ(board.tuner().peek(0), 0x81);  // its power-on status, never written
    EXPECT_EQ(board.master.LowBytePins & 0x10, 0);
}

TEST(TunerInit, Stv6110WritesOnlyRegisters0To4ThroughTheSharpDemodulator) {
    Board board(0xD0);
    ASSERT_EQ(board.tuner().size(), 8u);
    ASSERT_TRUE(frontend::WriteSTV6110Defaults(board.master, 0xD0));
    const std::vector<std::string> expected = {
        "D0:F12A=C8", "C0:00=5F", "D0:F12A=48", "D0:F12A=C8", "C0:01=18", "D0:F12A=48",
        "D0:F12A=C8", "C0:02=E7", "D0:F12A=48", "D0:F12A=C8", "C0:03=7F", "D0:F12A=48",
        "D0:F12A=C8", "C0:04=00", "D0:F12A=48"};
    EXPECT_EQ(board.monitor.completedWrites(), expected);
    EXPECT_EQ(board.monitor.completedWritesTo(0xC0), 5);
}

TEST(TunerInit, SilentTunerStopsAtTheFirstRegisterWithTheRepeaterSwitchedOff) {
    sim::ChannelAOptions o = nimAt(0xD4);
    o.faults.tunerAbsent = true;
    Board board(o);
    EXPECT_FALSE(frontend::WriteSTB6100Defaults(board.master, 0xD4));
    // 11 attempts for register 1 only, each of 11 start-and-address tries,
    // then ten more for the register byte and ten for the value, each of
    // which starts over with the address.
    EXPECT_EQ(board.monitor.addressBytes(0xC0), 11 * (11 + 2 * 10));
    EXPECT_EQ(board.monitor.completedWrites(),
              (std::vector<std::string>{"D4:F12A=C8", "D4:F12A=48"}));
    EXPECT_EQ(board.demod().peek(0xF12A), 0x48);
}

TEST(TunerInit, FailedRepeaterWriteEndsAtOnce) {
    sim::ChannelAOptions o = nimAt(0xD4);
    o.faults.demodAbsent = true;
    Board board(o);
    EXPECT_FALSE(board.master.WriteTunerRegister(0xD4, 0xC0, 1, 0xE1));
    EXPECT_EQ(board.monitor.addressBytes(0xC0), 0);
}

TEST(TunerInit, CoarseTimerCountsAsFailureAndLeavesTheRepeaterOn) {
    Board board(0xD4);
    board.master.HasPerfCounter = false;
    EXPECT_FALSE(board.master.WriteTunerRegister(0xD4, 0xC0, 1, 0xE1));
    EXPECT_EQ(board.demod().peek(0xF12A), 0xC8);
    EXPECT_EQ(board.monitor.completedWritesTo(0xC0), 0);
    EXPECT_EQ(board.tuner().peek(1), 0x00);
}

TEST(TunerReadBack, ReadsTwelveBytesThroughTheEardatekDemodulatorWhateverIsFitted) {
    Board board(0xD4);
    // A second demodulator that must not be used, with a bus of its own behind.
    sim::I2cBus& bus = board.channelA->bus();
    sim::Demodulator sharp(0xD0, bus, bus.addSegment(), {});
    sharp.attach(bus, sim::I2cBus::kMainSegment);
    // Registers 1 to 11 hold A1..AB; the last write leaves the pointer at 0.
    for (std::uint8_t r = 1; r < 12; ++r)
        ASSERT_TRUE(board.master.WriteTunerRegister(0xD4, 0xC0, r, 0xA0 + r));
    board.clearRecords();
    std::array<std::uint8_t, 12> buffer{};
    ASSERT_TRUE(board.master.ReadTunerRegisters(0xD4, 0xC0, buffer));
    EXPECT_EQ(buffer[0], 0x81);  // the read-only status
    for (std::size_t i = 1; i < 12; ++i) EXPECT_EQ(buffer[i], 0xA0 + i) << i;
    EXPECT_EQ(board.monitor.completedWrites(), (std::vector<std::string>{"D4:F12A=C8", "D4:F12A=48"}));
    EXPECT_EQ(board.monitor.addressBytes(0xD0) + board.monitor.addressBytes(0xD1), 0);
    EXPECT_EQ(sharp.peek(0xF12A), 0x00);
    // One read transaction: the read address and twelve bytes, no register phase.
    int reads = 0;
    for (const auto& t : board.monitor.transactions) {
        if (!t.written.empty() && t.written[0] == 0xC1) {
            ++reads;
            EXPECT_EQ(t.written.size(), 1u);
            EXPECT_EQ(t.bytesRead(), 12);
        }
    }
    EXPECT_EQ(reads, 1);
}

TEST(TunerReadBack, UnreadableTunerGivesUpAfterElevenAttempts) {
    sim::ChannelAOptions o = nimAt(0xD4);
    o.faults.tunerAbsent = true;
    Board board(o);
    testing_support::WriteOnly<sim::Stb6100Tuner> tuner(0xC0);
    tuner.attach(board.channelA->bus(), 1);  // the repeater's segment
    std::array<std::uint8_t, 12> buffer{};
    EXPECT_FALSE(board.master.ReadTunerRegisters(0xD4, 0xC0, buffer));
    // 11 attempts of 11 start-and-address tries each.
    EXPECT_EQ(board.monitor.addressBytes(0xC1), 11 * 11);
    EXPECT_EQ(board.demod().peek(0xF12A), 0x48);
}

}  // namespace
