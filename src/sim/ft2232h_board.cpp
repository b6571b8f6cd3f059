#include "sim/ft2232h_board.h"

#include <algorithm>
#include <cstring>

#include "sim/option_text.h"

namespace sim {

using namespace usb;

namespace {

// Copies text with a terminating NUL when it fits, as the library does.
void copyText(void* dst, std::size_t size, const std::string& text) {
    std::memset(dst, 0, size);
    std::memcpy(dst, text.data(), std::min(size, text.size()));
}

}  // namespace

std::optional<CallFault> parseCallFault(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return std::nullopt;
    CallFault fault;
    std::string lhs = text.substr(0, eq);
    std::string rhs = text.substr(eq + 1);
    if (const auto colon = lhs.find(':'); colon != std::string::npos) {
        std::uint32_t index = 0;
        if (!parseDecimal(lhs.substr(colon + 1), &index) || index > 2) return std::nullopt;
        fault.index = static_cast<int>(index);
        lhs.resize(colon);
    }
    if (lhs.rfind("FT_", 0) != 0 || lhs.size() < 4) return std::nullopt;
    fault.call = lhs;
    if (const auto at = rhs.find('@'); at != std::string::npos) {
        if (!parseDecimal(rhs.substr(at + 1), &fault.fromCall) || fault.fromCall == 0)
            return std::nullopt;
        rhs.resize(at);
    }
    if (!parseDecimal(rhs, &fault.status)) return std::nullopt;
    return fault;
}

Ft2232hBoard::Ft2232hBoard(Clock& clock) : clock_(clock) {}
Ft2232hBoard::~Ft2232hBoard() = default;

void Ft2232hBoard::setChannelDevice(int channel, std::unique_ptr<ChannelDevice> device) {
    devices_[channel].channel = std::move(device);
}

ChannelDevice* Ft2232hBoard::channelDevice(int channel) const {
    return devices_[channel].channel.get();
}

bool Ft2232hBoard::isOpen(int index) const { return devices_[index].handle != 0; }
std::uint32_t Ft2232hBoard::readTimeoutMs(int channel) const { return devices_[channel].readTimeoutMs; }

std::uint32_t Ft2232hBoard::callCount(const std::string& call) const {
    const auto it = calls_.find(call);
    return it == calls_.end() ? 0 : it->second;
}

Ft2232hBoard::DeviceStrings Ft2232hBoard::deviceStrings(int index) const {
    switch (index) {
    case 0: return {serial_ + "A", "Dual RS232-HS A"};
    case 1: return {serial_ + "B", "Dual RS232-HS B"};
    default: return {"A50285BI", "FT232R USB UART"};
    }
}

FT_STATUS Ft2232hBoard::injected(const char* call, std::optional<int> index) {
    const std::uint32_t n = ++calls_[call];
    const std::uint32_t ni = index ? ++indexedCalls_[{call, *index}] : 0;
    for (const CallFault& f : faults_) {
        if (f.call != call) continue;
        if (f.index) {
            if (!index || *f.index != *index) continue;
            if (ni >= f.fromCall) return f.status;
        } else if (n >= f.fromCall) {
            return f.status;
        }
    }
    return FT_OK;
}

int Ft2232hBoard::deviceOf(FT_HANDLE handle) const {
    if (handle == 0) return -1;
    for (int i = 0; i < 3; ++i)
        if (devices_[i].handle == handle) return i;
    return -1;
}

FT_STATUS Ft2232hBoard::enter(const char* call, FT_HANDLE handle, int* index) {
    *index = deviceOf(handle);
    if (const FT_STATUS s = injected(call, *index >= 0 ? std::optional<int>(*index) : std::nullopt))
        return s;
    return *index < 0 ? FT_INVALID_HANDLE : FT_OK;
}

FT_STATUS Ft2232hBoard::FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags) {
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (const FT_STATUS s = injected("FT_ListDevices", std::nullopt)) return s;
        if (!arg1) return FT_INVALID_PARAMETER;
        *static_cast<std::uint32_t*>(arg1) = deviceCount_;
        return FT_OK;
    }
    const auto index = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(arg1));
    if (const FT_STATUS s = injected("FT_ListDevices", static_cast<int>(std::min(index, 2u))))
        return s;
    if (!(flags & FT_LIST_BY_INDEX) || !arg2) return FT_INVALID_PARAMETER;
    if (index >= deviceCount_) return FT_DEVICE_NOT_FOUND;
    const DeviceStrings s = deviceStrings(static_cast<int>(index));
    if (flags & FT_OPEN_BY_SERIAL_NUMBER) copyText(arg2, 16, s.serial);
    else if (flags & FT_OPEN_BY_DESCRIPTION) copyText(arg2, 64, s.description);
    else return FT_INVALID_PARAMETER;
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_Open(int deviceNumber, FT_HANDLE* handle) {
    const bool valid = deviceNumber >= 0 && static_cast<std::uint32_t>(deviceNumber) < deviceCount_;
    if (const FT_STATUS s = injected("FT_Open", valid ? std::optional<int>(deviceNumber) : std::nullopt))
        return s;
    if (!handle) return FT_INVALID_PARAMETER;
    if (!valid) return FT_DEVICE_NOT_FOUND;
    Device& d = devices_[deviceNumber];
    // The driver gives each device to one opener at a time.
    if (d.handle != 0) return FT_DEVICE_NOT_OPENED;
    d.handle = nextHandle_++;
    d.readTimeoutMs = 0;
    d.writeTimeoutMs = 0;
    if (d.channel) d.channel->opened();
    *handle = d.handle;
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_Close(FT_HANDLE handle) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_Close", handle, &i)) return s;
    devices_[i].handle = 0;
    if (devices_[i].channel) devices_[i].channel->closed();
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                                std::uint32_t* bytesReturned) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_Read", handle, &i)) return s;
    if (!buffer || !bytesReturned) return FT_INVALID_PARAMETER;
    Device& d = devices_[i];
    auto* dst = static_cast<std::uint8_t*>(buffer);
    std::uint32_t got = 0;
    const std::uint32_t start = clock_.tickCount();
    while (d.channel) {
        got += static_cast<std::uint32_t>(d.channel->read(dst + got, bytesToRead - got));
        if (got >= bytesToRead) break;
        const std::uint32_t elapsed = clock_.tickCount() - start;
        if (elapsed >= d.readTimeoutMs) break;
        clock_.sleepMs(std::min(d.channel->pollIntervalMs(), d.readTimeoutMs - elapsed));
    }
    *bytesReturned = got;
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                                 std::uint32_t* bytesWritten) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_Write", handle, &i)) return s;
    if (!buffer || !bytesWritten) return FT_INVALID_PARAMETER;
    if (devices_[i].channel)
        devices_[i].channel->write(static_cast<const std::uint8_t*>(buffer), bytesToWrite);
    *bytesWritten = bytesToWrite;
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_ResetDevice(FT_HANDLE handle) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_ResetDevice", handle, &i)) return s;
    if (devices_[i].channel) devices_[i].channel->reset();
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_Purge", handle, &i)) return s;
    if (ChannelDevice* c = devices_[i].channel.get()) {
        if (mask & FT_PURGE_RX) c->purgeReceive();
        if (mask & FT_PURGE_TX) c->purgeTransmit();
    }
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                       std::uint32_t writeTimeoutMs) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_SetTimeouts", handle, &i)) return s;
    devices_[i].readTimeoutMs = readTimeoutMs;
    devices_[i].writeTimeoutMs = writeTimeoutMs;
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_GetQueueStatus(FT_HANDLE handle, std::uint32_t* rxBytes) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_GetQueueStatus", handle, &i)) return s;
    if (!rxBytes) return FT_INVALID_PARAMETER;
    ChannelDevice* c = devices_[i].channel.get();
    *rxBytes = c ? static_cast<std::uint32_t>(c->available()) : 0;
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_StopInTask(FT_HANDLE handle) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_StopInTask", handle, &i)) return s;
    if (devices_[i].channel) devices_[i].channel->setInTaskRunning(false);
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_RestartInTask(FT_HANDLE handle) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_RestartInTask", handle, &i)) return s;
    if (devices_[i].channel) devices_[i].channel->setInTaskRunning(true);
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_CreateDeviceInfoList(std::uint32_t* numDevices) {
    if (const FT_STATUS s = injected("FT_CreateDeviceInfoList", std::nullopt)) return s;
    if (!numDevices) return FT_INVALID_PARAMETER;
    *numDevices = deviceCount_;
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                               std::uint32_t* type, std::uint32_t* id,
                                               std::uint32_t* locId, void* serialNumber,
                                               void* description, FT_HANDLE* handle) {
    const bool valid = index < deviceCount_;
    if (const FT_STATUS s = injected("FT_GetDeviceInfoDetail",
                                     valid ? std::optional<int>(static_cast<int>(index)) : std::nullopt))
        return s;
    if (!valid) return FT_DEVICE_NOT_FOUND;
    const Device& d = devices_[index];
    const bool bridge = index < 2;
    const DeviceStrings s = deviceStrings(static_cast<int>(index));
    if (flags) *flags = (d.handle ? 1u : 0u) | (bridge ? 2u : 0u);  // opened, high speed
    if (type) *type = bridge ? FT_DEVICE_2232H : 5u;                 // 5: FT232R
    if (id) *id = bridge ? 0x04036010u : 0x04036001u;
    if (locId) *locId = bridge ? 0x2111u + index : 0x2130u;
    if (serialNumber) copyText(serialNumber, 16, s.serial);
    if (description) copyText(description, 64, s.description);
    if (handle) *handle = d.handle;
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t latencyMs) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_SetLatencyTimer", handle, &i)) return s;
    // The chip accepts 1..255 ms only.
    if (latencyMs == 0) return FT_INVALID_PARAMETER;
    devices_[i].latencyMs = latencyMs;
    if (devices_[i].channel) devices_[i].channel->setLatencyTimer(latencyMs);
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_SetBitMode", handle, &i)) return s;
    if (devices_[i].channel) devices_[i].channel->setBitMode(mask, mode);
    return FT_OK;
}

FT_STATUS Ft2232hBoard::FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                            std::uint32_t outTransferSize) {
    int i = 0;
    if (const FT_STATUS s = enter("FT_SetUSBParameters", handle, &i)) return s;
    // Transfer sizes are multiples of 64 between 64 and 64 kB.
    auto ok = [](std::uint32_t n) { return n >= 64 && n <= 65536 && n % 64 == 0; };
    if (!ok(inTransferSize) || (outTransferSize != 0 && !ok(outTransferSize)))
        return FT_INVALID_PARAMETER;
    return FT_OK;
}

}  // namespace sim
