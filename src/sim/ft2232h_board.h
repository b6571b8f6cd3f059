// The simulated bench board as the D2XX library would show it: an FT2232H
// whose two channels appear as devices 0 (A) and 1 (B), optionally a third
// FTDI device on the bus, and per-call status injection.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/channel_device.h"
#include "usb/d2xx.h"
#include "usb/platform_services.h"

namespace sim {

// "FT_Open:1=2@3": FT_Open on device 1 returns 2 from its third call on.
struct CallFault {
    std::string call;              // D2XX function name, e.g. "FT_GetQueueStatus"
    std::optional<int> index;      // device index (or the channel of the handle); none = any
    usb::FT_STATUS status = 0;
    std::uint32_t fromCall = 1;    // 1-based count of matching calls
};

// Parses "CALL[:INDEX]=STATUS[@N]"; nullopt when malformed.
std::optional<CallFault> parseCallFault(const std::string& text);

class Ft2232hBoard : public usb::D2xxLibrary {
public:
    explicit Ft2232hBoard(usb::Clock& clock);
    ~Ft2232hBoard() override;

    // 0..3 devices: 1 shows channel A only, 3 adds an unrelated FTDI device.
    void setDeviceCount(std::uint32_t count) { deviceCount_ = count; }
    void addFault(const CallFault& fault) { faults_.push_back(fault); }
    void setChannelDevice(int channel, std::unique_ptr<ChannelDevice> device);
    ChannelDevice* channelDevice(int channel) const;

    // What a test may want to look at.
    bool isOpen(int index) const;
    std::uint32_t readTimeoutMs(int channel) const;
    std::uint32_t callCount(const std::string& call) const;

    struct DeviceStrings {
        std::string serial;
        std::string description;
    };
    // The channels are named after the EEPROM serial; a third device is a
    // USB serial adapter that happens to be plugged in too.
    DeviceStrings deviceStrings(int index) const;

    // The EEPROM serial the channels are named after ("VB2232H1" gives
    // "VB2232H1A" and "VB2232H1B"), and the first handle this board hands
    // out, so that boards sharing one bus never hand out the same handle.
    void setSerial(std::string serial) { serial_ = std::move(serial); }
    void setFirstHandle(usb::FT_HANDLE handle) { nextHandle_ = handle; }
    // Whether the handle is one of this board's open devices.
    bool owns(usb::FT_HANDLE handle) const { return deviceOf(handle) >= 0; }
    std::uint32_t deviceCount() const { return deviceCount_; }

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

private:
    struct Device {
        usb::FT_HANDLE handle = 0;  // 0 while closed
        std::uint32_t readTimeoutMs = 0;
        std::uint32_t writeTimeoutMs = 0;
        std::uint8_t latencyMs = 16;
        std::unique_ptr<ChannelDevice> channel;
    };

    // Status injected for this call on this device, or FT_OK.
    usb::FT_STATUS injected(const char* call, std::optional<int> index);
    // Index of the open device the handle names, or -1.
    int deviceOf(usb::FT_HANDLE handle) const;
    // Common entry of every handle call: injected status, then handle check.
    usb::FT_STATUS enter(const char* call, usb::FT_HANDLE handle, int* index);

    usb::Clock& clock_;
    std::uint32_t deviceCount_ = 2;
    std::vector<CallFault> faults_;
    std::map<std::string, std::uint32_t> calls_;                       // per call name
    std::map<std::pair<std::string, int>, std::uint32_t> indexedCalls_;  // per call and device
    Device devices_[3];
    usb::FT_HANDLE nextHandle_ = 0x1000;
    std::string serial_ = "VB2232H1";
};

}  // namespace sim
