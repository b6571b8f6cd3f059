// A bus of FTDI devices behind the libftdi seam. Tests put devices on it,
// feed bytes that the chip "sends", break transfers and look at what the
// backend asked for. Shared by the api and its channels, which the backend
// owns, so the test keeps its own reference.
#pragma once

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ftdi_api.h"

namespace fake {

struct ChannelState {
    bool open = false;
    int opens = 0;
    std::deque<std::uint8_t> fromChip;  // waiting in the chip
    std::vector<std::uint8_t> written;
    int readError = 0;    // next readData results
    int writeError = 0;   // writeData result
    int writeAccepted = -1;  // bytes a failing write still took; -1 all
    int streamError = 0;  // pollStream result
    int controlError = 0; // result of every control request
    int purgesRx = 0, purgesTx = 0, resets = 0;
    int latency = 16;
    int bitmask = -1, bitmode = -1;
    unsigned readChunk = 0, writeChunk = 0;
    int writeTimeout = 0;
    int streamStarts = 0, streamStops = 0;
    bool streaming = false;
    // The USB stack keeps the cancelled reads: stops come back false.
    bool readsStuck = false;
    int closes = 0;
    int readCalls = 0;
    // Fed into fromChip on the given readData call (1-based).
    std::map<int, std::vector<std::uint8_t>> onReadCall;
};

struct Bus {
    std::mutex m;
    std::vector<platform::UsbDeviceInfo> devices;
    int findResult = 0;
    std::map<std::pair<int, int>, int> openResult;  // (address, interface) -> code
    std::map<std::pair<int, int>, ChannelState> channels;
    std::vector<std::pair<int, int>> openCalls;

    ChannelState& at(int address, int interface) { return channels[{address, interface}]; }

    void feed(int address, int interface, const std::vector<std::uint8_t>& bytes) {
        std::lock_guard lock(m);
        auto& q = at(address, interface).fromChip;
        q.insert(q.end(), bytes.begin(), bytes.end());
    }

    template <typename F>
    auto with(int address, int interface, F f) {
        std::lock_guard lock(m);
        return f(at(address, interface));
    }
};

class Channel : public platform::FtdiChannel {
public:
    Channel(std::shared_ptr<Bus> bus, int address, int interface)
        : bus_(std::move(bus)), key_(address, interface) {}
    ~Channel() override {
        std::lock_guard lock(bus_->m);
        state().open = false;
    }

    int readData(std::uint8_t* buffer, int size) override {
        std::lock_guard lock(bus_->m);
        ChannelState& s = state();
        ++s.readCalls;
        if (auto it = s.onReadCall.find(s.readCalls); it != s.onReadCall.end())
            s.fromChip.insert(s.fromChip.end(), it->second.begin(), it->second.end());
        if (s.readError) return s.readError;
        return static_cast<int>(move(s, buffer, static_cast<std::size_t>(size)));
    }

    int writeData(const std::uint8_t* data, int size, int* written) override {
        std::lock_guard lock(bus_->m);
        ChannelState& s = state();
        const int n = s.writeError && s.writeAccepted >= 0 ? std::min(size, s.writeAccepted) : size;
        if (!s.writeError || s.writeAccepted >= 0) s.written.insert(s.written.end(), data, data + n);
        *written = s.writeError && s.writeAccepted < 0 ? 0 : n;
        return s.writeError;
    }

    int setBitmode(std::uint8_t mask, std::uint8_t mode) override {
        return control([&](ChannelState& s) { s.bitmask = mask, s.bitmode = mode; });
    }
    int setLatencyTimer(std::uint8_t ms) override {
        return control([&](ChannelState& s) { s.latency = ms; });
    }
    int purgeReceive() override {
        // The chip's own buffer empties too.
        return control([](ChannelState& s) { ++s.purgesRx, s.fromChip.clear(); });
    }
    int purgeTransmit() override { return control([](ChannelState& s) { ++s.purgesTx; }); }
    int reset() override { return control([](ChannelState& s) { ++s.resets; }); }
    int setChunkSizes(unsigned r, unsigned w) override {
        return control([&](ChannelState& s) {
            if (r) s.readChunk = r;
            if (w) s.writeChunk = w;
        });
    }
    void setWriteTimeout(int ms) override {
        std::lock_guard lock(bus_->m);
        state().writeTimeout = ms;
    }

