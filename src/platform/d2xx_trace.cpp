#include "platform/d2xx_trace.h"

#include <chrono>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/output_file.h"

namespace platform {

using namespace usb;

namespace {

std::int64_t steadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

const char* statusName(FT_STATUS s) {
    static const char* const names[] = {
        "FT_OK", "FT_INVALID_HANDLE", "FT_DEVICE_NOT_FOUND", "FT_DEVICE_NOT_OPENED",
        "FT_IO_ERROR", "FT_INSUFFICIENT_RESOURCES", "FT_INVALID_PARAMETER",
        "FT_INVALID_BAUD_RATE", "FT_DEVICE_NOT_OPENED_FOR_ERASE",
        "FT_DEVICE_NOT_OPENED_FOR_WRITE", "FT_FAILED_TO_WRITE_DEVICE", "FT_EEPROM_READ_FAILED",
        "FT_EEPROM_WRITE_FAILED", "FT_EEPROM_ERASE_FAILED", "FT_EEPROM_NOT_PRESENT",
        "FT_EEPROM_NOT_PROGRAMMED", "FT_INVALID_ARGS", "FT_OTHER_ERROR"};
    return s < sizeof names / sizeof names[0] ? names[s] : "?";
}

// "[n] 80 03 13 ..." for the first bytes of a buffer.
std::string bytes(const void* data, std::uint32_t count) {
    if (!data || count == 0) return {};
    std::string out = " [";
    const auto* p = static_cast<const std::uint8_t*>(data);
    const std::uint32_t n = std::min(count, TracingD2xx::ShownBytes);
    for (std::uint32_t i = 0; i < n; ++i) out += format(i ? " %02x" : "%02x", p[i]);
    if (count > n) out += " ...";
    return out + "]";
}

// A driver text, cut at its buffer and NUL, quoted.
std::string text(const void* buffer, std::size_t size) {
    if (!buffer) return "-";
    const auto* p = static_cast<const char*>(buffer);
    // Built by appending: GCC 12 at -O3 reports a literal put in front of a
    // std::string temporary as an overlapping copy (-Wrestrict), wrongly.
    std::string quoted = "\"";
    quoted.append(p, strnlen(p, size));
    quoted += '"';
    return quoted;
}

}  // namespace

std::unique_ptr<TracingD2xx> TracingD2xx::open(std::unique_ptr<D2xxLibrary> inner,
                                               const std::string& path, std::string* error,
                                               std::uint64_t limitBytes,
                                               std::shared_ptr<OutputFile>* file) {
    std::string reason;
    std::shared_ptr<OutputFile> f = OutputFile::open(path, &reason, OutputFile::Unfinished::Keep);
    // A file that cannot take its first line (a full disk, /dev/full) is
    // refused now, not found empty after the run.
    if (f && !f->write("# D2XX call trace: microseconds since start, call(arguments) -> status results\n")) {
        f->commit(&reason);
        f.reset();
    }
    if (!f) {
        *error = "cannot write the D2XX trace to '" + path + "': " + reason;
        return nullptr;
    }
    if (file) *file = f;
    return std::unique_ptr<TracingD2xx>(new TracingD2xx(std::move(inner), std::move(f), limitBytes));
}

TracingD2xx::TracingD2xx(std::unique_ptr<D2xxLibrary> inner, std::shared_ptr<OutputFile> file,
                         std::uint64_t limit)
    : inner_(std::move(inner)), file_(std::move(file)), limit_(limit), originUs_(steadyUs()) {}

TracingD2xx::~TracingD2xx() {
    inner_.reset();  // the channels close first, so their last calls are not lost
}

void TracingD2xx::note(const std::string& text) {
    std::lock_guard lock(m_);
    if (!full_) file_->write("# " + text + "\n");
}

std::int64_t TracingD2xx::nowUs() const { return steadyUs() - originUs_; }

void TracingD2xx::line(std::int64_t startUs, const std::string& call, FT_STATUS status,
                       const std::string& results) {
    std::lock_guard lock(m_);
    if (full_) return;
    const std::string l = format("%10" PRId64 " %s -> %" PRIu32 " %s", startUs, call.c_str(),
                                 status, statusName(status)) +
                          results + format(" (%" PRId64 " us)\n", nowUs() - startUs);
    // Written line by line, unbuffered: the last lines before a crash or
    // hang matter most. A write that fails stops the trace; whoever commits
    // the file hears why.
    if (written_ + l.size() > limit_) {
        file_->write("# trace stopped: size limit reached\n");
        full_ = true;
    } else {
        file_->write(l);
        written_ += l.size();
    }
}

FT_STATUS TracingD2xx::FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_ListDevices(arg1, arg2, flags);
    if (flags & FT_LIST_NUMBER_ONLY) {
        line(t, "FT_ListDevices(NUMBER_ONLY)", s,
             s == FT_OK && arg1 ? format(" count=%" PRIu32, *static_cast<std::uint32_t*>(arg1)) : "");
    } else {
        const bool serial = flags & FT_OPEN_BY_SERIAL_NUMBER;
        // Appended, not " " + text(...): see text().
        line(t, format("FT_ListDevices(%zu, BY_INDEX|%s)", reinterpret_cast<std::size_t>(arg1),
                       serial ? "SERIAL_NUMBER" : "DESCRIPTION"),
             s, s == FT_OK ? std::string(" ").append(text(arg2, serial ? 16 : 64)) : "");
    }
    return s;
}

FT_STATUS TracingD2xx::FT_Open(int deviceNumber, FT_HANDLE* handle) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_Open(deviceNumber, handle);
    line(t, format("FT_Open(%d)", deviceNumber), s,
         s == FT_OK && handle ? format(" handle=0x%zx", static_cast<std::size_t>(*handle)) : "");
    return s;
}

