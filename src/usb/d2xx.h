// The D2XX library as the channel layer sees it: its types, constants and the
// sixteen calls, with the same arguments and results as the C API. The
// implementations are the simulated bench board, the libftdi1 backend and the
// vendor library loaded at run time.
#pragma once

#include <cstdint>

namespace usb {

using FT_STATUS = std::uint32_t;
// Opaque handle; 0 means "no device". Backends map it to whatever they keep.
using FT_HANDLE = std::uintptr_t;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_OTHER_ERROR = 17,
};

// FT_ListDevices flags.
inline constexpr std::uint32_t FT_LIST_NUMBER_ONLY = 0x80000000u;
inline constexpr std::uint32_t FT_LIST_BY_INDEX = 0x40000000u;
inline constexpr std::uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1u;
inline constexpr std::uint32_t FT_OPEN_BY_DESCRIPTION = 2u;

// FT_Purge masks.
inline constexpr std::uint32_t FT_PURGE_RX = 1u;
inline constexpr std::uint32_t FT_PURGE_TX = 2u;

// Device type code the vendor library gives an FT2232H.
inline constexpr std::uint32_t FT_DEVICE_2232H = 6u;

class D2xxLibrary {
public:
    virtual ~D2xxLibrary() = default;

    // arg1: address of a uint32_t count (number only) or the device index
    // cast to a pointer (by index); arg2: the buffer for the by-index texts.
    virtual FT_STATUS FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags) = 0;
    virtual FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle) = 0;
    virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                              std::uint32_t* bytesReturned) = 0;
    virtual FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                               std::uint32_t* bytesWritten) = 0;
    virtual FT_STATUS FT_ResetDevice(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_Purge(FT_HANDLE handle, std::uint32_t mask) = 0;
    virtual FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                     std::uint32_t writeTimeoutMs) = 0;
    virtual FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, std::uint32_t* rxBytes) = 0;
    virtual FT_STATUS FT_StopInTask(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_RestartInTask(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* numDevices) = 0;
    // serialNumber: 16 bytes, description: 64 bytes.
    virtual FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                             std::uint32_t* type, std::uint32_t* id,
                                             std::uint32_t* locId, void* serialNumber,
                                             void* description, FT_HANDLE* handle) = 0;
    virtual FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t latencyMs) = 0;
    virtual FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) = 0;
    virtual FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                          std::uint32_t outTransferSize) = 0;
};

}  // namespace usb
