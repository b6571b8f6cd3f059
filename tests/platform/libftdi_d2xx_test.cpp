#include "platform/libftdi_d2xx.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>

#include "fake_ftdi_api.h"
#include "platform/backends.h"

namespace {

using namespace usb;
using platform::LibFtdiD2xx;
using Ms = std::chrono::milliseconds;

void* byIndex(std::uint32_t i) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)); }

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t first = 0) {
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

// Waits, bounded, until the streamed channel's queue reaches `want`.
std::uint32_t queueReaching(D2xxLibrary& lib, FT_HANDLE h, std::uint32_t want,
                            FT_STATUS* status = nullptr) {
    std::uint32_t q = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    FT_STATUS s = FT_OK;
    while (std::chrono::steady_clock::now() < until) {
        s = lib.FT_GetQueueStatus(h, &q);
        if (s != FT_OK || q >= want) break;
        std::this_thread::sleep_for(Ms(1));
    }
    if (status) *status = s;
    return q;
}

class LibFtdiTest : public ::testing::Test {
protected:
    LibFtdiTest() : bus(std::make_shared<fake::Bus>()) {}

    LibFtdiD2xx& lib() {
        if (!lib_)
            lib_ = std::make_unique<LibFtdiD2xx>(std::make_unique<fake::Api>(bus),
                                                 [this](const std::string& note) { notes.push_back(note); });
        return *lib_;
    }
    std::uint32_t count() {
        std::uint32_t n = 99;
        EXPECT_EQ(lib().FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
        return n;
    }
    std::string serial(std::uint32_t i) {
        char buf[16];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(lib().FT_ListDevices(byIndex(i), buf, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
        return std::string(buf, strnlen(buf, sizeof buf));
    }
    std::string description(std::uint32_t i) {
        char buf[64];
        EXPECT_EQ(lib().FT_ListDevices(byIndex(i), buf, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION), FT_OK);
        return std::string(buf, strnlen(buf, sizeof buf));
    }
    FT_HANDLE open(int index) {
        FT_HANDLE h = 0;
        EXPECT_EQ(lib().FT_Open(index, &h), FT_OK);
        EXPECT_NE(h, 0u);
        return h;
    }

    std::shared_ptr<fake::Bus> bus;
    std::unique_ptr<LibFtdiD2xx> lib_;
    std::vector<std::string> notes;  // what the backend said beyond statuses
};

// --- listing -------------------------------------------------------------

TEST_F(LibFtdiTest, OneFt2232hIsTwoDevicesNamedAThenB) {
    bus->devices = {fake::ft2232h(1, 7, {2}, "VB00042")};
    ASSERT_EQ(count(), 2u);
    EXPECT_EQ(serial(0), "VB00042A");
    EXPECT_EQ(serial(1), "VB00042B");
    EXPECT_EQ(description(0), "Vesper DVB-S2 bridge A");
    EXPECT_EQ(description(1), "Vesper DVB-S2 bridge B");

    open(1);
    open(0);
    const std::vector<std::pair<int, int>> expected{{7, 1}, {7, 0}};
    EXPECT_EQ(bus->openCalls, expected);
}

TEST_F(LibFtdiTest, DevicesAreOrderedByBusAndPortThenInterface) {
    // Listed by libusb in an arbitrary order; a FT232R counts once.
    bus->devices = {fake::ft2232h(2, 9, {1, 3}, "SECOND"), fake::ft232r(1, 4, {4}),
                    fake::ft2232h(1, 3, {2}, "FIRST")};
    ASSERT_EQ(count(), 5u);
    EXPECT_EQ(serial(0), "FIRSTA");
    EXPECT_EQ(serial(1), "FIRSTB");
    EXPECT_EQ(serial(2), "A50285BI");
    EXPECT_EQ(description(2), "FT232R USB UART");
    EXPECT_EQ(serial(3), "SECONDA");
    EXPECT_EQ(serial(4), "SECONDB");

    open(3);
    open(2);
    const std::vector<std::pair<int, int>> expected{{9, 0}, {4, 0}};
    EXPECT_EQ(bus->openCalls, expected);
}

TEST_F(LibFtdiTest, BlankEepromAndLongStrings) {
    auto blank = fake::ft2232h(1, 3, {1}, "", "");
    auto verbose = fake::ft2232h(1, 4, {2}, "SERIAL-NUMBER-TOO-LONG", std::string(80, 'd'));
    auto unreadable = fake::ft2232h(1, 5, {3}, "", "");
    unreadable.stringsRead = false;  // no permission to open it
    bus->devices = {blank, verbose, unreadable};
    ASSERT_EQ(count(), 6u);

    EXPECT_EQ(serial(0), "");
    EXPECT_EQ(description(0), "Dual RS232-HS A");
    EXPECT_EQ(description(1), "Dual RS232-HS B");
    // Cut so that the NUL still fits.
    EXPECT_EQ(serial(2), "SERIAL-NUMBER-T");
    EXPECT_EQ(description(3).size(), 63u);
    EXPECT_EQ(description(4), "");
}

TEST_F(LibFtdiTest, ListingAnIndexBeyondTheBusIsNotFound) {
    bus->devices = {fake::ft2232h(1, 3, {1}, "S")};
    char buf[64];
    EXPECT_EQ(lib().FT_ListDevices(byIndex(2), buf, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
              FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(lib().FT_ListDevices(byIndex(0), buf, FT_LIST_BY_INDEX), FT_INVALID_PARAMETER);
}

TEST_F(LibFtdiTest, CountFollowsTheBusOnEveryNumberQuery) {
    EXPECT_EQ(count(), 0u);
    bus->devices = {fake::ft2232h(1, 3, {1}, "S")};
    EXPECT_EQ(count(), 2u);
    std::uint32_t n = 0;
    bus->devices.clear();
    EXPECT_EQ(lib().FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, 0u);
}

TEST_F(LibFtdiTest, NoUsbSubsystemMeansNoDevicesNotAnError) {
    bus->devices = {fake::ft2232h(1, 3, {1}, "S")};
    bus->findResult = LIBUSB_ERROR_NOT_SUPPORTED;
    EXPECT_EQ(count(), 0u);
    std::uint32_t n = 99;
    EXPECT_EQ(lib().FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, 0u);
    FT_HANDLE h = 0;
    EXPECT_EQ(lib().FT_Open(0, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, 0u);
}

TEST_F(LibFtdiTest, DeviceInfoDetail) {
    bus->devices = {fake::ft2232h(2, 5, {1, 1}, "VB7"), fake::ft232r(3, 6, {2})};
    std::uint32_t n = 0;
    ASSERT_EQ(lib().FT_CreateDeviceInfoList(&n), FT_OK);
    ASSERT_EQ(n, 3u);
    const FT_HANDLE b = open(1);

    std::uint32_t flags = 9, type = 9, id = 9, loc = 9;
    char sn[16], desc[64];
    FT_HANDLE h = 9;
    ASSERT_EQ(lib().FT_GetDeviceInfoDetail(0, &flags, &type, &id, &loc, sn, desc, &h), FT_OK);
    EXPECT_EQ(flags, 2u);  // high speed, not open
    EXPECT_EQ(type, FT_DEVICE_2232H);
    EXPECT_EQ(id, 0x04036010u);
    EXPECT_EQ(loc, 0x2111u);
    EXPECT_STREQ(sn, "VB7A");
    EXPECT_STREQ(desc, "Vesper DVB-S2 bridge A");
    EXPECT_EQ(h, 0u);

    ASSERT_EQ(lib().FT_GetDeviceInfoDetail(1, &flags, &type, &id, &loc, sn, desc, &h), FT_OK);
    EXPECT_EQ(flags, 3u);
    EXPECT_EQ(loc, 0x2112u);
    EXPECT_EQ(h, b);

    ASSERT_EQ(lib().FT_GetDeviceInfoDetail(2, &flags, &type, &id, &loc, sn, desc, &h), FT_OK);
    EXPECT_EQ(flags, 0u);  // full speed
    EXPECT_EQ(type, 5u);
    EXPECT_EQ(id, 0x04036001u);
    EXPECT_EQ(loc, 0x32u);  // single channel: no interface digit

    EXPECT_EQ(lib().FT_Close(b), FT_OK);
    ASSERT_EQ(lib().FT_GetDeviceInfoDetail(1, &flags, nullptr, nullptr, nullptr, nullptr, nullptr, &h), FT_OK);
    EXPECT_EQ(flags, 2u);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(lib().FT_GetDeviceInfoDetail(3, &flags, &type, &id, &loc, sn, desc, &h), FT_DEVICE_NOT_FOUND);
}

// --- opening and status mapping ------------------------------------------

TEST_F(LibFtdiTest, OpenFailuresMapToD2xxStatuses) {
    bus->devices = {fake::ft2232h(1, 3, {1}, "S")};
    bus->openResult[{3, 0}] = -4;  // libusb_open refused: permissions
    bus->openResult[{3, 1}] = -5;  // interface claimed elsewhere
    FT_HANDLE h = 0;
    EXPECT_EQ(lib().FT_Open(0, &h), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(lib().FT_Open(1, &h), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(lib().FT_Open(2, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(lib().FT_Open(-1, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(lib().FT_Open(0, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(h, 0u);
}

TEST_F(LibFtdiTest, AChannelHasOneOpenerAndCanBeReopenedAfterClose) {
    bus->devices = {fake::ft2232h(1, 3, {1}, "S")};
    const FT_HANDLE a = open(0);
    FT_HANDLE again = 0;
    EXPECT_EQ(lib().FT_Open(0, &again), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(lib().FT_Close(a), FT_OK);
    EXPECT_FALSE(bus->with(3, 0, [](auto& s) { return s.open; }));
    EXPECT_EQ(lib().FT_Close(a), FT_INVALID_HANDLE);
    const FT_HANDLE b = open(0);
    EXPECT_NE(a, b);  // a stale handle never names the new opening
}

TEST_F(LibFtdiTest, ReplugInvalidatesTheListedAddress) {
    bus->devices = {fake::ft2232h(1, 3, {1}, "S")};
    ASSERT_EQ(count(), 2u);
    bus->devices = {fake::ft2232h(1, 8, {1}, "S")};  // same socket, new address
    FT_HANDLE h = 0;
    EXPECT_EQ(lib().FT_Open(0, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(lib().FT_Open(0, &h), FT_OK);  // listed again
}

TEST(StatusMapping, TransferErrors) {
    EXPECT_EQ(platform::statusForTransferError(LIBUSB_ERROR_IO), FT_IO_ERROR);
    EXPECT_EQ(platform::statusForTransferError(LIBUSB_ERROR_NO_DEVICE), FT_IO_ERROR);
    EXPECT_EQ(platform::statusForTransferError(LIBUSB_ERROR_PIPE), FT_IO_ERROR);
    EXPECT_EQ(platform::statusForTransferError(-666), FT_IO_ERROR);  // libftdi: no usb handle
    EXPECT_EQ(platform::statusForTransferError(LIBUSB_ERROR_NO_MEM), FT_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(platform::statusForTransferError(LIBUSB_ERROR_INVALID_PARAM), FT_INVALID_PARAMETER);
    EXPECT_EQ(platform::statusForTransferError(LIBUSB_ERROR_ACCESS), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(platform::statusForTransferError(LIBUSB_ERROR_OTHER), FT_OTHER_ERROR);
    EXPECT_EQ(platform::statusForOpenError(-3), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(platform::statusForOpenError(-8), FT_DEVICE_NOT_OPENED);
}

TEST_F(LibFtdiTest, EveryHandleCallRejectsAnUnknownHandle) {
    D2xxLibrary& l = lib();
    const FT_HANDLE bad = 0x4242;
    std::uint8_t buf[4];
    std::uint32_t n = 0;
    EXPECT_EQ(l.FT_Close(0), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_Read(bad, buf, 4, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_Write(bad, buf, 4, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_ResetDevice(bad), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_Purge(bad, FT_PURGE_RX), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_SetTimeouts(bad, 0, 0), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_GetQueueStatus(bad, &n), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_StopInTask(bad), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_RestartInTask(bad), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_SetLatencyTimer(bad, 1), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_SetBitMode(bad, 0, 2), FT_INVALID_HANDLE);
    EXPECT_EQ(l.FT_SetUSBParameters(bad, 64, 64), FT_INVALID_HANDLE);
}

// --- channel A: polled ---------------------------------------------------

class ChannelATest : public LibFtdiTest {
protected:
    void SetUp() override {
        bus->devices = {fake::ft2232h(1, 3, {1}, "S")};
        a = open(0);
    }
    FT_HANDLE a = 0;
};

TEST_F(ChannelATest, QueueStatusCountsWaitingBytesWithoutConsumingThem) {
    bus->feed(3, 0, bytes(5));
    std::uint32_t q = 0;
    ASSERT_EQ(lib().FT_GetQueueStatus(a, &q), FT_OK);
    EXPECT_EQ(q, 5u);
    bus->feed(3, 0, bytes(3, 100));
    ASSERT_EQ(lib().FT_GetQueueStatus(a, &q), FT_OK);
    EXPECT_EQ(q, 8u);

    std::uint8_t buf[16] = {};
    std::uint32_t got = 0;
    ASSERT_EQ(lib().FT_Read(a, buf, 6, &got), FT_OK);
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(buf[4], 4);
    EXPECT_EQ(buf[5], 100);
    ASSERT_EQ(lib().FT_GetQueueStatus(a, &q), FT_OK);
    EXPECT_EQ(q, 2u);
    ASSERT_EQ(lib().FT_Read(a, buf, 2, &got), FT_OK);
    EXPECT_EQ(buf[0], 101);  // in the order the chip sent them
    EXPECT_EQ(buf[1], 102);
}

TEST_F(ChannelATest, ZeroTimeoutReadReturnsWhatIsThereAtOnce) {
    bus->feed(3, 0, bytes(2));
    std::uint8_t buf[8];
    std::uint32_t got = 99;
    ASSERT_EQ(lib().FT_Read(a, buf, 8, &got), FT_OK);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(bus->with(3, 0, [](auto& s) { return s.readCalls; }), 1);
}

TEST_F(ChannelATest, ReadWaitsForDataUntilItsTimeout) {
    ASSERT_EQ(lib().FT_SetTimeouts(a, 60, 1000), FT_OK);
    bus->with(3, 0, [](auto& s) { return s.onReadCall[3] = bytes(4, 10); });

    // Bytes that arrive while the read waits complete it.
    std::uint8_t buf[8];
    std::uint32_t got = 0;
    ASSERT_EQ(lib().FT_Read(a, buf, 4, &got), FT_OK);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(buf[0], 10);

    // Too few: the read gives up after its time-out with what came.
    bus->feed(3, 0, bytes(3));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(lib().FT_Read(a, buf, 8, &got), FT_OK);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(got, 3u);
    EXPECT_GE(elapsed, Ms(60));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(ChannelATest, PurgeDropsBufferedAndChipData) {
    bus->feed(3, 0, bytes(7));
    std::uint32_t q = 0;
    ASSERT_EQ(lib().FT_GetQueueStatus(a, &q), FT_OK);
    ASSERT_EQ(q, 7u);
    ASSERT_EQ(lib().FT_Purge(a, FT_PURGE_RX), FT_OK);
    ASSERT_EQ(lib().FT_GetQueueStatus(a, &q), FT_OK);
    EXPECT_EQ(q, 0u);
    ASSERT_EQ(lib().FT_Purge(a, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(bus->with(3, 0, [](auto& s) { return std::make_pair(s.purgesRx, s.purgesTx); }),
              std::make_pair(1, 1));
    bus->with(3, 0, [](auto& s) { return s.controlError = -1; });
    EXPECT_EQ(lib().FT_Purge(a, FT_PURGE_RX), FT_IO_ERROR);
}

TEST_F(ChannelATest, StopInTaskLeavesDataInTheChip) {
    ASSERT_EQ(lib().FT_StopInTask(a), FT_OK);
    bus->feed(3, 0, bytes(4));
    std::uint32_t q = 9;
    ASSERT_EQ(lib().FT_GetQueueStatus(a, &q), FT_OK);
    EXPECT_EQ(q, 0u);
    ASSERT_EQ(lib().FT_RestartInTask(a), FT_OK);
    ASSERT_EQ(lib().FT_GetQueueStatus(a, &q), FT_OK);
    EXPECT_EQ(q, 4u);
}

TEST_F(ChannelATest, WriteReportsWhatWentOut) {
    const auto cmd = bytes(6, 0x80);
    std::uint32_t n = 0;
    ASSERT_EQ(lib().FT_Write(a, cmd.data(), 6, &n), FT_OK);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(bus->with(3, 0, [](auto& s) { return s.written; }), cmd);

    // A time-out is a short write, not an error.
    bus->with(3, 0, [](auto& s) { return s.writeError = LIBUSB_ERROR_TIMEOUT, s.writeAccepted = 2; });
    ASSERT_EQ(lib().FT_Write(a, cmd.data(), 6, &n), FT_OK);
    EXPECT_EQ(n, 2u);

    bus->with(3, 0, [](auto& s) { return s.writeError = LIBUSB_ERROR_PIPE, s.writeAccepted = -1; });
    EXPECT_EQ(lib().FT_Write(a, cmd.data(), 6, &n), FT_IO_ERROR);
    EXPECT_EQ(n, 0u);
}

TEST_F(ChannelATest, SetupCallsReachTheChip) {
    ASSERT_EQ(lib().FT_SetTimeouts(a, 0, 1000), FT_OK);
    ASSERT_EQ(lib().FT_SetUSBParameters(a, 64, 64), FT_OK);
    ASSERT_EQ(lib().FT_SetLatencyTimer(a, 1), FT_OK);
    ASSERT_EQ(lib().FT_SetBitMode(a, 0, 0), FT_OK);
    ASSERT_EQ(lib().FT_SetBitMode(a, 0, 2), FT_OK);
    ASSERT_EQ(lib().FT_ResetDevice(a), FT_OK);
    fake::ChannelState s = bus->with(3, 0, [](auto& st) { return st; });
    EXPECT_EQ(s.writeTimeout, 1000);
    EXPECT_EQ(s.readChunk, 512u);  // a high-speed packet must fit
    EXPECT_EQ(s.writeChunk, 64u);
    EXPECT_EQ(s.latency, 1);
    EXPECT_EQ(s.bitmode, 2);
    EXPECT_EQ(s.bitmask, 0);
    EXPECT_EQ(s.resets, 1);

    // A zero write time-out must not become libusb's "forever".
    ASSERT_EQ(lib().FT_SetTimeouts(a, 0, 0), FT_OK);
    EXPECT_GT(bus->with(3, 0, [](auto& st) { return st.writeTimeout; }), 0);

    EXPECT_EQ(lib().FT_SetLatencyTimer(a, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(lib().FT_SetUSBParameters(a, 100, 64), FT_INVALID_PARAMETER);
    EXPECT_EQ(lib().FT_SetUSBParameters(a, 0, 64), FT_INVALID_PARAMETER);
    bus->with(3, 0, [](auto& st) { return st.controlError = -1; });
    EXPECT_EQ(lib().FT_SetLatencyTimer(a, 1), FT_IO_ERROR);
    EXPECT_EQ(lib().FT_SetBitMode(a, 0, 2), FT_IO_ERROR);
}

TEST_F(ChannelATest, UnpluggedChannelStaysLostUntilAResetAnswers) {
    bus->with(3, 0, [](auto& s) { return s.readError = LIBUSB_ERROR_NO_DEVICE; });
    std::uint32_t q = 0;
    EXPECT_EQ(lib().FT_GetQueueStatus(a, &q), FT_IO_ERROR);
    bus->with(3, 0, [](auto& s) { return s.readError = 0; });
    EXPECT_EQ(lib().FT_GetQueueStatus(a, &q), FT_IO_ERROR);
    std::uint8_t b = 0;
    std::uint32_t n = 0;
    EXPECT_EQ(lib().FT_Write(a, &b, 1, &n), FT_IO_ERROR);
    ASSERT_EQ(lib().FT_ResetDevice(a), FT_OK);
    EXPECT_EQ(lib().FT_GetQueueStatus(a, &q), FT_OK);
}

TEST_F(ChannelATest, ReadTimeoutFromTheUsbStackIsNotAnError) {
    bus->with(3, 0, [](auto& s) { return s.readError = LIBUSB_ERROR_TIMEOUT; });
    std::uint32_t q = 9;
    EXPECT_EQ(lib().FT_GetQueueStatus(a, &q), FT_OK);
    EXPECT_EQ(q, 0u);
}

// --- channel B: streamed -------------------------------------------------

class ChannelBTest : public LibFtdiTest {
protected:
    void SetUp() override {
        bus->devices = {fake::ft2232h(1, 3, {1}, "S")};
        b = open(1);
        ASSERT_EQ(lib().FT_SetTimeouts(b, 100, 100), FT_OK);
    }
    FT_HANDLE b = 0;
};

TEST_F(ChannelBTest, StreamFillsTheQueueAndReadsTakeFromIt) {
    const auto ts = bytes(3 * 1316);
    bus->feed(3, 1, ts);
    ASSERT_EQ(queueReaching(lib(), b, 3 * 1316), 3u * 1316);

    std::vector<std::uint8_t> got(1316);
    std::uint32_t n = 0;
    for (int chunk = 0; chunk < 3; ++chunk) {
        ASSERT_EQ(lib().FT_Read(b, got.data(), 1316, &n), FT_OK);
        ASSERT_EQ(n, 1316u);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), ts.begin() + chunk * 1316));
    }
    // Nothing more: the read gives up after its 100 ms with nothing.
    ASSERT_EQ(lib().FT_Read(b, got.data(), 1316, &n), FT_OK);
    EXPECT_EQ(n, 0u);
}

TEST_F(ChannelBTest, ReadReturnsAsSoonAsTheCountArrives) {
    ASSERT_EQ(lib().FT_SetTimeouts(b, 20000, 100), FT_OK);
    std::thread producer([&] {
        std::this_thread::sleep_for(Ms(20));
        bus->feed(3, 1, bytes(1316));
    });
    std::vector<std::uint8_t> got(1316);
    std::uint32_t n = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lib().FT_Read(b, got.data(), 1316, &n), FT_OK);
    producer.join();
    EXPECT_EQ(n, 1316u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
}

TEST_F(ChannelBTest, PurgeDropsWhatTheStreamBuffered) {
    bus->feed(3, 1, bytes(2000));
    ASSERT_EQ(queueReaching(lib(), b, 2000), 2000u);
    ASSERT_EQ(lib().FT_Purge(b, FT_PURGE_RX), FT_OK);
    std::uint32_t q = 9;
    ASSERT_EQ(lib().FT_GetQueueStatus(b, &q), FT_OK);
    EXPECT_EQ(q, 0u);
    EXPECT_EQ(bus->with(3, 1, [](auto& s) { return s.purgesRx; }), 1);
    // The stream goes on after the purge.
    bus->feed(3, 1, bytes(10));
    EXPECT_EQ(queueReaching(lib(), b, 10), 10u);
}

TEST_F(ChannelBTest, StopInTaskStopsTheStreamUntilRestart) {
    ASSERT_EQ(lib().FT_StopInTask(b), FT_OK);
    // Wait until the reader has let go of its transfers.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (bus->with(3, 1, [](auto& s) { return s.streaming; }) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(Ms(1));
    ASSERT_FALSE(bus->with(3, 1, [](auto& s) { return s.streaming; }));

    bus->feed(3, 1, bytes(500));
    std::this_thread::sleep_for(Ms(30));
    std::uint32_t q = 9;
    ASSERT_EQ(lib().FT_GetQueueStatus(b, &q), FT_OK);
    EXPECT_EQ(q, 0u);
    EXPECT_EQ(bus->with(3, 1, [](auto& s) { return s.fromChip.size(); }), 500u);

    ASSERT_EQ(lib().FT_RestartInTask(b), FT_OK);
    EXPECT_EQ(queueReaching(lib(), b, 500), 500u);
}

TEST_F(ChannelBTest, UnplugMidStreamGivesIoErrorOnQueueStatusAndRead) {
    bus->feed(3, 1, bytes(100));
    ASSERT_EQ(queueReaching(lib(), b, 100), 100u);
    bus->with(3, 1, [](auto& s) { return s.streamError = LIBUSB_ERROR_NO_DEVICE; });

    FT_STATUS s = FT_OK;
    queueReaching(lib(), b, 0xFFFFFFFFu, &s);
    EXPECT_EQ(s, FT_IO_ERROR);
    std::uint8_t buf[16];
    std::uint32_t n = 99;
    EXPECT_EQ(lib().FT_Read(b, buf, 16, &n), FT_IO_ERROR);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(lib().FT_Close(b), FT_OK);  // closing a lost channel still works
}

TEST_F(ChannelBTest, CloseStopsTheReader) {
    bus->feed(3, 1, bytes(10));
    ASSERT_EQ(queueReaching(lib(), b, 10), 10u);  // the stream is running
    EXPECT_EQ(lib().FT_Close(b), FT_OK);
    const fake::ChannelState s = bus->with(3, 1, [](auto& st) { return st; });
    EXPECT_FALSE(s.open);
    EXPECT_FALSE(s.streaming);
    EXPECT_GE(s.streamStops, 1);
}

// Reads the USB stack does not give back after a cancel: a purge under them
// would let their data arrive after it, so it fails instead; closing says it.
TEST_F(ChannelBTest, ReadsStillOutFailThePurgeAndAreToldAtClose) {
    bus->feed(3, 1, bytes(10));
    ASSERT_EQ(queueReaching(lib(), b, 10), 10u);  // the stream is running
    bus->with(3, 1, [](auto& s) { return s.readsStuck = true; });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lib().FT_Purge(b, FT_PURGE_RX), FT_IO_ERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(bus->with(3, 1, [](auto& s) { return s.purgesRx; }), 0) << "purged under live reads";
    EXPECT_EQ(lib().FT_ResetDevice(b), FT_IO_ERROR);
    EXPECT_EQ(bus->with(3, 1, [](auto& s) { return s.resets; }), 0) << "reset under live reads";
    EXPECT_TRUE(notes.empty());

    // Once they are back, the purge goes through and the stream goes on.
    bus->with(3, 1, [](auto& s) { return s.readsStuck = false; });
    EXPECT_EQ(lib().FT_Purge(b, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(bus->with(3, 1, [](auto& s) { return s.purgesRx; }), 1);
    bus->feed(3, 1, bytes(10));
    EXPECT_EQ(queueReaching(lib(), b, 10), 10u);

    bus->with(3, 1, [](auto& s) { return s.readsStuck = true; });
    EXPECT_EQ(lib().FT_Close(b), FT_OK);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("channel B"), std::string::npos) << notes[0];
    EXPECT_NE(notes[0].find("left open"), std::string::npos) << notes[0];
}

// --- the real seam on this machine ---------------------------------------

TEST(RealLibFtdi, MachineWithoutABoardListsNoDevices) {
    std::string error;
    auto lib = platform::makeRealBackend("libftdi", &error);
    ASSERT_TRUE(lib) << error;
    std::uint32_t n = 99;
    ASSERT_EQ(lib->FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    if (n != 0) GTEST_SKIP() << "an FTDI device is attached to this machine";
    FT_HANDLE h = 0;
    EXPECT_EQ(lib->FT_Open(0, &h), FT_DEVICE_NOT_FOUND);
    ASSERT_EQ(lib->FT_CreateDeviceInfoList(&n), FT_OK);
    EXPECT_EQ(n, 0u);
}

TEST(RealBackends, UnknownNameIsRefused) {
    std::string error;
    EXPECT_FALSE(platform::makeRealBackend("ftdi", &error));
    EXPECT_NE(error.find("ftdi"), std::string::npos);
}

}  // namespace
