#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "support/test_support.h"
#include "usb/channel_layer.h"

using namespace usb;
using testing_support::RecordingDialogs;

namespace {

// A library whose every call returns the status the test sets for it and
// records what it was given.
class ScriptedLibrary : public D2xxLibrary {
public:
    std::map<std::string, FT_STATUS> status;
    std::vector<std::pair<std::string, FT_HANDLE>> handleCalls;
    std::string serial = "VB2232H1A";
    std::string description = "Dual RS232-HS A";
    bool fillSerialCompletely = false;
    std::uint32_t readFills = 0;      // bytes a read reports
    bool readTouchesCount = true;     // whether a failing read writes the count
    std::uint32_t lastReadRequest = 0;
    std::uint32_t openCounter = 0x100;

    FT_STATUS st(const std::string& call) { return status.count(call) ? status[call] : FT_OK; }
    FT_STATUS onHandle(const std::string& call, FT_HANDLE h) {
        handleCalls.emplace_back(call, h);
        return st(call);
    }

    FT_STATUS FT_ListDevices(void* a1, void* a2, std::uint32_t flags) override {
        if (const FT_STATUS s = st("FT_ListDevices")) return s;
        if (flags == FT_LIST_NUMBER_ONLY) {
            *static_cast<std::uint32_t*>(a1) = 2;
        } else if (flags == (FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER)) {
            if (fillSerialCompletely) std::memset(a2, 'S', 16);
            else std::strcpy(static_cast<char*>(a2), serial.c_str());
        } else {
            std::strcpy(static_cast<char*>(a2), description.c_str());
        }
        return FT_OK;
    }
    FT_STATUS FT_Open(int n, FT_HANDLE* h) override {
        if (const FT_STATUS s = st("FT_Open")) return s;
        *h = ++openCounter + FT_HANDLE(n);
        return FT_OK;
    }
    FT_STATUS FT_Close(FT_HANDLE h) override { return onHandle("FT_Close", h); }
    FT_STATUS FT_Read(FT_HANDLE h, void* b, std::uint32_t n, std::uint32_t* got) override {
        lastReadRequest = n;
        const FT_STATUS s = onHandle("FT_Read", h);
        if (s == FT_OK || readTouchesCount) {
            std::memset(b, 0x47, std::min(n, readFills));
            *got = readFills;
        }
        return s;
    }
    FT_STATUS FT_Write(FT_HANDLE h, const void*, std::uint32_t n, std::uint32_t* w) override {
        *w = n;
        return onHandle("FT_Write", h);
    }
    FT_STATUS FT_ResetDevice(FT_HANDLE h) override { return onHandle("FT_ResetDevice", h); }
    FT_STATUS FT_Purge(FT_HANDLE h, std::uint32_t) override { return onHandle("FT_Purge", h); }
    FT_STATUS FT_SetTimeouts(FT_HANDLE h, std::uint32_t, std::uint32_t) override { return onHandle("FT_SetTimeouts", h); }
    FT_STATUS FT_GetQueueStatus(FT_HANDLE h, std::uint32_t* q) override {
        *q = h == 0x101 ? 11 : 22;
        return onHandle("FT_GetQueueStatus", h);
    }
    FT_STATUS FT_StopInTask(FT_HANDLE h) override { return onHandle("FT_StopInTask", h); }
    FT_STATUS FT_RestartInTask(FT_HANDLE h) override { return onHandle("FT_RestartInTask", h); }
    FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* n) override { *n = 2; return st("FT_CreateDeviceInfoList"); }
    FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t, std::uint32_t* flags, std::uint32_t* type,
                                     std::uint32_t* id, std::uint32_t*, void* sn, void*,
                                     FT_HANDLE*) override {
        *flags = 3;
        *type = FT_DEVICE_2232H;
        *id = 0x04036010;
        std::strcpy(static_cast<char*>(sn), "X");
        return st("FT_GetDeviceInfoDetail");
    }
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, std::uint8_t) override { return onHandle("FT_SetLatencyTimer", h); }
    FT_STATUS FT_SetBitMode(FT_HANDLE h, std::uint8_t, std::uint8_t) override { return onHandle("FT_SetBitMode", h); }
    FT_STATUS FT_SetUSBParameters(FT_HANDLE h, std::uint32_t, std::uint32_t) override { return onHandle("FT_SetUSBParameters", h); }
};

struct ChannelLayerTest : ::testing::Test {
    ScriptedLibrary lib;
    RecordingDialogs dialogs;
    ChannelLayer layer{lib, dialogs};
};

}  // namespace

TEST(StatusText, EveryCodeHasItsTextAndUnknownCodesSayWhich) {
    EXPECT_EQ(FT_StatusText(0), "");
    EXPECT_EQ(FT_StatusText(2), " - Device not found...");
    EXPECT_EQ(FT_StatusText(8), " Device not opened for erase...");
    EXPECT_EQ(FT_StatusText(9), " Device not opened for write...");
    EXPECT_EQ(FT_StatusText(17), " - Other error ...");
    EXPECT_EQ(FT_StatusText(18), " - Unknown status 18...");
}