FT_STATUS TracingD2xx::FT_Close(FT_HANDLE handle) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_Close(handle);
    line(t, format("FT_Close(0x%zx)", static_cast<std::size_t>(handle)), s);
    return s;
}

FT_STATUS TracingD2xx::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                               std::uint32_t* bytesReturned) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_Read(handle, buffer, bytesToRead, bytesReturned);
    const std::uint32_t got = bytesReturned ? *bytesReturned : 0;
    line(t, format("FT_Read(0x%zx, %" PRIu32 ")", static_cast<std::size_t>(handle), bytesToRead), s,
         format(" read=%" PRIu32, got) + bytes(buffer, got));
    return s;
}

FT_STATUS TracingD2xx::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                                std::uint32_t* bytesWritten) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_Write(handle, buffer, bytesToWrite, bytesWritten);
    line(t, format("FT_Write(0x%zx, %" PRIu32 ")", static_cast<std::size_t>(handle), bytesToWrite) +
                bytes(buffer, bytesToWrite),
         s, format(" written=%" PRIu32, bytesWritten ? *bytesWritten : 0));
    return s;
}

FT_STATUS TracingD2xx::FT_ResetDevice(FT_HANDLE handle) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_ResetDevice(handle);
    line(t, format("FT_ResetDevice(0x%zx)", static_cast<std::size_t>(handle)), s);
    return s;
}

FT_STATUS TracingD2xx::FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_Purge(handle, mask);
    line(t, format("FT_Purge(0x%zx, %s%s%s)", static_cast<std::size_t>(handle),
                   mask & FT_PURGE_RX ? "RX" : "", (mask & (FT_PURGE_RX | FT_PURGE_TX)) == (FT_PURGE_RX | FT_PURGE_TX) ? "|" : "",
                   mask & FT_PURGE_TX ? "TX" : ""),
         s);
    return s;
}

FT_STATUS TracingD2xx::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readMs, std::uint32_t writeMs) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_SetTimeouts(handle, readMs, writeMs);
    line(t, format("FT_SetTimeouts(0x%zx, %" PRIu32 ", %" PRIu32 ")", static_cast<std::size_t>(handle),
                   readMs, writeMs),
         s);
    return s;
}

FT_STATUS TracingD2xx::FT_GetQueueStatus(FT_HANDLE handle, std::uint32_t* rxBytes) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_GetQueueStatus(handle, rxBytes);
    line(t, format("FT_GetQueueStatus(0x%zx)", static_cast<std::size_t>(handle)), s,
         s == FT_OK && rxBytes ? format(" rx=%" PRIu32, *rxBytes) : "");
    return s;
}

FT_STATUS TracingD2xx::FT_StopInTask(FT_HANDLE handle) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_StopInTask(handle);
    line(t, format("FT_StopInTask(0x%zx)", static_cast<std::size_t>(handle)), s);
    return s;
}

FT_STATUS TracingD2xx::FT_RestartInTask(FT_HANDLE handle) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_RestartInTask(handle);
    line(t, format("FT_RestartInTask(0x%zx)", static_cast<std::size_t>(handle)), s);
    return s;
}

FT_STATUS TracingD2xx::FT_CreateDeviceInfoList(std::uint32_t* numDevices) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_CreateDeviceInfoList(numDevices);
    line(t, "FT_CreateDeviceInfoList()", s,
         s == FT_OK && numDevices ? format(" count=%" PRIu32, *numDevices) : "");
    return s;
}

FT_STATUS TracingD2xx::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                              std::uint32_t* type, std::uint32_t* id,
                                              std::uint32_t* locId, void* serialNumber,
                                              void* description, FT_HANDLE* handle) {
    const std::int64_t t = nowUs();
    const FT_STATUS s =
        inner_->FT_GetDeviceInfoDetail(index, flags, type, id, locId, serialNumber, description, handle);
    std::string r;
    if (s == FT_OK) {
        if (flags) r += format(" flags=0x%" PRIx32, *flags);
        if (type) r += format(" type=%" PRIu32, *type);
        if (id) r += format(" id=0x%08" PRIx32, *id);
        if (locId) r += format(" loc=0x%" PRIx32, *locId);
        r += " serial=" + text(serialNumber, 16) + " description=" + text(description, 64);
        if (handle) r += format(" handle=0x%zx", static_cast<std::size_t>(*handle));
    }
    line(t, format("FT_GetDeviceInfoDetail(%" PRIu32 ")", index), s, r);
    return s;
}

FT_STATUS TracingD2xx::FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t latencyMs) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_SetLatencyTimer(handle, latencyMs);
    line(t, format("FT_SetLatencyTimer(0x%zx, %u)", static_cast<std::size_t>(handle), latencyMs), s);
    return s;
}

FT_STATUS TracingD2xx::FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_SetBitMode(handle, mask, mode);
    line(t, format("FT_SetBitMode(0x%zx, 0x%02x, 0x%02x)", static_cast<std::size_t>(handle), mask, mode), s);
    return s;
}

FT_STATUS TracingD2xx::FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inSize,
                                           std::uint32_t outSize) {
    const std::int64_t t = nowUs();
    const FT_STATUS s = inner_->FT_SetUSBParameters(handle, inSize, outSize);
    line(t, format("FT_SetUSBParameters(0x%zx, %" PRIu32 ", %" PRIu32 ")",
                   static_cast<std::size_t>(handle), inSize, outSize),
         s);
    return s;
}

}  // namespace platform
