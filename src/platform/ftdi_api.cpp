#include "platform/ftdi_api.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

// libftdi1's "device not found" from its open calls.
constexpr int kOpenNotFound = -3;
// libftdi waits 5 s by default; an answer from a healthy chip arrives within
// one latency period (at most 255 ms), so a second is plenty and keeps a
// wedged board from freezing the program for long.
constexpr int kReadTimeoutMs = 1000;
// Cancelled transfers come back within microseconds; this only guards
// against a host controller that never returns them.
constexpr auto kStopBound = std::chrono::milliseconds(1000);

std::string stringDescriptor(libusb_device_handle* handle, std::uint8_t index) {
    if (index == 0) return {};  // the EEPROM has no such string
    unsigned char text[256] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text - 1);
    if (n <= 0) return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n));
}

int libusbErrorOf(libusb_transfer_status status) {
    switch (status) {
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    default: return LIBUSB_ERROR_IO;
    }
}

class LibFtdiChannel final : public FtdiChannel {
public:
    explicit LibFtdiChannel(ftdi_context* ctx) : ctx_(ctx) {}

    ~LibFtdiChannel() override { close(); }

    bool close() override {
        if (closed_) return closedWhole_;
        closed_ = true;
        closedWhole_ = stopStream();
        for (Transfer* t : transfers_) {
            // One that never came back still belongs to libusb and the
            // kernel: it, its buffer and its context stay as they are.
            if (t->inFlight) continue;
            libusb_free_transfer(t->transfer);
            delete t;
        }
        transfers_.clear();
        if (!closedWhole_) return false;
        ftdi_usb_close(ctx_);
        ftdi_free(ctx_);
        return true;
    }

    int readData(std::uint8_t* buffer, int size) override {
        // One bulk read per call, not ftdi_read_data: that one goes on
        // reading until it has all `size` bytes or the chip sends a packet
        // without data, which the chip does only when its latency timer runs
        // out. Every poll would then cost a whole latency period, even when
        // the answer came in the first packet.
        if (pending_.empty()) {
            const int chunk = static_cast<int>(std::max(ctx_->readbuffer_chunksize, 512u));
            raw_.resize(static_cast<std::size_t>(chunk));
            int actual = 0;
            const int r = libusb_bulk_transfer(ctx_->usb_dev, static_cast<unsigned char>(ctx_->out_ep),
                                               raw_.data(), chunk, &actual,
                                               static_cast<unsigned>(ctx_->usb_read_timeout));
            // A time-out still hands over what arrived before it.
            if (r < 0 && !(r == LIBUSB_ERROR_TIMEOUT && actual > 0)) return r;
            payloads(raw_.data(), actual, [this](const std::uint8_t* p, std::size_t n) {
                pending_.insert(pending_.end(), p, p + n);
            });
        }
        const int n = std::min(size, static_cast<int>(pending_.size()));
        std::copy_n(pending_.begin(), n, buffer);
        pending_.erase(pending_.begin(), pending_.begin() + n);
        return n;
    }

    int writeData(const std::uint8_t* data, int size, int* written) override {
        // Written with libusb directly: ftdi_write_data forgets both the
        // libusb error and how much of a timed-out chunk went out.
        *written = 0;
        const int chunk = static_cast<int>(std::max(ctx_->writebuffer_chunksize, 64u));
        while (*written < size) {
            int actual = 0;
            const int n = std::min(chunk, size - *written);
            const int r = libusb_bulk_transfer(ctx_->usb_dev, static_cast<unsigned char>(ctx_->in_ep),
                                               const_cast<std::uint8_t*>(data) + *written, n, &actual,
                                               static_cast<unsigned>(ctx_->usb_write_timeout));
            *written += actual;
            if (r < 0) return r;
        }
        return 0;
    }

    int setBitmode(std::uint8_t mask, std::uint8_t mode) override {
        return ftdi_set_bitmode(ctx_, mask, mode);
    }
    int setLatencyTimer(std::uint8_t ms) override { return ftdi_set_latency_timer(ctx_, ms); }
    int purgeReceive() override {
        pending_.clear();
        return ftdi_tciflush(ctx_);
    }
    int purgeTransmit() override { return ftdi_tcoflush(ctx_); }
    int reset() override {
        pending_.clear();
        return ftdi_usb_reset(ctx_);
    }

