// Several simulated boards on one USB bus, as the D2XX library would list
// them: the devices of the first board, then those of the second, and so
// on. Each call goes to the board that owns the device index or handle.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "sim/ft2232h_board.h"

namespace sim {

class BoardRack : public usb::D2xxLibrary {
public:
    // The boards' handles must not overlap (Ft2232hBoard::setFirstHandle).
    explicit BoardRack(std::vector<std::unique_ptr<Ft2232hBoard>> boards);

    Ft2232hBoard& board(std::size_t i) { return *boards_[i]; }
    std::size_t boardCount() const { return boards_.size(); }

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
    // The board and its own index for a bus-wide device index; null past the end.
    std::pair<Ft2232hBoard*, std::uint32_t> locate(std::uint32_t index) const;
    // The board that opened the handle; null for a handle nobody knows.
    Ft2232hBoard* ownerOf(usb::FT_HANDLE handle) const;

    std::vector<std::unique_ptr<Ft2232hBoard>> boards_;
};

}  // namespace sim
