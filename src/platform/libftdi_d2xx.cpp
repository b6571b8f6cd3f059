#include "platform/libftdi_d2xx.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>

namespace platform {

using namespace usb;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kOpenNotFound = -3;
// libusb treats 0 as "wait forever"; the vendor's 0 is not worth a hang.
constexpr int kDefaultWriteTimeoutMs = 5000;
// A bulk read of the chip must hold at least one high-speed packet, or
// libusb reports an overflow as soon as the chip sends a full one.
constexpr unsigned kMinReadChunk = 512;
// The reader of a streamed channel: 16 reads of 16 kB queued hold 32 ms of
// an 8 MB/s FIFO, far more than the thread ever needs to turn one round.
constexpr int kStreamTransferSize = 16384;
constexpr int kStreamTransfers = 16;
constexpr int kStreamPollMs = 50;
// What the receive buffer keeps when nobody reads: 4 s of the fastest
// stream. Beyond that new data is dropped, as a full FIFO would.
constexpr std::size_t kReceiveCap = 32u << 20;
// Bound on waiting for the reader thread to let go of the USB transfers.
constexpr auto kHoldBound = std::chrono::seconds(2);

void copyText(void* dst, std::size_t size, const std::string& text) {
    // Always NUL-terminated: callers print these as C strings.
    std::memset(dst, 0, size);
    std::memcpy(dst, text.data(), std::min(size - 1, text.size()));
}

// FT2232 (C/D and H) have two interfaces, FT4232H four, the rest one.
int interfacesOf(const UsbDeviceInfo& d) {
    if (d.vendorId != 0x0403) return 1;
    if (d.productId == 0x6010) return 2;
    if (d.productId == 0x6011) return 4;
    return 1;
}

// The vendor library's device type codes, from the chip generation.
std::uint32_t deviceTypeOf(const UsbDeviceInfo& d) {
    switch (d.bcdDevice) {
    case 0x0200: return 1;  // AM
    case 0x0400: return 0;  // BM
    case 0x0500: return 4;  // FT2232C/D
    case 0x0600: return 5;  // FT232R
    case 0x0700: return FT_DEVICE_2232H;
    case 0x0800: return 7;  // FT4232H
    case 0x0900: return 8;  // FT232H
    case 0x1000: return 9;  // FT-X
    default: break;
    }
    if (d.productId == 0x6010) return FT_DEVICE_2232H;
    return 3;  // unknown
}

// Bus number, then one hex digit per hub port on the way to the device, then
// for a multi-channel chip the interface (1 = A): bus 2, port path 1.1,
// channel B gives 0x2112. Stable across replugs into the same socket.
std::uint32_t locationOf(const UsbDeviceInfo& d, int interface, int interfaces) {
    std::uint32_t loc = d.bus;
    for (std::uint8_t p : d.ports) loc = (loc << 4) | (p & 0xFu);
    if (interfaces > 1) loc = (loc << 4) | static_cast<std::uint32_t>(interface + 1);
    return loc;
}

// What a chip with a blank EEPROM calls itself.
std::string defaultProduct(const UsbDeviceInfo& d) {
    if (d.productId == 0x6010) return "Dual RS232-HS";
    if (d.productId == 0x6011) return "Quad RS232-HS";
    return {};
}

}  // namespace

FT_STATUS statusForOpenError(int code) {
    // The other open failures (libusb_open refused, interface claimed by the
    // kernel driver or another program, detach not permitted) all mean the
    // device is there but could not be had.
    return code == kOpenNotFound ? FT_DEVICE_NOT_FOUND : FT_DEVICE_NOT_OPENED;
}

FT_STATUS statusForTransferError(int code) {
    switch (code) {
    case LIBUSB_ERROR_NO_MEM: return FT_INSUFFICIENT_RESOURCES;
    case LIBUSB_ERROR_INVALID_PARAM: return FT_INVALID_PARAMETER;
    case LIBUSB_ERROR_ACCESS: return FT_DEVICE_NOT_OPENED;
    case LIBUSB_ERROR_NOT_SUPPORTED:
    case LIBUSB_ERROR_OTHER: return FT_OTHER_ERROR;
    default: return FT_IO_ERROR;  // I/O, no device, pipe, overflow, busy, ...
    }
}

