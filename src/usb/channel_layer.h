// The bridge's two channels over the D2XX library: channel A (device index 0)
// carries MPSSE commands for I2C, channel B (device index 1) the transport
// stream. This is the only code that calls the library. Every operation makes
// exactly one call, hands its status back unchanged and reports a failure
// through FT_Error_Report; nothing here retries, throws or logs.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "usb/d2xx.h"
#include "usb/platform_services.h"

namespace usb {

inline constexpr std::uint32_t ChannelABufferSize = 1024;
inline constexpr std::uint32_t TsChunkSize = 7 * 188;  // 1316

struct FT_Device_Info_Node {
    std::uint32_t Flags = 0;
    std::uint32_t DeviceType = 0;
    std::uint32_t ID = 0;
    std::uint32_t LocID = 0;
    char SerialNumber[16] = {};
    char Description[64] = {};
    FT_HANDLE DeviceHandle = 0;
};

// The text a status adds to a report caption; empty for 0.
std::string FT_StatusText(FT_STATUS status);

class ChannelLayer {
public:
    ChannelLayer(D2xxLibrary& library, Dialogs& dialogs) : lib_(library), dialogs_(dialogs) {}

    FT_STATUS GetFTDeviceCount();
    FT_STATUS GetFTDeviceSerialNo(std::uint32_t index);
    FT_STATUS GetFTDeviceDescription(std::uint32_t index);

    FT_STATUS Open_USB_Device_A();
    FT_STATUS Open_USB_Device_B();
    FT_STATUS Close_USB_Device_A();
    FT_STATUS Close_USB_Device_B();

    std::uint32_t Read_USB_Device_Buffer_A(std::uint32_t count);
    std::uint32_t Read_USB_Device_Buffer_B(std::uint32_t count);
    // Sends the first count bytes of the caller's command buffer.
    std::uint32_t Write_USB_Device_Buffer_A(const std::uint8_t* data, std::uint32_t count);

    FT_STATUS Reset_USB_Device_A();
    FT_STATUS Reset_USB_Device_B();
    FT_STATUS Purge_USB_Device_Out_A();  // receive queue
    FT_STATUS Purge_USB_Device_Out_B();  // receive queue
    FT_STATUS Purge_USB_Device_In_A();   // transmit queue
    FT_STATUS Set_USB_Device_TimeOuts_A(std::uint32_t readMs, std::uint32_t writeMs);
    FT_STATUS Set_USB_Device_TimeOuts_B(std::uint32_t readMs, std::uint32_t writeMs);
    FT_STATUS Get_USB_Device_QueueStatus_A();
    FT_STATUS Get_USB_Device_QueueStatus_B();
    FT_STATUS Stop_USB_Device_InTask_B();
    FT_STATUS Restart_USB_Device_InTask_B();
    FT_STATUS Create_USB_Device_Info_List();
    FT_STATUS Get_USB_Device_Info_Detail(std::uint32_t index);
    FT_STATUS Set_USB_Device_LatencyTimer_A(std::uint8_t ms);
    FT_STATUS Set_USB_Device_BitMode_A(std::uint8_t mask, std::uint8_t mode);
    FT_STATUS Set_USB_Parameters_A(std::uint32_t inSize, std::uint32_t outSize);

    void FT_Error_Report(const std::string& caption, FT_STATUS status);

    // State of the layer, under the names the rest of the program uses.
    FT_HANDLE FT_HandleA = 0;
    FT_HANDLE FT_HandleB = 0;
    FT_STATUS FT_IO_Status = 0;
    bool ShowFTErrors = true;
    std::uint32_t FT_Q_Bytes = 0;
    std::uint32_t FT_Device_Count = 0;
    std::string FT_Device_String;
    std::array<std::uint8_t, ChannelABufferSize> FT_In_Buffer_A{};
    std::array<std::uint8_t, TsChunkSize> FT_In_Buffer_B{};
    FT_Device_Info_Node FT_Device_Info;

private:
    std::uint32_t read(FT_HANDLE handle, std::uint8_t* buffer, std::uint32_t capacity,
                       std::uint32_t count, const char* caption);
    FT_STATUS listText(std::uint32_t index, std::uint32_t flags, char* buffer, std::size_t size,
                       const char* caption);
    FT_STATUS report(const char* caption, FT_STATUS status);

    D2xxLibrary& lib_;
    Dialogs& dialogs_;
    char serialBuffer_[16] = {};
    char descriptionBuffer_[64] = {};
};

}  // namespace usb
