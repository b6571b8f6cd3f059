#include "platform/dynamic_d2xx.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/backends.h"

namespace {

using namespace usb;
using platform::DynamicD2xx;

struct FakeState {
    char lastCall[32];
    unsigned args[4];
    unsigned char written[64];
    unsigned writtenCount;
};

class DynamicD2xxTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        lib = DynamicD2xx::load(FAKE_FTD2XX_PATH, &error);
        ASSERT_TRUE(lib) << error;
        // Same path, same loaded copy: its state is the one the calls change.
        self = dlopen(FAKE_FTD2XX_PATH, RTLD_NOW);
        ASSERT_TRUE(self);
        auto get = reinterpret_cast<FakeState* (*)()>(dlsym(self, "fake_ftd2xx_state"));
        ASSERT_TRUE(get);
        state = get();
    }
    void TearDown() override {
        if (self) dlclose(self);
    }
    std::string last() const { return state->lastCall; }

    std::unique_ptr<DynamicD2xx> lib;
    void* self = nullptr;
    FakeState* state = nullptr;
};

TEST_F(DynamicD2xxTest, ListingAndOpeningPassThrough) {
    std::uint32_t n = 0;
    ASSERT_EQ(lib->FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(n, 2u);
    char sn[16] = {};
    ASSERT_EQ(lib->FT_ListDevices(reinterpret_cast<void*>(std::uintptr_t{1}), sn,
                                  FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_STREQ(sn, "FAKE1B");
    EXPECT_EQ(state->args[0], FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);

    FT_HANDLE h = 0;
    ASSERT_EQ(lib->FT_Open(0, &h), FT_OK);
    // A 64-bit pointer survives the trip through our handle type.
    EXPECT_EQ(h, FT_HANDLE{0x7f00c0de1234});
    EXPECT_EQ(lib->FT_Open(5, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(state->args[0], 5u);
    EXPECT_EQ(lib->FT_Close(h), FT_OK);
    EXPECT_EQ(last(), "FT_Close");
    EXPECT_EQ(state->args[0], 1u);  // the library saw its own handle
}

TEST_F(DynamicD2xxTest, DataAndSetupCallsPassThrough) {
    FT_HANDLE h = 0;
    ASSERT_EQ(lib->FT_Open(0, &h), FT_OK);

    std::uint8_t buf[8] = {};
    std::uint32_t n = 0;
    ASSERT_EQ(lib->FT_Read(h, buf, 3, &n), FT_OK);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(buf[2], 3);
    const std::uint8_t cmd[] = {0x80, 0x13, 0x87};
    ASSERT_EQ(lib->FT_Write(h, cmd, 3, &n), FT_OK);
    EXPECT_EQ(state->writtenCount, 3u);
    EXPECT_EQ(std::memcmp(state->written, cmd, 3), 0);

    ASSERT_EQ(lib->FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 1316u);
    EXPECT_EQ(lib->FT_GetQueueStatus(0x99, &n), FT_IO_ERROR);  // statuses come back unchanged

    ASSERT_EQ(lib->FT_SetTimeouts(h, 100, 1000), FT_OK);
    EXPECT_EQ(last(), "FT_SetTimeouts");
    EXPECT_EQ(state->args[1], 100u);
    EXPECT_EQ(state->args[2], 1000u);
    ASSERT_EQ(lib->FT_Purge(h, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(state->args[1], FT_PURGE_TX);
    ASSERT_EQ(lib->FT_SetLatencyTimer(h, 1), FT_OK);
    EXPECT_EQ(last(), "FT_SetLatencyTimer");
    EXPECT_EQ(state->args[1], 1u);
    ASSERT_EQ(lib->FT_SetBitMode(h, 0x0B, 2), FT_OK);
    EXPECT_EQ(state->args[1], 0x0Bu);
    EXPECT_EQ(state->args[2], 2u);
    ASSERT_EQ(lib->FT_SetUSBParameters(h, 64, 128), FT_OK);
    EXPECT_EQ(state->args[2], 128u);
    ASSERT_EQ(lib->FT_StopInTask(h), FT_OK);
    EXPECT_EQ(last(), "FT_StopInTask");
    ASSERT_EQ(lib->FT_RestartInTask(h), FT_OK);
    EXPECT_EQ(last(), "FT_RestartInTask");
    ASSERT_EQ(lib->FT_ResetDevice(h), FT_OK);
    EXPECT_EQ(last(), "FT_ResetDevice");
}

TEST_F(DynamicD2xxTest, DeviceInfoDetailPassesThrough) {
    std::uint32_t count = 0, flags = 0, type = 0, id = 0, loc = 0;
    ASSERT_EQ(lib->FT_CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 2u);
    char sn[16], desc[64];
    FT_HANDLE h = 0;
    ASSERT_EQ(lib->FT_GetDeviceInfoDetail(1, &flags, &type, &id, &loc, sn, desc, &h), FT_OK);
    EXPECT_EQ(state->args[0], 1u);
    EXPECT_EQ(flags, 3u);
    EXPECT_EQ(type, FT_DEVICE_2232H);
    EXPECT_EQ(id, 0x04036010u);
    EXPECT_EQ(loc, 0x2111u);
    EXPECT_STREQ(sn, "FAKE1A");
    EXPECT_STREQ(desc, "Dual RS232-HS A");
    EXPECT_EQ(h, FT_HANDLE{0x7f00c0de1234});
}

TEST(DynamicD2xxLoad, MissingLibraryOrSymbolIsAClearError) {
    std::string error;
    EXPECT_FALSE(DynamicD2xx::load("libftd2xx-not-here.so", &error));
    EXPECT_EQ(error.rfind("libftd2xx-not-here.so not found: ", 0), 0u) << error;
    EXPECT_GT(error.size(), std::strlen("libftd2xx-not-here.so not found: "));

    error.clear();
    EXPECT_FALSE(DynamicD2xx::load(FAKE_FTD2XX_INCOMPLETE_PATH, &error));
    EXPECT_NE(error.find("lacks FT_RestartInTask"), std::string::npos) << error;
}

TEST(DynamicD2xxLoad, BackendNameD2xxWithoutTheVendorLibrary) {
    // The vendor library is not installed on the build machines.
    if (void* vendor = dlopen("libftd2xx.so", RTLD_NOW)) {
        dlclose(vendor);
        GTEST_SKIP() << "libftd2xx.so is installed here";
    }
    std::string error;
    EXPECT_FALSE(platform::makeRealBackend("d2xx", &error));
    EXPECT_EQ(error.rfind("libftd2xx.so not found: ", 0), 0u) << error;
}

}  // namespace
