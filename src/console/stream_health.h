// The health of a transport stream, counted as it flows: packets and bytes,
// the average rate, continuity-counter errors per PID and losses of packet
// sync. It knows nothing of widgets or devices, so the pump, the headless
// check and the tests feed it the same way.
#pragma once

#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>

#include "console/packet_aligner.h"

namespace console {

class StreamHealth {
public:
    static constexpr std::size_t PacketSize = PacketAligner::PacketSize;
    static constexpr std::uint8_t SyncByte = PacketAligner::SyncByte;
    static constexpr std::uint16_t NullPid = 0x1FFF;

    // Any run of bytes, however it is cut: a packet split between two calls
    // is put together first. Bytes that do not sit on 188-byte sync spacing
    // count as one sync loss per episode until sync is found again.
    void feed(const std::uint8_t* data, std::size_t size);
    // One whole packet from a caller that keeps the alignment itself; a
    // packet whose first byte is not 0x47 counts as a sync loss and nothing
    // else.
    void feedPacket(const std::uint8_t* packet);
    // A caller that keeps the alignment itself lost sync once.
    void countSyncLoss() { ++syncLosses_; }

    // The time the bytes took, for the average rate; 0 leaves the rate 0.
    void setElapsedUs(std::int64_t us) { elapsedUs_ = us; }

    std::uint64_t packets() const { return packets_; }
    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t continuityErrors() const { return ccErrors_; }
    std::uint64_t syncLosses() const { return syncLosses_ + aligner_.syncLosses(); }
    // Bytes that feed() dropped while looking for sync.
    std::uint64_t bytesSkipped() const { return aligner_.bytesSkipped(); }
    // Continuity errors of one PID (0..0x1FFF).
    std::uint64_t continuityErrors(std::uint16_t pid) const;
    // Megabits per second over the elapsed time; 0 when none was given.
    double megabitsPerSecond() const;

    // "TS health: P packets, R Mbit/s, C continuity errors, S sync losses"
    QString summary() const;

    // Forgets everything, for a new run.
    void reset();

private:
    void countPacket(const std::uint8_t* packet);

    // Per PID: the last continuity counter seen on a packet with payload
    // (bit 7: a counter is known; bit 6: the last packet was already a
    // duplicate, so a second repeat is an error).
    std::array<std::uint8_t, 0x2000> lastCc_{};
    std::array<std::uint32_t, 0x2000> ccErrorsPerPid_{};

    PacketAligner aligner_;

    std::uint64_t packets_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t ccErrors_ = 0;
    std::uint64_t syncLosses_ = 0;
    std::int64_t elapsedUs_ = 0;
};

}  // namespace console