    int setChunkSizes(unsigned readSize, unsigned writeSize) override {
        if (readSize) {
            if (const int r = ftdi_read_data_set_chunksize(ctx_, readSize)) return r;
        }
        if (writeSize) return ftdi_write_data_set_chunksize(ctx_, writeSize);
        return 0;
    }

    void setWriteTimeout(int ms) override { ctx_->usb_write_timeout = ms; }

    int startStream(int transferSize, int transfers, StreamSink sink) override {
        std::lock_guard lock(m_);
        sink_ = std::move(sink);
        error_ = 0;
        resubmit_ = true;
        while (static_cast<int>(transfers_.size()) < transfers) {
            auto* t = new Transfer;
            t->owner = this;
            t->transfer = libusb_alloc_transfer(0);
            if (!t->transfer) {
                delete t;
                return LIBUSB_ERROR_NO_MEM;
            }
            transfers_.push_back(t);
        }
        for (Transfer* t : transfers_) {
            if (t->inFlight) continue;
            t->buffer.resize(static_cast<std::size_t>(transferSize));
            // No time-out: the chip answers every latency period, and
            // stopStream cancels what is still out.
            libusb_fill_bulk_transfer(t->transfer, ctx_->usb_dev,
                                      static_cast<unsigned char>(ctx_->out_ep), t->buffer.data(),
                                      transferSize, &LibFtdiChannel::done, t, 0);
            if (const int r = submit(t)) return r;
        }
        return 0;
    }

    int pollStream(int timeoutMs) override {
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        const int r = libusb_handle_events_timeout_completed(ctx_->usb_ctx, &tv, nullptr);
        if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT) return r;
        std::lock_guard lock(m_);
        return error_;
    }

    bool stopStream() override {
        {
            std::lock_guard lock(m_);
            resubmit_ = false;
            for (Transfer* t : transfers_)
                if (t->inFlight) libusb_cancel_transfer(t->transfer);
        }
        const auto until = std::chrono::steady_clock::now() + kStopBound;
        while (anyInFlight()) {
            if (std::chrono::steady_clock::now() >= until) return false;
            timeval tv{0, 50 * 1000};
            libusb_handle_events_timeout_completed(ctx_->usb_ctx, &tv, nullptr);
        }
        return true;
    }

private:
    struct Transfer {
        LibFtdiChannel* owner = nullptr;
        libusb_transfer* transfer = nullptr;
        std::vector<std::uint8_t> buffer;
        bool inFlight = false;
    };

    bool anyInFlight() {
        std::lock_guard lock(m_);
        return std::any_of(transfers_.begin(), transfers_.end(), [](Transfer* t) { return t->inFlight; });
    }

    // Called with m_ held.
    int submit(Transfer* t) {
        const int r = libusb_submit_transfer(t->transfer);
        t->inFlight = r == 0;
        return r;
    }

    static void LIBUSB_CALL done(libusb_transfer* transfer) {
        auto* t = static_cast<Transfer*>(transfer->user_data);
        t->owner->completed(t);
    }

    void completed(Transfer* t) {
        libusb_transfer* x = t->transfer;
        std::lock_guard lock(m_);
        t->inFlight = false;
        switch (x->status) {
        case LIBUSB_TRANSFER_COMPLETED:
        case LIBUSB_TRANSFER_TIMED_OUT:
        case LIBUSB_TRANSFER_CANCELLED:
            deliver(x->buffer, x->actual_length);
            break;
        default:
            if (!error_) error_ = libusbErrorOf(x->status);
            return;
        }
        if (resubmit_ && !error_) {
            if (const int r = submit(t)) error_ = r;
        }
    }

    void deliver(const std::uint8_t* data, int length) {
        if (sink_) payloads(data, length, sink_);
    }

    // Every packet of the chip starts with two modem-status bytes: what a
    // bulk read brought goes to take(payload, size) packet by packet.
    template <typename Take>
    void payloads(const std::uint8_t* data, int length, Take&& take) const {
        const int packet = static_cast<int>(ctx_->max_packet_size ? ctx_->max_packet_size : 64);
        for (int at = 0; at < length; at += packet) {
            const int n = std::min(packet, length - at);
            if (n > 2) take(data + at + 2, static_cast<std::size_t>(n - 2));
        }
    }

    std::mutex m_;  // transfer state, shared with whichever thread runs the callbacks
    ftdi_context* ctx_;
    std::vector<std::uint8_t> raw_;      // one bulk read, modem-status bytes included
    std::vector<std::uint8_t> pending_;  // payload a short readData left over
    std::vector<Transfer*> transfers_;
    StreamSink sink_;
    int error_ = 0;
    bool resubmit_ = false;
    bool closed_ = false;
    bool closedWhole_ = true;
};

