#include "console/stream_health.h"

namespace console {

namespace {

constexpr std::uint8_t CcKnown = 0x80;
constexpr std::uint8_t CcRepeated = 0x40;
constexpr std::uint8_t CcMask = 0x0F;

}  // namespace

void StreamHealth::feed(const std::uint8_t* data, std::size_t size) {
    bytes_ += size;
    aligner_.push(
        data, size, [this](const std::uint8_t* packet) { countPacket(packet); },
        [](std::uint64_t) {});
}

void StreamHealth::feedPacket(const std::uint8_t* packet) {
    bytes_ += PacketSize;
    if (packet[0] != SyncByte) {
        ++syncLosses_;
        return;
    }
    countPacket(packet);
}

void StreamHealth::countPacket(const std::uint8_t* p) {
    ++packets_;
    const bool transportError = (p[1] & 0x80) != 0;
    if (transportError) {
        // The demodulator could not correct this packet: its header may be
        // as wrong as its payload, so it says nothing about continuity.
        return;
    }
    const auto pid = static_cast<std::uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    if (pid == NullPid) return;  // stuffing has no counter worth checking

    const std::uint8_t control = (p[3] >> 4) & 0x3;
    const std::uint8_t cc = p[3] & CcMask;
    const bool hasAdaptation = (control & 0x2) != 0;
    const bool hasPayload = (control & 0x1) != 0;
    const bool discontinuity = hasAdaptation && p[4] > 0 && (p[5] & 0x80) != 0;

    std::uint8_t& last = lastCc_[pid];
    if (discontinuity) {
        // The source says the counter starts afresh here.
        last = hasPayload ? static_cast<std::uint8_t>(CcKnown | cc) : 0;
        return;
    }
    // The counter moves only with payload; adaptation-only packets (a PCR
    // on its own PID, say) repeat it and prove nothing.
    if (!hasPayload) return;
    if (!(last & CcKnown)) {
        last = static_cast<std::uint8_t>(CcKnown | cc);
        return;
    }
    const std::uint8_t previous = last & CcMask;
    if (cc == previous) {
        // One duplicate of a packet is allowed; a second repeat is not.
        if (last & CcRepeated) {
            ++ccErrors_;
            ++ccErrorsPerPid_[pid];
        }
        last |= CcRepeated;
        return;
    }
    if (cc != ((previous + 1) & CcMask)) {
        ++ccErrors_;
        ++ccErrorsPerPid_[pid];
    }
    last = static_cast<std::uint8_t>(CcKnown | cc);
}

std::uint64_t StreamHealth::continuityErrors(std::uint16_t pid) const {
    return pid < ccErrorsPerPid_.size() ? ccErrorsPerPid_[pid] : 0;
}

double StreamHealth::megabitsPerSecond() const {
    if (elapsedUs_ <= 0) return 0.0;
    return static_cast<double>(bytes_) * 8.0 / static_cast<double>(elapsedUs_);
}

QString StreamHealth::summary() const {
    return QStringLiteral("TS health: %1 packets, %2 bytes in %3 s, %4 Mbit/s, %5 continuity errors, "
                          "%6 sync losses")
        .arg(packets_)
        .arg(bytes_)
        .arg(static_cast<double>(elapsedUs_) / 1e6, 0, 'f', 2)
        .arg(megabitsPerSecond(), 0, 'f', 2)
        .arg(ccErrors_)
        .arg(syncLosses());
}

void StreamHealth::reset() {
    lastCc_.fill(0);
    ccErrorsPerPid_.fill(0);
    aligner_.reset();
    packets_ = 0;
    bytes_ = 0;
    ccErrors_ = 0;
    syncLosses_ = 0;
    elapsedUs_ = 0;
}

}  // namespace console