    int startStream(int, int, platform::StreamSink sink) override {
        std::lock_guard lock(bus_->m);
        sink_ = std::move(sink);
        ++state().streamStarts;
        state().streaming = true;
        return 0;
    }

    int pollStream(int timeoutMs) override {
        std::vector<std::uint8_t> got(16384);
        std::size_t n = 0;
        {
            std::lock_guard lock(bus_->m);
            ChannelState& s = state();
            if (s.streamError) return s.streamError;
            n = move(s, got.data(), got.size());
        }
        if (n) sink_(got.data(), n);
        else std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 2)));
        return 0;
    }

    bool stopStream() override {
        bool stuck = false;
        {
            std::lock_guard lock(bus_->m);
            ++state().streamStops;
            state().streaming = false;
            stuck = state().readsStuck;
        }
        // The real one waits its bound before it gives up.
        if (stuck) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return !stuck;
    }

    bool close() override {
        const bool whole = stopStream();
        std::lock_guard lock(bus_->m);
        ++state().closes;
        return whole;
    }

private:
    ChannelState& state() { return bus_->at(key_.first, key_.second); }

    static std::size_t move(ChannelState& s, std::uint8_t* dst, std::size_t size) {
        const std::size_t n = std::min(size, s.fromChip.size());
        std::copy_n(s.fromChip.begin(), n, dst);
        s.fromChip.erase(s.fromChip.begin(), s.fromChip.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }

    template <typename F>
    int control(F f) {
        std::lock_guard lock(bus_->m);
        ChannelState& s = state();
        if (s.controlError) return s.controlError;
        f(s);
        return 0;
    }

    std::shared_ptr<Bus> bus_;
    std::pair<int, int> key_;
    platform::StreamSink sink_;
};

class Api : public platform::FtdiApi {
public:
    explicit Api(std::shared_ptr<Bus> bus) : bus_(std::move(bus)) {}

    int findAll(std::vector<platform::UsbDeviceInfo>* devices) override {
        std::lock_guard lock(bus_->m);
        *devices = bus_->findResult < 0 ? std::vector<platform::UsbDeviceInfo>{} : bus_->devices;
        return bus_->findResult;
    }

    int open(const platform::UsbDeviceInfo& device, int interface,
             std::unique_ptr<platform::FtdiChannel>* channel) override {
        {
            std::lock_guard lock(bus_->m);
            bus_->openCalls.emplace_back(device.address, interface);
            if (auto it = bus_->openResult.find({device.address, interface});
                it != bus_->openResult.end() && it->second < 0)
                return it->second;
            const bool present = std::any_of(bus_->devices.begin(), bus_->devices.end(),
                                             [&](const auto& d) { return d.address == device.address; });
            if (!present) return -3;
            ChannelState& s = bus_->at(device.address, interface);
            s.open = true;
            ++s.opens;
        }
        *channel = std::make_unique<Channel>(bus_, device.address, interface);
        return 0;
    }

private:
    std::shared_ptr<Bus> bus_;
};

inline platform::UsbDeviceInfo ft2232h(std::uint8_t bus, std::uint8_t address,
                                       std::vector<std::uint8_t> ports, std::string serial,
                                       std::string product = "Vesper DVB-S2 bridge") {
    platform::UsbDeviceInfo d;
    d.vendorId = 0x0403;
    d.productId = 0x6010;
    d.bcdDevice = 0x0700;
    d.bus = bus;
    d.address = address;
    d.ports = std::move(ports);
    d.highSpeed = true;
    d.stringsRead = true;
    d.product = std::move(product);
    d.serial = std::move(serial);
    return d;
}

inline platform::UsbDeviceInfo ft232r(std::uint8_t bus, std::uint8_t address,
                                      std::vector<std::uint8_t> ports) {
    platform::UsbDeviceInfo d;
    d.vendorId = 0x0403;
    d.productId = 0x6001;
    d.bcdDevice = 0x0600;
    d.bus = bus;
    d.address = address;
    d.ports = std::move(ports);
    d.stringsRead = true;
    d.product = "FT232R USB UART";
    d.serial = "A50285BI";
    return d;
}

}  // namespace fake