// One open channel: its libftdi context and the receive buffer that
// FT_GetQueueStatus reports on.
class LibFtdiD2xx::Channel {
public:
    Channel(std::unique_ptr<FtdiChannel> io, bool streamed, const UsbDeviceInfo& usb, int interface)
        : io_(std::move(io)), streamed_(streamed), bus_(usb.bus), address_(usb.address),
          interface_(interface) {
        io_->setWriteTimeout(kDefaultWriteTimeoutMs);
        if (streamed_) task_ = std::thread([this] { inTask(); });
    }

    ~Channel() { close(); }

    // Stops the reader and closes the interface; false when USB reads were
    // still out after the bounded wait (see FtdiChannel::close).
    bool close() {
        if (task_.joinable()) {
            {
                std::lock_guard lock(m_);
                quit_ = true;
            }
            cv_.notify_all();
            task_.join();
        }
        if (!io_) return true;
        const bool whole = io_->close();
        io_.reset();
        return whole;
    }

    char name() const { return static_cast<char>('A' + interface_); }

    bool is(const UsbDeviceInfo& usb, int interface) const {
        return bus_ == usb.bus && address_ == usb.address && interface_ == interface;
    }

    FT_STATUS read(std::uint8_t* dst, std::uint32_t count, std::uint32_t* got) {
        *got = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeoutMs_);
        if (streamed_) {
            std::unique_lock lock(m_);
            cv_.wait_until(lock, deadline, [&] { return lost_ != FT_OK || waiting() >= count; });
            if (lost_ != FT_OK) return lost_;
            *got = take(dst, count);
            return FT_OK;
        }
        for (;;) {
            {
                std::lock_guard lock(m_);
                if (lost_ != FT_OK) return lost_;
                *got += take(dst + *got, count - *got);
            }
            if (*got >= count) return FT_OK;
            if (const FT_STATUS s = poll()) return s;
            {
                std::lock_guard lock(m_);
                *got += take(dst + *got, count - *got);
            }
            if (*got >= count || Clock::now() >= deadline) return FT_OK;
        }
    }

    FT_STATUS write(const std::uint8_t* data, std::uint32_t count, std::uint32_t* written) {
        *written = 0;
        if (const FT_STATUS s = lostStatus()) return s;
        int n = 0;
        const int r = io_->writeData(data, static_cast<int>(count), &n);
        *written = static_cast<std::uint32_t>(std::max(n, 0));
        // A write time-out is not an error: the caller sees the short count.
        if (r >= 0 || r == LIBUSB_ERROR_TIMEOUT) return FT_OK;
        return failed(r);
    }

    FT_STATUS queueStatus(std::uint32_t* rxBytes) {
        if (!streamed_) {
            if (const FT_STATUS s = lostStatus()) return s;
            if (const FT_STATUS s = poll()) return s;
        }
        std::lock_guard lock(m_);
        if (lost_ != FT_OK) return lost_;
        *rxBytes = static_cast<std::uint32_t>(waiting());
        return FT_OK;
    }

    FT_STATUS purge(std::uint32_t mask) {
        if (const FT_STATUS s = lostStatus()) return s;
        if (mask & FT_PURGE_RX) {
            // Data of reads still queued would arrive after the flush, so the
            // reader lets go of them first; reads the USB stack does not give
            // back leave nothing safe to flush under.
            Hold hold(*this);
            if (!hold.held()) return FT_IO_ERROR;
            if (io_->purgeReceive() < 0) return FT_IO_ERROR;
            dropReceived();
        }
        if ((mask & FT_PURGE_TX) && io_->purgeTransmit() < 0) return FT_IO_ERROR;
        return FT_OK;
    }

    FT_STATUS reset() {
        Hold hold(*this);
        if (!hold.held()) return FT_IO_ERROR;
        if (io_->reset() < 0) return FT_IO_ERROR;
        std::lock_guard lock(m_);
        rxHead_ = 0;
        rx_.clear();
        // A chip that answers the reset is there again.
        lost_ = FT_OK;
        return FT_OK;
    }

    void setTimeouts(std::uint32_t readMs, std::uint32_t writeMs) {
        readTimeoutMs_ = readMs;
        io_->setWriteTimeout(writeMs ? static_cast<int>(std::min<std::uint32_t>(writeMs, 1u << 30))
                                     : kDefaultWriteTimeoutMs);
    }

    FT_STATUS setInTaskRunning(bool running) {
        {
            std::lock_guard lock(m_);
            paused_ = !running;
        }
        cv_.notify_all();
        return FT_OK;
    }

    FT_STATUS control(int result) { return result < 0 ? FT_IO_ERROR : FT_OK; }

    FtdiChannel& io() { return *io_; }
    FT_STATUS lostStatus() {
        std::lock_guard lock(m_);
        return lost_;
    }

