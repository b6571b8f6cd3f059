#include "sim/usb_bridge.h"

#include <algorithm>

namespace sim {

UsbBridge::UsbBridge(UsbTimingSettings settings, std::size_t chipBufferSize)
    : settings_(settings), chipBufferSize_(std::max<std::size_t>(chipBufferSize, 1)) {}

void UsbBridge::setLatencyTimerMs(std::uint8_t ms) { latencyMs_ = std::max<std::uint8_t>(ms, 1); }

std::uint64_t UsbBridge::timerExpiryNs() const {
    return firstByteNs_ + std::uint64_t{latencyMs_} * 1'000'000;
}

void UsbBridge::send(std::uint64_t chipNs, std::size_t count) {
    Packet p;
    p.leftChipNs = chipNs;
    p.bytes.reserve(StatusBytes + count);
    p.bytes.push_back(ModemStatus0);
    p.bytes.push_back(ModemStatus1);
    for (std::size_t i = 0; i < count; ++i) {
        p.bytes.push_back(chip_.front());
        chip_.pop_front();
    }
    if (ideal()) {
        p.arrivalNs = 0;
    } else {
        // The host fetches on the microframe after the packet is ready.
        const std::uint64_t frame = (chipNs / MicroframeNs + 1) * MicroframeNs;
        p.arrivalNs = std::max(frame + std::uint64_t{settings_.hostLatencyUs} * 1000, lastArrivalNs_);
        lastArrivalNs_ = p.arrivalNs;
    }
    flight_.push_back(std::move(p));
    ++packetsSent_;
    // Bytes still waiting start the timer afresh.
    firstByteNs_ = chipNs;
}

void UsbBridge::advance(std::uint64_t chipNs) {
    if (ideal() || chip_.empty()) return;
    const std::uint64_t expiry = timerExpiryNs();
    if (expiry <= chipNs) send(expiry, chip_.size());
}

std::size_t UsbBridge::push(std::uint64_t chipNs, const std::uint8_t* data, std::size_t count) {
    advance(chipNs);
    std::size_t taken = 0;
    while (taken < count && chip_.size() < chipBufferSize_) {
        if (chip_.empty()) firstByteNs_ = chipNs;
        chip_.push_back(data[taken++]);
        if (chip_.size() == PayloadSize || ideal()) send(chipNs, chip_.size());
    }
    return taken;
}

void UsbBridge::sendImmediate(std::uint64_t chipNs) {
    advance(chipNs);
    if (!chip_.empty()) send(chipNs, chip_.size());
}

std::optional<UsbBridge::Packet> UsbBridge::receive(std::uint64_t hostNs) {
    advance(hostNs);
    if (flight_.empty() || flight_.front().arrivalNs > hostNs) return std::nullopt;
    Packet p = std::move(flight_.front());
    flight_.pop_front();
    return p;
}

std::optional<std::uint64_t> UsbBridge::nextArrivalNs() const {
    if (!flight_.empty()) return flight_.front().arrivalNs;
    if (chip_.empty()) return std::nullopt;
    if (ideal()) return 0;
    const std::uint64_t frame = (timerExpiryNs() / MicroframeNs + 1) * MicroframeNs;
    return std::max(frame + std::uint64_t{settings_.hostLatencyUs} * 1000, lastArrivalNs_);
}

void UsbBridge::purge() {
    chip_.clear();
    flight_.clear();
}

void ReceiveQueue::collect(std::uint64_t hostNs) {
    while (auto p = bridge_.receive(hostNs)) bytes_.insert(bytes_.end(), p->payload(), p->payload() + p->payloadSize());
}

std::size_t ReceiveQueue::available(std::uint64_t hostNs) {
    collect(hostNs);
    return bytes_.size();
}

std::size_t ReceiveQueue::read(std::uint64_t hostNs, std::uint8_t* dst, std::size_t count) {
    collect(hostNs);
    const std::size_t n = std::min(count, bytes_.size());
    std::copy_n(bytes_.begin(), n, dst);
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void ReceiveQueue::purge() {
    bytes_.clear();
    bridge_.purge();
}

}  // namespace sim