TEST_F(ChannelLayerTest, FailureShowsCaptionAndStatusTextOnlyWhileEnabled) {
    lib.status["FT_Open"] = FT_DEVICE_NOT_FOUND;
    EXPECT_EQ(layer.Open_USB_Device_A(), FT_DEVICE_NOT_FOUND);
    ASSERT_EQ(dialogs.errors.size(), 1u);
    EXPECT_EQ(dialogs.errors[0], "FT_OpenA - Device not found...");

    layer.ShowFTErrors = false;
    EXPECT_EQ(layer.Open_USB_Device_B(), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(dialogs.errors.size(), 1u);

    layer.ShowFTErrors = true;
    layer.FT_Error_Report("anything", FT_OK);
    lib.status["FT_Purge"] = FT_DEVICE_NOT_OPENED_FOR_ERASE;
    layer.Purge_USB_Device_Out_B();
    ASSERT_EQ(dialogs.errors.size(), 2u);
    EXPECT_EQ(dialogs.errors[1], "FT_Purge RX B Device not opened for erase...");
}

TEST_F(ChannelLayerTest, CaptionsNameTheCallAndChannel) {
    lib.status = {{"FT_Close", 1}, {"FT_GetQueueStatus", 4}, {"FT_GetDeviceInfoDetail", 2},
                  {"FT_SetLatencyTimer", 6}, {"FT_ListDevices", 17}};
    layer.Close_USB_Device_B();
    layer.Get_USB_Device_QueueStatus_A();
    layer.Get_USB_Device_Info_Detail(1);
    layer.Set_USB_Device_LatencyTimer_A(1);
    layer.GetFTDeviceCount();
    layer.GetFTDeviceDescription(0);
    const std::vector<std::string> expected = {
        "FT_CloseB - Invalid handle...",
        "FT_GetQueueStatus A - General IO error...",
        "FT_GetDeviceInfoListDetail - Device not found...",
        "FT_SetLatencyTimer A - Invalid parameter...",
        "GetFTDeviceCount - Other error ...",
        "GetFTDeviceDescription - Other error ...",
    };
    EXPECT_EQ(dialogs.errors, expected);
}

TEST_F(ChannelLayerTest, DeviceStringsKeepThePreviousTextOnFailure) {
    EXPECT_EQ(layer.GetFTDeviceSerialNo(0), FT_OK);
    EXPECT_EQ(layer.FT_Device_String, "VB2232H1A");
    EXPECT_EQ(layer.GetFTDeviceDescription(0), FT_OK);
    EXPECT_EQ(layer.FT_Device_String, "Dual RS232-HS A");
    lib.status["FT_ListDevices"] = FT_DEVICE_NOT_FOUND;
    layer.GetFTDeviceSerialNo(1);
    EXPECT_EQ(layer.FT_Device_String, "Dual RS232-HS A");
}

TEST_F(ChannelLayerTest, SerialFillingAllSixteenBytesIsKeptWhole) {
    lib.fillSerialCompletely = true;
    layer.GetFTDeviceSerialNo(0);
    EXPECT_EQ(layer.FT_Device_String, std::string(16, 'S'));
}

TEST_F(ChannelLayerTest, QueueCountIsSharedByBothChannels) {
    layer.Open_USB_Device_A();  // handle 0x101
    layer.Open_USB_Device_B();
    layer.Get_USB_Device_QueueStatus_A();
    EXPECT_EQ(layer.FT_Q_Bytes, 11u);
    layer.Get_USB_Device_QueueStatus_B();
    EXPECT_EQ(layer.FT_Q_Bytes, 22u);
}

TEST_F(ChannelLayerTest, FailedReadDeliversNothingWhateverTheLibraryLeft) {
    layer.Open_USB_Device_B();
    lib.status["FT_Read"] = FT_IO_ERROR;
    lib.readFills = 1316;
    EXPECT_EQ(layer.Read_USB_Device_Buffer_B(1316), 0u);
    EXPECT_EQ(layer.FT_IO_Status, FT_IO_ERROR);
    lib.readTouchesCount = false;
    EXPECT_EQ(layer.Read_USB_Device_Buffer_A(1), 0u);
    lib.status.erase("FT_Read");
    lib.readFills = 1;
    EXPECT_EQ(layer.Read_USB_Device_Buffer_A(1), 1u);
    EXPECT_EQ(layer.FT_IO_Status, FT_OK);
}

TEST_F(ChannelLayerTest, ReadsNeverAskForMoreThanTheBufferHolds) {
    lib.readFills = 5000;
    EXPECT_EQ(layer.Read_USB_Device_Buffer_A(4000), 1024u);
    EXPECT_EQ(lib.lastReadRequest, 1024u);
    EXPECT_EQ(layer.Read_USB_Device_Buffer_B(2000), 1316u);
    EXPECT_EQ(lib.lastReadRequest, 1316u);
}

TEST_F(ChannelLayerTest, CloseKeepsTheHandleSoASecondClosePassesItAgain) {
    layer.Open_USB_Device_A();
    const FT_HANDLE h = layer.FT_HandleA;
    layer.Close_USB_Device_A();
    EXPECT_EQ(layer.FT_HandleA, h);
    layer.Close_USB_Device_A();
    ASSERT_EQ(lib.handleCalls.size(), 2u);
    EXPECT_EQ(lib.handleCalls[1], std::make_pair(std::string("FT_Close"), h));
}

TEST_F(ChannelLayerTest, InfoDetailStartsFromAZeroRecord) {
    layer.FT_Device_Info.LocID = 77;
    std::strcpy(layer.FT_Device_Info.Description, "stale");
    layer.Get_USB_Device_Info_Detail(0);
    EXPECT_EQ(layer.FT_Device_Info.LocID, 0u);  // the library did not fill it
    EXPECT_EQ(layer.FT_Device_Info.Description[0], '\0');
    EXPECT_EQ(layer.FT_Device_Info.DeviceType, FT_DEVICE_2232H);
    EXPECT_STREQ(layer.FT_Device_Info.SerialNumber, "X");
}
