// A D2XX library that writes every call to a file before handing back the
// wrapped library's result: arguments, status, byte counts, the first bytes
// written and read, each line stamped with the microseconds since the trace
// began. One file from a user with a real board shows where a failure starts.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "usb/d2xx.h"

namespace platform {

class OutputFile;

class TracingD2xx final : public usb::D2xxLibrary {
public:
    // The trace stops (with a last line saying so) once it holds about
    // limitBytes, so a long stream cannot fill the disk.
    static constexpr std::uint64_t DefaultLimitBytes = 64ull << 20;
    // How many bytes of each write and read are shown.
    static constexpr std::uint32_t ShownBytes = 16;

    // nullptr with *error when the file cannot be created. The file is put
    // in place when the last owner of *file commits it or lets it go (the
    // caller keeps a share to learn whether every line was written).
    static std::unique_ptr<TracingD2xx> open(std::unique_ptr<usb::D2xxLibrary> inner,
                                             const std::string& path, std::string* error,
                                             std::uint64_t limitBytes = DefaultLimitBytes,
                                             std::shared_ptr<OutputFile>* file = nullptr);
    ~TracingD2xx() override;

    // A line of the program's own in the trace ("# TEXT"), e.g. what a
    // backend has to say about a channel it closed.
    void note(const std::string& text);

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
    TracingD2xx(std::unique_ptr<usb::D2xxLibrary> inner, std::shared_ptr<OutputFile> file,
                std::uint64_t limitBytes);
    // One line: time stamp, call with its arguments, " -> ", status, results.
    void line(std::int64_t startUs, const std::string& call, usb::FT_STATUS status,
              const std::string& results = {});
    std::int64_t nowUs() const;

    std::unique_ptr<usb::D2xxLibrary> inner_;
    std::shared_ptr<OutputFile> file_;
    const std::uint64_t limit_;
    std::uint64_t written_ = 0;
    bool full_ = false;
    const std::int64_t originUs_;
    std::mutex m_;
};

}  // namespace platform