private:
    // Keeps the reader thread away from the USB transfers while it lives.
    class Hold {
    public:
        explicit Hold(Channel& c) : c_(c) {
            if (!c_.streamed_) return;
            std::unique_lock lock(c_.m_);
            ++c_.holds_;
            c_.cv_.notify_all();
            held_ = c_.cv_.wait_for(lock, kHoldBound, [&] { return c_.idle_; });
        }
        // False when the reader still had reads out when the wait ended.
        bool held() const { return held_; }
        ~Hold() {
            if (!c_.streamed_) return;
            {
                std::lock_guard lock(c_.m_);
                --c_.holds_;
            }
            c_.cv_.notify_all();
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        Channel& c_;
        bool held_ = true;
    };

    std::size_t waiting() const { return rx_.size() - rxHead_; }

    // Called with m_ held.
    std::uint32_t take(std::uint8_t* dst, std::uint32_t count) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, waiting()));
        if (n) std::memcpy(dst, rx_.data() + rxHead_, n);
        rxHead_ += n;
        if (rxHead_ == rx_.size()) {
            rx_.clear();
            rxHead_ = 0;
        }
        return n;
    }

    void append(const std::uint8_t* data, std::size_t count) {
        {
            std::lock_guard lock(m_);
            if (rxHead_ > 0 && rxHead_ >= rx_.size() / 2) {
                rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_));
                rxHead_ = 0;
            }
            count = std::min(count, kReceiveCap - std::min(kReceiveCap, waiting()));
            rx_.insert(rx_.end(), data, data + count);
        }
        cv_.notify_all();
    }

    void dropReceived() {
        std::lock_guard lock(m_);
        rx_.clear();
        rxHead_ = 0;
    }

    FT_STATUS failed(int code) {
        const FT_STATUS s = statusForTransferError(code);
        if (code == LIBUSB_ERROR_NO_DEVICE) {
            std::lock_guard lock(m_);
            lost_ = s;
        }
        return s;
    }

    // Channel A: fetch what the chip has sent. One libftdi read returns as
    // soon as the chip sends a packet without data, at the latest after one
    // latency period.
    FT_STATUS poll() {
        {
            std::lock_guard lock(m_);
            if (paused_ || waiting() >= kReceiveCap) return FT_OK;
        }
        scratch_.resize(kStreamTransferSize);
        const int r = io_->readData(scratch_.data(), static_cast<int>(scratch_.size()));
        if (r > 0) append(scratch_.data(), static_cast<std::size_t>(r));
        if (r >= 0 || r == LIBUSB_ERROR_TIMEOUT) return FT_OK;
        return failed(r);
    }

    // The reader of a streamed channel, running from open to close. It stops
    // the transfers while the channel is paused, held or broken, and is idle
    // only once every one of them is back.
    void inTask() {
        std::unique_lock lock(m_);
        bool streaming = false;
        bool readsOut = false;  // stopped, but the USB stack has not given all back
        auto runnable = [&] { return !paused_ && holds_ == 0 && lost_ == FT_OK; };
        while (!quit_) {
            if (!runnable()) {
                if (streaming || readsOut) {
                    lock.unlock();
                    readsOut = !io_->stopStream();
                    lock.lock();
                    streaming = false;
                }
                idle_ = !readsOut;
                cv_.notify_all();
                // Reads still out: go on handling events (each round is
                // bounded) until they are back or the channel may run again.
                if (readsOut) continue;
                cv_.wait(lock, [&] { return quit_ || runnable(); });
                continue;
            }
            idle_ = false;
            lock.unlock();
            int r = 0;
            if (!streaming) {
                r = io_->startStream(kStreamTransferSize, kStreamTransfers,
                                     [this](const std::uint8_t* d, std::size_t n) { append(d, n); });
                streaming = true;  // even half started, what is queued must be stopped
                readsOut = false;  // those still out are resubmitted as they come back
            }
            if (r >= 0) r = io_->pollStream(kStreamPollMs);
            lock.lock();
            if (r < 0 && r != LIBUSB_ERROR_TIMEOUT) {
                // The stream broke: unplugged, or a transfer failed. Either
                // way the data is no longer whole; callers get status 4 until
                // a reset or close.
                lost_ = statusForTransferError(r) == FT_INSUFFICIENT_RESOURCES
                            ? FT_INSUFFICIENT_RESOURCES
                            : FT_IO_ERROR;
                cv_.notify_all();
            }
        }
        // Closing the channel stops what is still queued.
        idle_ = true;
    }

    std::unique_ptr<FtdiChannel> io_;
    const bool streamed_;
    const std::uint8_t bus_;
    const std::uint8_t address_;
    const int interface_;
    std::uint32_t readTimeoutMs_ = 0;
    std::vector<std::uint8_t> scratch_;

    std::mutex m_;  // everything below, shared with the reader thread
    std::condition_variable cv_;
    std::vector<std::uint8_t> rx_;
    std::size_t rxHead_ = 0;
    FT_STATUS lost_ = FT_OK;
    bool paused_ = false;
    int holds_ = 0;
    bool idle_ = true;
    bool quit_ = false;
    std::thread task_;
};

