#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "sim/ft2232h_board.h"
#include "support/test_support.h"

using namespace usb;
using sim::Ft2232hBoard;
using sim::parseCallFault;
using testing_support::FakeClock;

TEST(CallFaultParsing, AcceptsTheDocumentedFormsAndRejectsTheRest) {
    auto f = parseCallFault("FT_Open:1=2");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->call, "FT_Open");
    EXPECT_EQ(f->index, 1);
    EXPECT_EQ(f->status, 2u);
    EXPECT_EQ(f->fromCall, 1u);

    f = parseCallFault("FT_GetQueueStatus=4@50");
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->index);
    EXPECT_EQ(f->fromCall, 50u);

    for (const char* bad : {"", "FT_Open", "=2", "Open=2", "FT_Open:x=2", "FT_Open:1=",
                            "FT_Open=2@0", "FT_Open=2@", "FT_Open:7=2", "FT_Open=-1"})
        EXPECT_FALSE(parseCallFault(bad)) << bad;
}

TEST(SimulatedBoard, ListsTwoChannelsWithVendorStyleNames) {
    FakeClock clock;
    Ft2232hBoard board(clock);
    std::uint32_t count = 0;
    ASSERT_EQ(board.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 2u);
    char serial[16];
    char description[64];
    ASSERT_EQ(board.FT_ListDevices(reinterpret_cast<void*>(1), serial,
                                   FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(serial[std::strlen(serial) - 1], 'B');
    ASSERT_EQ(board.FT_ListDevices(reinterpret_cast<void*>(0), description,
                                   FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION), FT_OK);
    EXPECT_STREQ(description, "Dual RS232-HS A");
    EXPECT_EQ(board.FT_ListDevices(reinterpret_cast<void*>(2), serial,
                                   FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_DEVICE_NOT_FOUND);

    board.setDeviceCount(1);
    FT_HANDLE h = 0;
    EXPECT_EQ(board.FT_Open(1, &h), FT_DEVICE_NOT_FOUND);
}

TEST(SimulatedBoard, HandlesBehaveLikeTheDriversOnes) {
    FakeClock clock;
    Ft2232hBoard board(clock);
    FT_HANDLE a = 0;
    FT_HANDLE again = 0;
    ASSERT_EQ(board.FT_Open(0, &a), FT_OK);
    EXPECT_NE(a, 0u);
    EXPECT_EQ(board.FT_Open(0, &again), FT_DEVICE_NOT_OPENED);  // one opener at a time
    EXPECT_EQ(board.FT_Close(a), FT_OK);
    EXPECT_EQ(board.FT_Close(a), FT_INVALID_HANDLE);             // stale handle
    std::uint32_t q = 0;
    EXPECT_EQ(board.FT_GetQueueStatus(a, &q), FT_INVALID_HANDLE);
    ASSERT_EQ(board.FT_Open(0, &again), FT_OK);
    EXPECT_NE(again, a);  // a new open never revives an old handle

    std::uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char sn[16], desc[64];
    FT_HANDLE shown = 0;
    ASSERT_EQ(board.FT_GetDeviceInfoDetail(0, &flags, &type, &id, &loc, sn, desc, &shown), FT_OK);
    EXPECT_EQ(flags & 1u, 1u);
    EXPECT_EQ(type, FT_DEVICE_2232H);
    EXPECT_EQ(id, 0x04036010u);
    EXPECT_EQ(shown, again);
}

TEST(SimulatedBoard, InjectedStatusStartsAtTheNthMatchingCall) {
    FakeClock clock;
    Ft2232hBoard board(clock);
    board.addFault(*parseCallFault("FT_GetQueueStatus:1=4@3"));
    FT_HANDLE a = 0, b = 0;
    board.FT_Open(0, &a);
    board.FT_Open(1, &b);
    std::uint32_t q = 0;
    EXPECT_EQ(board.FT_GetQueueStatus(a, &q), FT_OK);  // channel A is not concerned
    EXPECT_EQ(board.FT_GetQueueStatus(a, &q), FT_OK);
    EXPECT_EQ(board.FT_GetQueueStatus(b, &q), FT_OK);
    EXPECT_EQ(board.FT_GetQueueStatus(b, &q), FT_OK);
    EXPECT_EQ(board.FT_GetQueueStatus(b, &q), FT_IO_ERROR);
    EXPECT_EQ(board.FT_GetQueueStatus(b, &q), FT_IO_ERROR);
}

namespace {

// Produces one byte every 10 ms of board time.
class Trickle : public sim::ChannelDevice {
public:
    explicit Trickle(FakeClock& clock) : clock_(clock) {}
    void write(const std::uint8_t*, std::size_t) override {}
    std::size_t available() override { return std::size_t(clock_.nowUs / 10000) - taken_; }
    std::size_t read(std::uint8_t* dst, std::size_t n) override {
        const std::size_t k = std::min(n, available());
        std::memset(dst, 0x47, k);
        taken_ += k;
        return k;
    }

private:
    FakeClock& clock_;
    std::size_t taken_ = 0;
};

}  // namespace

TEST(SimulatedBoard, ReadReturnsAtTheCountOrTheTimeOut) {
    FakeClock clock;
    Ft2232hBoard board(clock);
    board.setChannelDevice(1, std::make_unique<Trickle>(clock));
    FT_HANDLE b = 0;
    board.FT_Open(1, &b);
    std::uint8_t buf[1316];
    std::uint32_t got = 0;

    ASSERT_EQ(board.FT_Read(b, buf, 5, &got), FT_OK);  // time-out 0: what is there
    EXPECT_EQ(got, 0u);

    board.FT_SetTimeouts(b, 100, 100);
    ASSERT_EQ(board.FT_Read(b, buf, 5, &got), FT_OK);
    EXPECT_EQ(got, 5u);
    EXPECT_LE(clock.nowUs, 60'000);

    const std::int64_t before = clock.nowUs;
    ASSERT_EQ(board.FT_Read(b, buf, 1316, &got), FT_OK);
    EXPECT_GE(clock.nowUs - before, 100'000);
    EXPECT_GE(got, 9u);
    EXPECT_LE(got, 11u);
}
