// Cuts a byte stream into whole 188-byte transport-stream packets, however
// the reads split it. A packet cut between two reads is kept and completed
// by the next one. The stream may start anywhere in a packet (a purge cuts
// it wherever the chip was), so the aligner first looks for two sync bytes
// 188 apart. Once in step, a packet that does not start on its sync byte
// means bytes were lost upstream: the aligner drops bytes until it finds two
// sync bytes 188 apart again and goes on from the first of them.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace console {

class PacketAligner {
public:
    static constexpr std::size_t PacketSize = 188;
    static constexpr std::uint8_t SyncByte = 0x47;
    // Sync bytes after a candidate that must be in place to accept it.
    static constexpr std::size_t Partners = 2;
    static constexpr std::size_t Lookahead = Partners * PacketSize;

    // onPacket(const std::uint8_t* packet) for every whole packet, in order;
    // onResync(std::uint64_t skipped) once per loss of sync, when sync is
    // found again, with the bytes dropped in that episode (not for the
    // bytes before the first packet).
    template <class OnPacket, class OnResync>
    void push(const std::uint8_t* data, std::size_t size, OnPacket&& onPacket, OnResync&& onResync) {
        if (pendingSize_ > 0) {
            // Join the kept bytes with the start of the new ones; what the
            // scan leaves over is never more than Lookahead bytes, so once it
            // has reached into the new data, the rest goes direct.
            const std::size_t old = pendingSize_;
            const std::size_t take = std::min(pending_.size() - old, size);
            std::memcpy(pending_.data() + old, data, take);
            const std::size_t n = old + take;
            const std::size_t used = scan(pending_.data(), n, onPacket, onResync);
            if (used < old) {
                // Everything new fitted in and is still undecided.
                std::memmove(pending_.data(), pending_.data() + used, n - used);
                pendingSize_ = n - used;
                return;
            }
            pendingSize_ = 0;
            data += used - old;
            size -= used - old;
        }
        const std::size_t used = scan(data, size, onPacket, onResync);
        pendingSize_ = size - used;
        std::memcpy(pending_.data(), data + used, pendingSize_);
    }

    // True while looking for sync, at the start or after a loss.
    bool searching() const { return !inSync_; }
    // True until the first packet has been found.
    bool acquiring() const { return acquiring_; }
    // Bytes dropped so far in the episode still in progress.
    std::uint64_t skippedInEpisode() const { return episodeSkipped_; }
    // Losses of sync so far.
    std::uint64_t syncLosses() const { return syncLosses_; }
    // Bytes dropped over all episodes, and before the first packet.
    std::uint64_t bytesSkipped() const { return totalSkipped_; }
    // Bytes of an unfinished packet (or still being checked for sync).
    std::size_t pending() const { return pendingSize_; }

    // For a stream that starts afresh (after a purge): nothing kept, and
    // the first packet is looked for again.
    void reset() {
        pendingSize_ = 0;
        inSync_ = false;
        acquiring_ = true;
        episodeSkipped_ = 0;
        syncLosses_ = 0;
        totalSkipped_ = 0;
    }

private:
    // Consumes whole packets and dropped bytes from p; stops when what is
    // left is too short to decide (less than a packet while in sync, less
    // than Lookahead + 1 bytes while searching). Returns the bytes used.
    template <class OnPacket, class OnResync>
    std::size_t scan(const std::uint8_t* p, std::size_t n, OnPacket& onPacket, OnResync& onResync) {
        std::size_t i = 0;
        for (;;) {
            if (inSync_) {
                if (n - i < PacketSize) return i;
                if (p[i] == SyncByte) {
                    onPacket(p + i);
                    i += PacketSize;
                    continue;
                }
                inSync_ = false;
                ++syncLosses_;
                episodeSkipped_ = 0;
            }
            while (n - i > Lookahead) {
                if (p[i] == SyncByte && confirmed(p + i)) {
                    inSync_ = true;
                    break;
                }
                // Jump to the next candidate sync byte, but never past the
                // last position that still has its partners in view.
                const std::size_t last = n - Lookahead;
                const void* next = std::memchr(p + i + 1, SyncByte, last - i - 1);
                const std::size_t to = next ? static_cast<std::size_t>(
                                                  static_cast<const std::uint8_t*>(next) - p)
                                            : last;
                episodeSkipped_ += to - i;
                totalSkipped_ += to - i;
                i = to;
            }
            if (!inSync_) return i;
            if (acquiring_) acquiring_ = false;
            else onResync(episodeSkipped_);
        }
    }

    static bool confirmed(const std::uint8_t* candidate) {
        for (std::size_t k = 1; k <= Partners; ++k)
            if (candidate[k * PacketSize] != SyncByte) return false;
        return true;
    }

    // Room for the kept bytes plus enough of the next read to decide them.
    std::array<std::uint8_t, 2 * Lookahead + 1> pending_{};
    std::size_t pendingSize_ = 0;
    bool inSync_ = false;
    bool acquiring_ = true;
    std::uint64_t episodeSkipped_ = 0;
    std::uint64_t syncLosses_ = 0;
    std::uint64_t totalSkipped_ = 0;
};

}  // namespace console
