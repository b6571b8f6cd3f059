#include "usb/channel_layer.h"

#include <algorithm>
#include <cstring>

namespace usb {

std::string FT_StatusText(FT_STATUS status) {
    static const char* const texts[] = {
        "",
        " - Invalid handle...",
        " - Device not found...",
        " - Device not opened...",
        " - General IO error...",
        " - Insufficient resources...",
        " - Invalid parameter...",
        " - Invalid baud rate...",
        " Device not opened for erase...",
        " Device not opened for write...",
        " - Failed to write...",
        " - EEPROM read failed...",
        " - EEPROM write failed...",
        " - EEPROM erase failed...",
        " - EEPROM not present...",
        " - EEPROM not programmed...",
        " - Invalid arguments...",
        " - Other error ...",
    };
    if (status < std::size(texts)) return texts[status];
    // A newer library may return codes we have no text for; say which one.
    return " - Unknown status " + std::to_string(status) + "...";
}

void ChannelLayer::FT_Error_Report(const std::string& caption, FT_STATUS status) {
    if (!ShowFTErrors || status == FT_OK) return;
    dialogs_.errorDialog(caption + FT_StatusText(status));
}

FT_STATUS ChannelLayer::report(const char* caption, FT_STATUS status) {
    if (status != FT_OK) FT_Error_Report(caption, status);
    return status;
}

FT_STATUS ChannelLayer::GetFTDeviceCount() {
    return report("GetFTDeviceCount",
                  lib_.FT_ListDevices(&FT_Device_Count, nullptr, FT_LIST_NUMBER_ONLY));
}

FT_STATUS ChannelLayer::listText(std::uint32_t index, std::uint32_t flags, char* buffer,
                                 std::size_t size, const char* caption) {
    const FT_STATUS status = lib_.FT_ListDevices(
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(index)), buffer, flags);
    if (status == FT_OK) {
        // The library may fill the whole buffer without a terminating NUL.
        const char* const begin = buffer;
        FT_Device_String.assign(begin, std::find(begin, begin + size, '\0'));
    }
    return report(caption, status);
}

FT_STATUS ChannelLayer::GetFTDeviceSerialNo(std::uint32_t index) {
    return listText(index, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER, serialBuffer_,
                    sizeof serialBuffer_, "GetFTDeviceSerialNo");
}

FT_STATUS ChannelLayer::GetFTDeviceDescription(std::uint32_t index) {
    return listText(index, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION, descriptionBuffer_,
                    sizeof descriptionBuffer_, "GetFTDeviceDescription");
}

FT_STATUS ChannelLayer::Open_USB_Device_A() { return report("FT_OpenA", lib_.FT_Open(0, &FT_HandleA)); }
FT_STATUS ChannelLayer::Open_USB_Device_B() { return report("FT_OpenB", lib_.FT_Open(1, &FT_HandleB)); }
FT_STATUS ChannelLayer::Close_USB_Device_A() { return report("FT_CloseA", lib_.FT_Close(FT_HandleA)); }
FT_STATUS ChannelLayer::Close_USB_Device_B() { return report("FT_CloseB", lib_.FT_Close(FT_HandleB)); }

std::uint32_t ChannelLayer::read(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t capacity,
                                 std::uint32_t count, const char* caption) {
    // Callers ask channel A for its whole queue; what does not fit stays queued.
    count = std::min(count, capacity);
    std::uint32_t got = 0;
    FT_IO_Status = lib_.FT_Read(handle, buffer, count, &got);
    if (FT_IO_Status != FT_OK) {
        FT_Error_Report(caption, FT_IO_Status);
        // A failed read delivered nothing, whatever the library left in the count.
        return 0;
    }
    return std::min(got, count);
}

std::uint32_t ChannelLayer::Read_USB_Device_Buffer_A(std::uint32_t count) {
    return read(FT_HandleA, FT_In_Buffer_A.data(), ChannelABufferSize, count, "FT_Read A");
}

std::uint32_t ChannelLayer::Read_USB_Device_Buffer_B(std::uint32_t count) {
    return read(FT_HandleB, FT_In_Buffer_B.data(), TsChunkSize, count, "FT_Read B");
}