LibFtdiD2xx::LibFtdiD2xx(std::unique_ptr<FtdiApi> api, NoteSink note)
    : api_(std::move(api)), note_(std::move(note)) {}

LibFtdiD2xx::~LibFtdiD2xx() {
    // Before the api they came from.
    while (!channels_.empty()) closeChannel(channels_.begin());
}

void LibFtdiD2xx::closeChannel(std::map<FT_HANDLE, std::unique_ptr<Channel>>::iterator it) {
    const char name = it->second->name();
    const bool whole = it->second->close();
    channels_.erase(it);
    if (!whole && note_)
        note_(std::string("libftdi backend: channel ") + name +
              ": USB reads still out a second after they were cancelled; its USB context is left open");
}

void LibFtdiD2xx::rescan() {
    list_.clear();
    listed_ = true;
    std::vector<UsbDeviceInfo> found;
    // No USB subsystem means no board: the operator is told that, not more.
    if (api_->findAll(&found) < 0) return;
    std::sort(found.begin(), found.end(), [](const UsbDeviceInfo& a, const UsbDeviceInfo& b) {
        return std::tie(a.bus, a.ports, a.address) < std::tie(b.bus, b.ports, b.address);
    });
    for (const UsbDeviceInfo& d : found) {
        const int n = interfacesOf(d);
        for (int i = 0; i < n; ++i) list_.push_back({d, i, n});
    }
}

void LibFtdiD2xx::listIfNeeded() {
    if (!listed_) rescan();
}

LibFtdiD2xx::Channel* LibFtdiD2xx::channelOf(FT_HANDLE handle) const {
    const auto it = channels_.find(handle);
    return it == channels_.end() ? nullptr : it->second.get();
}

