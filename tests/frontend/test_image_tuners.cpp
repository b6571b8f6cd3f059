// The demodulator's default image and the tuner programming through its
// repeater, on a scripted bus.
#include <gtest/gtest.h>

#include <array>
#include <set>

#include "frontend/demod_image.h"
#include "frontend/frontend_bus.h"
#include "frontend/tuners.h"

namespace {

using frontend::DemodImage;
using frontend_test::Board;
using frontend_test::completedWrites;

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
    ASSERT_EQ(board.demod.written.size(), 275u);
    for (std::size_t i = 0; i < 275; ++i) {
        const auto& e = DemodImage[i];
        EXPECT_EQ(board.demod.written[i].first, e.reg) << i;
        EXPECT_EQ(board.demod.written[i].second, e.isAddress ? address : e.value) << i;
    }
    EXPECT_EQ(board.demod.reg(0xF166), address);
    EXPECT_EQ(board.demod.reg(0xF534), address);
    EXPECT_EQ(board.demod.reg(0xF536), 0x22);
    EXPECT_EQ(board.demod.reg(0xF12A), 0x44);
    EXPECT_EQ(board.lib.addressBytes(address), 275);  // no write needed a retry
}

INSTANTIATE_TEST_SUITE_P(Nims, ImageForBothNims, ::testing::Values(0xD0, 0xD4));

TEST(DemodImageWrite, StopsAtTheFirstFailedEntryWithoutTryingLaterOnes) {
    Board board(0xD4);
    const std::size_t k = 100;  // 1-based entry that fails
    board.demod.stopAckingAfterWrites = static_cast<long>(k - 1);
    EXPECT_FALSE(frontend::WriteDemodDefaults(board.master, 0xD4));
    EXPECT_EQ(board.demod.written.size(), k - 1);
    // Entries before k took one address each; entry k used all its retries:
    // 11 address tries per attempt, and each later byte's ten retries start
    // over with the address.
    EXPECT_EQ(board.lib.addressBytes(0xD4), static_cast<int>(k - 1) + 13 * (11 + 3 * 10));
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
    EXPECT_EQ(completedWrites(board.lib), expected);
    EXPECT_EQ(board.tuner.regs[1], 0xE1);
    EXPECT_EQ(board.tuner.regs[11], 0xDE);
    EXPECT_EQ(board.tuner.regs[0], 0x00);
    EXPECT_EQ(board.master.LowBytePins & 0x10, 0);
}

TEST(TunerInit, Stv6110WritesOnlyRegisters0To4ThroughTheSharpDemodulator) {
    Board board(0xD0, 8);
    ASSERT_TRUE(frontend::WriteSTV6110Defaults(board.master, 0xD0));
    const std::vector<std::string> expected = {
        "D0:F12A=C8", "C0:00=5F", "D0:F12A=48", "D0:F12A=C8", "C0:01=18", "D0:F12A=48",
        "D0:F12A=C8", "C0:02=E7", "D0:F12A=48", "D0:F12A=C8", "C0:03=7F", "D0:F12A=48",
        "D0:F12A=C8", "C0:04=00", "D0:F12A=48"};
    EXPECT_EQ(completedWrites(board.lib), expected);
    EXPECT_EQ(board.tuner.written.size(), 5u);
}

TEST(TunerInit, SilentTunerStopsAtTheFirstRegisterWithTheRepeaterSwitchedOff) {
    Board board(0xD4);
    board.tuner.acknowledgeNothing = true;
    EXPECT_FALSE(frontend::WriteSTB6100Defaults(board.master, 0xD4));
    // 11 attempts of 11 start-and-address tries, for register 1 only, and
    // ten more for each of the register and value bytes, which start over.
    EXPECT_EQ(board.lib.addressBytes(0xC0), 11 * (11 + 2 * 10));
    EXPECT_EQ(completedWrites(board.lib),
              (std::vector<std::string>{"D4:F12A=C8", "D4:F12A=48"}));
    EXPECT_EQ(board.demod.reg(0xF12A), 0x48);
}

TEST(TunerInit, FailedRepeaterWriteEndsAtOnce) {
    Board board(0xD4);
    board.demod.acknowledgeNothing = true;
    EXPECT_FALSE(frontend::WriteTunerRegister(board.master, 0xD4, 0xC0, 1, 0xE1));
    EXPECT_EQ(board.lib.addressBytes(0xC0), 0);
}

TEST(TunerInit, CoarseTimerCountsAsFailureAndLeavesTheRepeaterOn) {
    Board board(0xD4);
    board.master.HasPerfCounter = false;
    EXPECT_FALSE(frontend::WriteTunerRegister(board.master, 0xD4, 0xC0, 1, 0xE1));
    EXPECT_EQ(board.demod.reg(0xF12A), 0xC8);
    EXPECT_TRUE(board.tuner.written.empty());
}

TEST(TunerReadBack, ReadsTwelveBytesThroughTheEardatekDemodulatorWhateverIsFitted) {
    Board board(0xD4);
    fake::RegisterChip sharp(0xD0);  // a second demodulator that must not be used
    board.lib.slaves.push_back(&sharp);
    for (std::size_t i = 0; i < 12; ++i) board.tuner.regs[i] = static_cast<std::uint8_t>(0xA0 + i);
    std::array<std::uint8_t, 12> buffer{};
    ASSERT_TRUE(frontend::ReadTunerRegisters(board.master, 0xC0, buffer));
    for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(buffer[i], 0xA0 + i) << i;
    EXPECT_EQ(completedWrites(board.lib), (std::vector<std::string>{"D4:F12A=C8", "D4:F12A=48"}));
    EXPECT_TRUE(sharp.written.empty());
    // One read transaction: the read address and twelve bytes, no register phase.
    int reads = 0;
    for (const auto& t : board.lib.transactions) {
        if (!t.written.empty() && t.written[0] == 0xC1) {
            ++reads;
            EXPECT_EQ(t.written.size(), 1u);
            EXPECT_EQ(t.bytesRead, 12);
        }
    }
    EXPECT_EQ(reads, 1);
}

TEST(TunerReadBack, BytesThatNeverArriveGiveUpAfterElevenAttempts) {
    Board board(0xD4);
    board.lib.answerReads = false;
    std::array<std::uint8_t, 12> buffer{};
    EXPECT_FALSE(frontend::ReadTunerRegisters(board.master, 0xC0, buffer));
    EXPECT_EQ(board.lib.addressBytes(0xC1), 11);
    EXPECT_EQ(board.demod.reg(0xF12A), 0x48);
}

}  // namespace
