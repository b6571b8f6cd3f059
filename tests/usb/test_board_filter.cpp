// One board out of several: the boards found among the devices' serial
// numbers, and the filter that shows the program only the chosen board's
// two channels, over a rack of simulated boards.
#include <gtest/gtest.h>

#include "sim/board_rack.h"
#include "support/test_support.h"
#include "usb/board_filter.h"

using namespace usb;

namespace {

std::string serialAt(D2xxLibrary& lib, std::uint32_t index) {
    char buffer[16] = {};
    if (lib.FT_ListDevices(reinterpret_cast<void*>(static_cast<std::uintptr_t>(index)), buffer,
                           FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) != FT_OK)
        return "(failed)";
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

// Board 1 with its two channels, board 2 with an unrelated adapter after them.
std::unique_ptr<sim::BoardRack> rack(testing_support::FakeClock& clock) {
    std::vector<std::unique_ptr<sim::Ft2232hBoard>> boards;
    for (int i = 0; i < 2; ++i) {
        auto b = std::make_unique<sim::Ft2232hBoard>(clock);
        b->setSerial("VB2232H" + std::to_string(i + 1));
        b->setFirstHandle(0x1000 + static_cast<FT_HANDLE>(i) * 0x100000);
        b->setDeviceCount(i == 0 ? 2 : 3);
        boards.push_back(std::move(b));
    }
    return std::make_unique<sim::BoardRack>(std::move(boards));
}

}  // namespace

TEST(BoardSerials, PairsOfChannelsAAndBAreBoards) {
    EXPECT_EQ(BoardSerials({"VB1A", "VB1B", "A50285BI", "VB2B", "VB2A"}),
              (std::vector<std::string>{"VB1", "VB2"}));
    // A channel A without its B, a failed query, a single-channel adapter
    // and a blank EEPROM's bare "A"/"B" name no board one could choose.
    EXPECT_TRUE(BoardSerials({"VB3A", "", "FT232RA1", "A", "B"}).empty());
    EXPECT_EQ(BoardSerials({"VB1A", "VB1B", "VB1A", "VB1B"}), (std::vector<std::string>{"VB1"}));
}

TEST(BoardRack, ListsEveryBoardsDevicesAndRoutesHandlesToTheirOwner) {
    testing_support::FakeClock clock;
    auto r = rack(clock);
    EXPECT_EQ(DeviceSerials(*r),
              (std::vector<std::string>{"VB2232H1A", "VB2232H1B", "VB2232H2A", "VB2232H2B", "A50285BI"}));
    FT_HANDLE a = 0, b = 0;
    ASSERT_EQ(r->FT_Open(1, &a), FT_OK);
    ASSERT_EQ(r->FT_Open(2, &b), FT_OK);
    EXPECT_NE(a, b);
    EXPECT_TRUE(r->board(0).isOpen(1));
    EXPECT_TRUE(r->board(1).isOpen(0));
    EXPECT_EQ(r->FT_Close(b), FT_OK);
    EXPECT_FALSE(r->board(1).isOpen(0));
    EXPECT_EQ(r->FT_Close(b), FT_INVALID_HANDLE);
    EXPECT_EQ(r->FT_Open(5, &b), FT_DEVICE_NOT_FOUND);
    std::uint32_t n = 0;
    EXPECT_EQ(r->FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, 5u);
}

TEST(BoardFilter, ShowsOnlyTheChosenBoardsChannelsAFirst) {
    testing_support::FakeClock clock;
    auto r = rack(clock);
    BoardFilter filter(*r, "VB2232H2");
    std::uint32_t count = 0;
    ASSERT_EQ(filter.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_TRUE(filter.found());
    EXPECT_EQ(serialAt(filter, 0), "VB2232H2A");
    EXPECT_EQ(serialAt(filter, 1), "VB2232H2B");
    EXPECT_EQ(serialAt(filter, 2), "(failed)");

    FT_HANDLE a = 0, b = 0;
    ASSERT_EQ(filter.FT_Open(0, &a), FT_OK);
    ASSERT_EQ(filter.FT_Open(1, &b), FT_OK);
    EXPECT_TRUE(r->board(1).isOpen(0));
    EXPECT_TRUE(r->board(1).isOpen(1));
    EXPECT_FALSE(r->board(0).isOpen(0));
    EXPECT_EQ(filter.FT_Open(2, &a), FT_DEVICE_NOT_FOUND);

    std::uint32_t n = 0;
    ASSERT_EQ(filter.FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, 2u);
    std::uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char serial[16] = {}, description[64] = {};
    FT_HANDLE h = 0;
    ASSERT_EQ(filter.FT_GetDeviceInfoDetail(1, &flags, &type, &id, &loc, serial, description, &h), FT_OK);
    EXPECT_STREQ(serial, "VB2232H2B");
    EXPECT_EQ(h, b);

    EXPECT_EQ(filter.FT_Close(b), FT_OK);
    EXPECT_FALSE(r->board(1).isOpen(1));
}

TEST(BoardFilter, AnAbsentBoardShowsNoDevice) {
    testing_support::FakeClock clock;
    auto r = rack(clock);
    BoardFilter filter(*r, "VB2232H");  // a prefix of both is neither
    std::uint32_t count = 9;
    ASSERT_EQ(filter.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(filter.found());
    FT_HANDLE h = 0;
    EXPECT_EQ(filter.FT_Open(0, &h), FT_DEVICE_NOT_FOUND);
}