class LibFtdiApi final : public FtdiApi {
public:
    ~LibFtdiApi() override {
        if (scan_) ftdi_free(scan_);
    }

    int findAll(std::vector<UsbDeviceInfo>* devices) override {
        devices->clear();
        // Without a USB subsystem (no usbfs in a container) libusb cannot
        // start; try again on the next scan in case it appears.
        if (!scan_) scan_ = ftdi_new();
        if (!scan_) return LIBUSB_ERROR_NOT_SUPPORTED;
        ftdi_device_list* list = nullptr;
        // 0, 0: the FTDI product IDs libftdi knows (232/245, 2232, 4232, 232H, X).
        const int n = ftdi_usb_find_all(scan_, &list, 0, 0);
        if (n < 0) return n;
        for (ftdi_device_list* d = list; d; d = d->next) {
            libusb_device* dev = d->dev;
            libusb_device_descriptor desc{};
            if (libusb_get_device_descriptor(dev, &desc) < 0) continue;
            UsbDeviceInfo info;
            info.vendorId = desc.idVendor;
            info.productId = desc.idProduct;
            info.bcdDevice = desc.bcdDevice;
            info.bus = libusb_get_bus_number(dev);
            info.address = libusb_get_device_address(dev);
            std::uint8_t ports[8] = {};
            const int np = libusb_get_port_numbers(dev, ports, sizeof ports);
            if (np > 0) info.ports.assign(ports, ports + np);
            info.highSpeed = libusb_get_device_speed(dev) >= LIBUSB_SPEED_HIGH;
            libusb_device_handle* handle = nullptr;
            if (libusb_open(dev, &handle) == 0) {
                info.stringsRead = true;
                info.product = stringDescriptor(handle, desc.iProduct);
                info.serial = stringDescriptor(handle, desc.iSerialNumber);
                libusb_close(handle);
            }
            devices->push_back(std::move(info));
        }
        ftdi_list_free(&list);
        return 0;
    }

    int open(const UsbDeviceInfo& device, int interface,
             std::unique_ptr<FtdiChannel>* channel) override {
        // One context per channel: each has its own libusb context, so the
        // stream of channel B never waits on events of channel A.
        ftdi_context* ctx = ftdi_new();
        if (!ctx) return kOpenNotFound;  // no USB, so no such device
        if (ftdi_set_interface(ctx, static_cast<ftdi_interface>(INTERFACE_A + interface)) < 0) {
            ftdi_free(ctx);
            return kOpenNotFound;
        }
        ctx->module_detach_mode = AUTO_DETACH_SIO_MODULE;
        if (const int r = ftdi_usb_open_bus_addr(ctx, device.bus, device.address); r < 0) {
            ftdi_free(ctx);
            return r;
        }
        ctx->usb_read_timeout = kReadTimeoutMs;
        *channel = std::make_unique<LibFtdiChannel>(ctx);
        return 0;
    }

private:
    ftdi_context* scan_ = nullptr;
};

}  // namespace

std::unique_ptr<FtdiApi> makeLibFtdiApi() { return std::make_unique<LibFtdiApi>(); }

}  // namespace platform