std::uint32_t ChannelLayer::Write_USB_Device_Buffer_A(const std::uint8_t* data, std::uint32_t count) {
    std::uint32_t written = 0;
    FT_IO_Status = lib_.FT_Write(FT_HandleA, data, count, &written);
    if (FT_IO_Status != FT_OK) FT_Error_Report("FT_Write A", FT_IO_Status);
    return std::min(written, count);
}

FT_STATUS ChannelLayer::Reset_USB_Device_A() { return report("FT_ResetDeviceA", lib_.FT_ResetDevice(FT_HandleA)); }
FT_STATUS ChannelLayer::Reset_USB_Device_B() { return report("FT_ResetDeviceB", lib_.FT_ResetDevice(FT_HandleB)); }
FT_STATUS ChannelLayer::Purge_USB_Device_Out_A() { return report("FT_Purge RX A", lib_.FT_Purge(FT_HandleA, FT_PURGE_RX)); }
FT_STATUS ChannelLayer::Purge_USB_Device_Out_B() { return report("FT_Purge RX B", lib_.FT_Purge(FT_HandleB, FT_PURGE_RX)); }
FT_STATUS ChannelLayer::Purge_USB_Device_In_A() { return report("FT_Purge TX A", lib_.FT_Purge(FT_HandleA, FT_PURGE_TX)); }

FT_STATUS ChannelLayer::Set_USB_Device_TimeOuts_A(std::uint32_t readMs, std::uint32_t writeMs) {
    return report("FT_SetTimeouts A", lib_.FT_SetTimeouts(FT_HandleA, readMs, writeMs));
}

FT_STATUS ChannelLayer::Set_USB_Device_TimeOuts_B(std::uint32_t readMs, std::uint32_t writeMs) {
    return report("FT_SetTimeouts B", lib_.FT_SetTimeouts(FT_HandleB, readMs, writeMs));
}

FT_STATUS ChannelLayer::Get_USB_Device_QueueStatus_A() {
    return report("FT_GetQueueStatus A", lib_.FT_GetQueueStatus(FT_HandleA, &FT_Q_Bytes));
}

FT_STATUS ChannelLayer::Get_USB_Device_QueueStatus_B() {
    return report("FT_GetQueueStatus B", lib_.FT_GetQueueStatus(FT_HandleB, &FT_Q_Bytes));
}

FT_STATUS ChannelLayer::Stop_USB_Device_InTask_B() { return report("FT_StopInTask B", lib_.FT_StopInTask(FT_HandleB)); }
FT_STATUS ChannelLayer::Restart_USB_Device_InTask_B() { return report("FT_RestartInTask B", lib_.FT_RestartInTask(FT_HandleB)); }

FT_STATUS ChannelLayer::Create_USB_Device_Info_List() {
    return report("FT_CreateDeviceInfoList", lib_.FT_CreateDeviceInfoList(&FT_Device_Count));
}

FT_STATUS ChannelLayer::Get_USB_Device_Info_Detail(std::uint32_t index) {
    FT_Device_Info = FT_Device_Info_Node{};
    FT_Device_Info_Node& d = FT_Device_Info;
    return report("FT_GetDeviceInfoListDetail",
                  lib_.FT_GetDeviceInfoDetail(index, &d.Flags, &d.DeviceType, &d.ID, &d.LocID,
                                              d.SerialNumber, d.Description, &d.DeviceHandle));
}

FT_STATUS ChannelLayer::Set_USB_Device_LatencyTimer_A(std::uint8_t ms) {
    return report("FT_SetLatencyTimer A", lib_.FT_SetLatencyTimer(FT_HandleA, ms));
}

FT_STATUS ChannelLayer::Set_USB_Device_BitMode_A(std::uint8_t mask, std::uint8_t mode) {
    return report("FT_SetBitMode A", lib_.FT_SetBitMode(FT_HandleA, mask, mode));
}

FT_STATUS ChannelLayer::Set_USB_Parameters_A(std::uint32_t inSize, std::uint32_t outSize) {
    return report("FT_SetUSBParameters A", lib_.FT_SetUSBParameters(FT_HandleA, inSize, outSize));
}

}  // namespace usb
