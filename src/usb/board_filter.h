// Choosing one FT2232H when several are plugged in. The vendor library
// names an FT2232H's two channels after its EEPROM serial number plus "A"
// and "B"; the filter shows the program only the two devices of one board,
// channel A first, so that start-up sees exactly the pair it expects.
#pragma once

#include <string>
#include <vector>

#include "usb/d2xx.h"

namespace usb {

// The serial number of every device the library lists, by index; an empty
// text where the query failed.
std::vector<std::string> DeviceSerials(D2xxLibrary& library);

// The boards among those devices: every serial S for which both S + "A" and
// S + "B" are listed, in the order their channel A appears.
std::vector<std::string> BoardSerials(const std::vector<std::string>& deviceSerials);

class BoardFilter : public D2xxLibrary {
public:
    BoardFilter(D2xxLibrary& inner, std::string boardSerial);

    // Whether the chosen board was there the last time the devices were listed.
    bool found() const { return visible_.size() == 2; }

    // Counting the devices (FT_ListDevices number only, FT_CreateDeviceInfoList)
    // lists them afresh, since boards come and go between counts.
    FT_STATUS FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags) override;
    FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle) override;
    FT_STATUS FT_Close(FT_HANDLE handle) override { return inner_.FT_Close(handle); }
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                      std::uint32_t* bytesReturned) override {
        return inner_.FT_Read(handle, buffer, bytesToRead, bytesReturned);
    }
    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                       std::uint32_t* bytesWritten) override {
        return inner_.FT_Write(handle, buffer, bytesToWrite, bytesWritten);
    }
    FT_STATUS FT_ResetDevice(FT_HANDLE handle) override { return inner_.FT_ResetDevice(handle); }
    FT_STATUS FT_Purge(FT_HANDLE handle, std::uint32_t mask) override {
        return inner_.FT_Purge(handle, mask);
    }
    FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                             std::uint32_t writeTimeoutMs) override {
        return inner_.FT_SetTimeouts(handle, readTimeoutMs, writeTimeoutMs);
    }
    FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, std::uint32_t* rxBytes) override {
        return inner_.FT_GetQueueStatus(handle, rxBytes);
    }
    FT_STATUS FT_StopInTask(FT_HANDLE handle) override { return inner_.FT_StopInTask(handle); }
    FT_STATUS FT_RestartInTask(FT_HANDLE handle) override { return inner_.FT_RestartInTask(handle); }
    FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* numDevices) override;
    FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                     std::uint32_t* id, std::uint32_t* locId, void* serialNumber,
                                     void* description, FT_HANDLE* handle) override;
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t latencyMs) override {
        return inner_.FT_SetLatencyTimer(handle, latencyMs);
    }
    FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) override {
        return inner_.FT_SetBitMode(handle, mask, mode);
    }
    FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                  std::uint32_t outTransferSize) override {
        return inner_.FT_SetUSBParameters(handle, inTransferSize, outTransferSize);
    }

private:
    void relist();
    // The inner index of a visible one; false past the visible devices.
    bool inner(std::uint32_t index, std::uint32_t* innerIndex);

    D2xxLibrary& inner_;
    std::string board_;
    std::vector<std::uint32_t> visible_;  // inner indices: channel A, channel B
    bool listed_ = false;
};

}  // namespace usb