FT_HANDLE LibFtdiD2xx::handleOf(const Listed& device) const {
    for (const auto& [handle, channel] : channels_)
        if (channel->is(device.usb, device.interface)) return handle;
    return 0;
}

std::string LibFtdiD2xx::serialOf(const Listed& d) {
    if (d.usb.serial.empty() || d.interfaces == 1) return d.usb.serial;
    return d.usb.serial + static_cast<char>('A' + d.interface);
}

std::string LibFtdiD2xx::descriptionOf(const Listed& d) {
    if (!d.usb.stringsRead) return {};
    std::string product = d.usb.product.empty() ? defaultProduct(d.usb) : d.usb.product;
    if (product.empty() || d.interfaces == 1) return product;
    return product + ' ' + static_cast<char>('A' + d.interface);
}

FT_STATUS LibFtdiD2xx::FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags) {
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1) return FT_INVALID_PARAMETER;
        rescan();
        *static_cast<std::uint32_t*>(arg1) = static_cast<std::uint32_t>(list_.size());
        return FT_OK;
    }
    if (!(flags & FT_LIST_BY_INDEX) || !arg2) return FT_INVALID_PARAMETER;
    const auto index = reinterpret_cast<std::uintptr_t>(arg1);
    listIfNeeded();
    if (index >= list_.size()) return FT_DEVICE_NOT_FOUND;
    const Listed& d = list_[index];
    if (flags & FT_OPEN_BY_SERIAL_NUMBER) copyText(arg2, 16, serialOf(d));
    else if (flags & FT_OPEN_BY_DESCRIPTION) copyText(arg2, 64, descriptionOf(d));
    else return FT_INVALID_PARAMETER;
    return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Open(int deviceNumber, FT_HANDLE* handle) {
    if (!handle) return FT_INVALID_PARAMETER;
    listIfNeeded();
    if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= list_.size())
        return FT_DEVICE_NOT_FOUND;
    const Listed& d = list_[static_cast<std::size_t>(deviceNumber)];
    // One opener per channel, as the vendor's driver has it.
    if (handleOf(d) != 0) return FT_DEVICE_NOT_OPENED;
    std::unique_ptr<FtdiChannel> io;
    if (const int r = api_->open(d.usb, d.interface, &io); r < 0 || !io) {
        // A list older than a replug names a device address that is gone.
        if (r == kOpenNotFound) listed_ = false;
        return statusForOpenError(r < 0 ? r : kOpenNotFound);
    }
    const FT_HANDLE h = nextHandle_++;
    channels_[h] = std::make_unique<Channel>(std::move(io), d.interface != 0, d.usb, d.interface);
    *handle = h;
    return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Close(FT_HANDLE handle) {
    const auto it = channels_.find(handle);
    if (it == channels_.end()) return FT_INVALID_HANDLE;
    closeChannel(it);
    return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                               std::uint32_t* bytesReturned) {
    Channel* c = channelOf(handle);
    if (!c) return FT_INVALID_HANDLE;
    if (!buffer || !bytesReturned) return FT_INVALID_PARAMETER;
    return c->read(static_cast<std::uint8_t*>(buffer), bytesToRead, bytesReturned);
}

FT_STATUS LibFtdiD2xx::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                                std::uint32_t* bytesWritten) {
    Channel* c = channelOf(handle);
    if (!c) return FT_INVALID_HANDLE;
    if (!buffer || !bytesWritten) return FT_INVALID_PARAMETER;
    return c->write(static_cast<const std::uint8_t*>(buffer), bytesToWrite, bytesWritten);
}

FT_STATUS LibFtdiD2xx::FT_ResetDevice(FT_HANDLE handle) {
    Channel* c = channelOf(handle);
    return c ? c->reset() : FT_INVALID_HANDLE;
}

FT_STATUS LibFtdiD2xx::FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
    Channel* c = channelOf(handle);
    return c ? c->purge(mask) : FT_INVALID_HANDLE;
}

