// The chip-to-host half of one FT2232H channel: the chip's transmit buffer
// and the USB bulk-in packets it turns into.
//
// The chip does not hand each answer to the host as it is made. Bytes collect
// in its transmit buffer and leave in one packet when
//   - the MPSSE executes 0x87 (send immediate),
//   - the latency timer (1..255 ms, 16 ms at power-up) runs out while bytes
//     wait, counted from the first byte that entered an empty buffer,
//   - or a packet fills: 512 bytes at high speed, of which the first two are
//     the modem-status bytes the host side strips, so 510 bytes of payload.
// A packet reaches the host on the next 125 us microframe boundary after it
// left the chip, plus the host's own latency (driver, scheduler), never
// earlier than the packet before it.
//
// All times are nanoseconds on one time base that the owner chooses (the
// simulated board uses its bus time, which starts with the host's clock).
// Calls must come with non-decreasing chip times; host times given to
// receive() may lag behind the chip time (the chip runs ahead of the host
// while it works through a long command batch).
//
// The in-process D2XX board uses it for both channels, its ReceiveQueue
// below stripping the status bytes as the vendor driver does. The virtual
// FT2232H at the libusb level uses it for the MPSSE engine's answers only
// and packs what reaches the host into bulk-in packets of its own.
//
// Ideal timing keeps today's instant answers for fast unit tests: every byte
// pushed leaves at once and reaches the host at time 0, so it is visible to
// any receive().
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace sim {

enum class UsbTiming {
    Real,   // packets, latency timer, microframes, host latency
    Ideal,  // every answer reaches the host the moment it is made
};

struct UsbTimingSettings {
    UsbTiming timing = UsbTiming::Real;
    // Added to every packet's arrival; a real host adds 0 to about 1 ms.
    std::uint32_t hostLatencyUs = 0;
};

class UsbBridge {
public:
    static constexpr std::size_t PacketSize = 512;
    static constexpr std::size_t StatusBytes = 2;
    static constexpr std::size_t PayloadSize = PacketSize - StatusBytes;
    static constexpr std::uint64_t MicroframeNs = 125'000;
    static constexpr std::uint8_t PowerUpLatencyMs = 16;
    // Modem status of an idle channel as the chip reports it in every
    // packet: CTS and DSR set (first byte), transmitter empty (second).
    static constexpr std::uint8_t ModemStatus0 = 0x32;
    static constexpr std::uint8_t ModemStatus1 = 0x60;

    struct Packet {
        std::uint64_t leftChipNs = 0;  // when the chip sent it
        std::uint64_t arrivalNs = 0;   // when the host has it
        std::vector<std::uint8_t> bytes;  // StatusBytes modem status, then the payload
        std::size_t payloadSize() const { return bytes.size() - StatusBytes; }
        const std::uint8_t* payload() const { return bytes.data() + StatusBytes; }
    };

    // chipBufferSize: the chip's transmit buffer (4 kB on each FT2232H
    // channel); push() takes no more than fits.
    explicit UsbBridge(UsbTimingSettings settings = {}, std::size_t chipBufferSize = 4096);

    bool ideal() const { return settings_.timing == UsbTiming::Ideal; }

    // FT_SetLatencyTimer; values below 1 ms count as 1 ms, as the chip has it.
    void setLatencyTimerMs(std::uint8_t ms);
    std::uint8_t latencyTimerMs() const { return latencyMs_; }

    // Bytes the chip produced at chipNs enter its transmit buffer; full
    // packets leave at once. Returns how many bytes fitted (the rest did not
    // enter: the caller decides whether that stalls or drops).
    std::size_t push(std::uint64_t chipNs, const std::uint8_t* data, std::size_t count);
    // 0x87: whatever waits leaves now, as one short packet.
    void sendImmediate(std::uint64_t chipNs);
    // Lets time pass on the chip: a latency timer that ran out by chipNs
    // sends its packet (stamped with the moment it ran out).
    void advance(std::uint64_t chipNs);

    // The next packet the host has by hostNs, in order, or nothing. Runs the
    // latency timer up to hostNs first.
    std::optional<Packet> receive(std::uint64_t hostNs);
    // When the next packet reaches the host: a packet on its way, else the
    // latency timer's packet if bytes wait; nothing when all is quiet. A
    // front end that blocks for data sleeps until then.
    std::optional<std::uint64_t> nextArrivalNs() const;

    // FT_Purge RX / FT_ResetDevice: the chip's buffer and the packets on the
    // way are dropped.
    void purge();

    std::size_t chipBytes() const { return chip_.size(); }
    std::size_t packetsInFlight() const { return flight_.size(); }
    std::size_t chipRoom() const { return chipBufferSize_ - chip_.size(); }
    std::uint64_t packetsSent() const { return packetsSent_; }

private:
    void send(std::uint64_t chipNs, std::size_t count);
    std::uint64_t timerExpiryNs() const;

    UsbTimingSettings settings_;
    std::size_t chipBufferSize_;
    std::uint8_t latencyMs_ = PowerUpLatencyMs;
    std::deque<std::uint8_t> chip_;
    std::uint64_t firstByteNs_ = 0;  // when the oldest waiting byte entered
    std::uint64_t lastArrivalNs_ = 0;
    std::deque<Packet> flight_;
    std::uint64_t packetsSent_ = 0;
};

// The host side of the vendor driver: it takes the packets that have
// arrived, strips their status bytes and keeps the payload until read.
class ReceiveQueue {
public:
    explicit ReceiveQueue(UsbBridge& bridge) : bridge_(bridge) {}

    // Payload bytes the host has by hostNs (FT_GetQueueStatus).
    std::size_t available(std::uint64_t hostNs);
    // Moves up to count bytes that have arrived by hostNs to dst.
    std::size_t read(std::uint64_t hostNs, std::uint8_t* dst, std::size_t count);
    // Drops what the host holds and what is on the way (FT_Purge RX).
    void purge();

private:
    void collect(std::uint64_t hostNs);

    UsbBridge& bridge_;
    std::deque<std::uint8_t> bytes_;
};

}  // namespace sim
