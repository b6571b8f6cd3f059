// The D2XX calls over libftdi1, for machines without the vendor's library.
// Each interface of a multi-channel chip is a device of its own, in bus order
// and then A, B, ...: an FT2232H is devices 2k (A) and 2k+1 (B). Channel A is
// polled on the caller's thread, which keeps MPSSE answers within one latency
// period; every other channel gets a reader thread that keeps several bulk
// reads queued so that a FIFO running at 8 MB/s is never left waiting.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ftdi_api.h"
#include "usb/d2xx.h"

namespace platform {

// D2XX status for a failed libftdi open (-3 is its "device not found").
usb::FT_STATUS statusForOpenError(int code);
// D2XX status for a failed libusb transfer (libftdi passes these through).
usb::FT_STATUS statusForTransferError(int code);

class LibFtdiD2xx : public usb::D2xxLibrary {
public:
    // What the backend has to tell beyond a call's status: a channel closed
    // with USB reads that never came back. One line, no newline.
    using NoteSink = std::function<void(const std::string&)>;

    explicit LibFtdiD2xx(std::unique_ptr<FtdiApi> api, NoteSink note = {});
    ~LibFtdiD2xx() override;

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

    class Channel;

private:
    // One D2XX device: an interface of a USB device.
    struct Listed {
        UsbDeviceInfo usb;
        int interface = 0;
        int interfaces = 1;
    };

    void rescan();
    void listIfNeeded();
    Channel* channelOf(usb::FT_HANDLE handle) const;
    void closeChannel(std::map<usb::FT_HANDLE, std::unique_ptr<Channel>>::iterator it);
    usb::FT_HANDLE handleOf(const Listed& device) const;
    static std::string serialOf(const Listed& device);
    static std::string descriptionOf(const Listed& device);

    std::unique_ptr<FtdiApi> api_;
    NoteSink note_;
    std::vector<Listed> list_;
    bool listed_ = false;
    std::map<usb::FT_HANDLE, std::unique_ptr<Channel>> channels_;
    usb::FT_HANDLE nextHandle_ = 0x100;
};

}  // namespace platform
