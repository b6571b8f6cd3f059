#include "sim/board_rack.h"

namespace sim {

using namespace usb;

BoardRack::BoardRack(std::vector<std::unique_ptr<Ft2232hBoard>> boards) : boards_(std::move(boards)) {}

std::pair<Ft2232hBoard*, std::uint32_t> BoardRack::locate(std::uint32_t index) const {
    for (const auto& b : boards_) {
        if (index < b->deviceCount()) return {b.get(), index};
        index -= b->deviceCount();
    }
    return {nullptr, 0};
}

Ft2232hBoard* BoardRack::ownerOf(FT_HANDLE handle) const {
    for (const auto& b : boards_)
        if (b->owns(handle)) return b.get();
    return nullptr;
}

FT_STATUS BoardRack::FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags) {
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1) return FT_INVALID_PARAMETER;
        std::uint32_t total = 0;
        for (const auto& b : boards_) {
            std::uint32_t n = 0;
            if (const FT_STATUS s = b->FT_ListDevices(&n, nullptr, flags)) return s;
            total += n;
        }
        *static_cast<std::uint32_t*>(arg1) = total;
        return FT_OK;
    }
    const auto index = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(arg1));
    auto [board, local] = locate(index);
    if (!board) return FT_DEVICE_NOT_FOUND;
    return board->FT_ListDevices(reinterpret_cast<void*>(static_cast<std::uintptr_t>(local)), arg2, flags);
}

FT_STATUS BoardRack::FT_Open(int deviceNumber, FT_HANDLE* handle) {
    if (deviceNumber < 0) return FT_DEVICE_NOT_FOUND;
    auto [board, local] = locate(static_cast<std::uint32_t>(deviceNumber));
    if (!board) return FT_DEVICE_NOT_FOUND;
    return board->FT_Open(static_cast<int>(local), handle);
}

FT_STATUS BoardRack::FT_CreateDeviceInfoList(std::uint32_t* numDevices) {
    if (!numDevices) return FT_INVALID_PARAMETER;
    std::uint32_t total = 0;
    for (const auto& b : boards_) {
        std::uint32_t n = 0;
        if (const FT_STATUS s = b->FT_CreateDeviceInfoList(&n)) return s;
        total += n;
    }
    *numDevices = total;
    return FT_OK;
}

FT_STATUS BoardRack::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                            std::uint32_t* type, std::uint32_t* id,
                                            std::uint32_t* locId, void* serialNumber,
                                            void* description, FT_HANDLE* handle) {
    auto [board, local] = locate(index);
    if (!board) return FT_DEVICE_NOT_FOUND;
    return board->FT_GetDeviceInfoDetail(local, flags, type, id, locId, serialNumber, description,
                                         handle);
}

// Handle calls: the owner answers; an unknown handle is as invalid on the
// rack as on any one board.
#define VESPER_RACK_FORWARD(call, ...)                         \
    Ft2232hBoard* board = ownerOf(handle);                     \
    if (!board) return FT_INVALID_HANDLE;                      \
    return board->call(handle __VA_OPT__(, ) __VA_ARGS__)

FT_STATUS BoardRack::FT_Close(FT_HANDLE handle) { VESPER_RACK_FORWARD(FT_Close); }
FT_STATUS BoardRack::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                             std::uint32_t* bytesReturned) {
    VESPER_RACK_FORWARD(FT_Read, buffer, bytesToRead, bytesReturned);
}
FT_STATUS BoardRack::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                              std::uint32_t* bytesWritten) {
    VESPER_RACK_FORWARD(FT_Write, buffer, bytesToWrite, bytesWritten);
}
FT_STATUS BoardRack::FT_ResetDevice(FT_HANDLE handle) { VESPER_RACK_FORWARD(FT_ResetDevice); }
FT_STATUS BoardRack::FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
    VESPER_RACK_FORWARD(FT_Purge, mask);
}
FT_STATUS BoardRack::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                    std::uint32_t writeTimeoutMs) {
    VESPER_RACK_FORWARD(FT_SetTimeouts, readTimeoutMs, writeTimeoutMs);
}
FT_STATUS BoardRack::FT_GetQueueStatus(FT_HANDLE handle, std::uint32_t* rxBytes) {
    VESPER_RACK_FORWARD(FT_GetQueueStatus, rxBytes);
}
FT_STATUS BoardRack::FT_StopInTask(FT_HANDLE handle) { VESPER_RACK_FORWARD(FT_StopInTask); }
FT_STATUS BoardRack::FT_RestartInTask(FT_HANDLE handle) { VESPER_RACK_FORWARD(FT_RestartInTask); }
FT_STATUS BoardRack::FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t latencyMs) {
    VESPER_RACK_FORWARD(FT_SetLatencyTimer, latencyMs);
}
FT_STATUS BoardRack::FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    VESPER_RACK_FORWARD(FT_SetBitMode, mask, mode);
}
FT_STATUS BoardRack::FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                         std::uint32_t outTransferSize) {
    VESPER_RACK_FORWARD(FT_SetUSBParameters, inTransferSize, outTransferSize);
}

#undef VESPER_RACK_FORWARD

}  // namespace sim
