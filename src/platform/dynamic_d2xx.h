// The vendor's own D2XX library, loaded at run time so that the program
// neither needs it to build nor to start. Calls go straight through; our
// integer handles carry the library's pointers unchanged.
#pragma once

#include <memory>
#include <string>

#include "usb/d2xx.h"

namespace platform {

class DynamicD2xx : public usb::D2xxLibrary {
public:
    static constexpr const char* kDefaultLibrary = "libftd2xx.so";

    // nullptr, with the reason in *error, when the library cannot be loaded
    // or lacks one of the calls.
    static std::unique_ptr<DynamicD2xx> load(const std::string& path, std::string* error);
    ~DynamicD2xx() override;

    DynamicD2xx(const DynamicD2xx&) = delete;
    DynamicD2xx& operator=(const DynamicD2xx&) = delete;

    usb::FT_STATUS FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags) override;
    usb::FT_STATUS FT_Open(int deviceNumber, usb::FT_HANDLE* handle) override;
    usb::FT_STATUS FT_Close(usb::FT_HANDLE handle) override;
    usb::FT_STATUS FT_Read(usb::FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                           std::uint32_t* bytesReturned) override;
    usb::FT_STATUS FT_Write(usb::FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                            std::uint32_t* bytesWritten) override;
    usb::FT_STATUS FT_ResetDevice(usb::FT_HANDLE handle) override;
    usb::FT_STATUS FT_Purge(usb::FT_HANDLE handle, std::uint32_t mask) override;
    usb::FT_STATUS FT_SetTimeouts(usb::FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                  std::uint32_t writeTimeoutMs) override;
    usb::FT_STATUS FT_GetQueueStatus(usb::FT_HANDLE handle, std::uint32_t* rxBytes) override;
    usb::FT_STATUS FT_StopInTask(usb::FT_HANDLE handle) override;
    usb::FT_STATUS FT_RestartInTask(usb::FT_HANDLE handle) override;
    usb::FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* numDevices) override;
    usb::FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                          std::uint32_t* type, std::uint32_t* id,
                                          std::uint32_t* locId, void* serialNumber,
                                          void* description, usb::FT_HANDLE* handle) override;
    usb::FT_STATUS FT_SetLatencyTimer(usb::FT_HANDLE handle, std::uint8_t latencyMs) override;
    usb::FT_STATUS FT_SetBitMode(usb::FT_HANDLE handle, std::uint8_t mask,
                                 std::uint8_t mode) override;
    usb::FT_STATUS FT_SetUSBParameters(usb::FT_HANDLE handle, std::uint32_t inTransferSize,
                                       std::uint32_t outTransferSize) override;

    struct Functions;

private:
    DynamicD2xx(void* library, std::unique_ptr<Functions> functions);

    void* library_;
    std::unique_ptr<Functions> f_;
};

}  // namespace platform