FT_STATUS LibFtdiD2xx::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                      std::uint32_t writeTimeoutMs) {
    Channel* c = channelOf(handle);
    if (!c) return FT_INVALID_HANDLE;
    c->setTimeouts(readTimeoutMs, writeTimeoutMs);
    return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_GetQueueStatus(FT_HANDLE handle, std::uint32_t* rxBytes) {
    Channel* c = channelOf(handle);
    if (!c) return FT_INVALID_HANDLE;
    if (!rxBytes) return FT_INVALID_PARAMETER;
    return c->queueStatus(rxBytes);
}

FT_STATUS LibFtdiD2xx::FT_StopInTask(FT_HANDLE handle) {
    Channel* c = channelOf(handle);
    return c ? c->setInTaskRunning(false) : FT_INVALID_HANDLE;
}

FT_STATUS LibFtdiD2xx::FT_RestartInTask(FT_HANDLE handle) {
    Channel* c = channelOf(handle);
    return c ? c->setInTaskRunning(true) : FT_INVALID_HANDLE;
}

FT_STATUS LibFtdiD2xx::FT_CreateDeviceInfoList(std::uint32_t* numDevices) {
    if (!numDevices) return FT_INVALID_PARAMETER;
    rescan();
    *numDevices = static_cast<std::uint32_t>(list_.size());
    return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                              std::uint32_t* type, std::uint32_t* id,
                                              std::uint32_t* locId, void* serialNumber,
                                              void* description, FT_HANDLE* handle) {
    listIfNeeded();
    if (index >= list_.size()) return FT_DEVICE_NOT_FOUND;
    const Listed& d = list_[index];
    const FT_HANDLE open = handleOf(d);
    // Bit 0: opened (by this program; others' opens are not visible here),
    // bit 1: running at high speed.
    if (flags) *flags = (open ? 1u : 0u) | (d.usb.highSpeed ? 2u : 0u);
    if (type) *type = deviceTypeOf(d.usb);
    if (id) *id = static_cast<std::uint32_t>(d.usb.vendorId) << 16 | d.usb.productId;
    if (locId) *locId = locationOf(d.usb, d.interface, d.interfaces);
    if (serialNumber) copyText(serialNumber, 16, serialOf(d));
    if (description) copyText(description, 64, descriptionOf(d));
    if (handle) *handle = open;
    return FT_OK;
}

FT_STATUS LibFtdiD2xx::FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t latencyMs) {
    Channel* c = channelOf(handle);
    if (!c) return FT_INVALID_HANDLE;
    if (latencyMs == 0) return FT_INVALID_PARAMETER;  // the chip takes 1..255 ms
    if (const FT_STATUS s = c->lostStatus()) return s;
    return c->control(c->io().setLatencyTimer(latencyMs));
}

FT_STATUS LibFtdiD2xx::FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    Channel* c = channelOf(handle);
    if (!c) return FT_INVALID_HANDLE;
    if (const FT_STATUS s = c->lostStatus()) return s;
    // The mode codes are the chip's own (0 reset, 2 MPSSE, ...), the same in
    // both libraries.
    return c->control(c->io().setBitmode(mask, mode));
}

FT_STATUS LibFtdiD2xx::FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                           std::uint32_t outTransferSize) {
    Channel* c = channelOf(handle);
    if (!c) return FT_INVALID_HANDLE;
    auto ok = [](std::uint32_t n) { return n >= 64 && n <= 65536 && n % 64 == 0; };
    if (!ok(inTransferSize) || (outTransferSize != 0 && !ok(outTransferSize)))
        return FT_INVALID_PARAMETER;
    if (const FT_STATUS s = c->lostStatus()) return s;
    // The streamed channels keep their own large transfers; this sizes the
    // polled reads and all writes.
    return c->control(c->io().setChunkSizes(std::max(inTransferSize, kMinReadChunk), outTransferSize));
}

}  // namespace platform
