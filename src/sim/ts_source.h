// Channel B of the simulated board: the transport stream the demodulator
// pushes into the FT2232H's receive FIFO, and the driver-side buffer that the
// driver's in-task fills from the chip over USB.
//
// The stream comes from a generator (PAT, PMT, PCR and one payload PID whose
// payload starts with a packet counter, so a receiver can see any loss) or
// from a file played in a loop. It arrives at a fixed bit rate measured on the
// injected clock, or as fast as the host reads. Like the chip, the FIFO drops
// what cannot enter when it is full and counts it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/channel_a.h"  // OptionParse, shared by the board's option parsers
#include "sim/channel_device.h"
#include "sim/rf_signal.h"
#include "sim/usb_bridge.h"
#include "usb/platform_services.h"

namespace sim {

inline constexpr std::size_t TsPacketSize = 188;
inline constexpr std::uint16_t TsPmtPid = 0x100;
inline constexpr std::uint16_t TsPayloadPid = 0x101;  // also carries the PCR
inline constexpr std::uint16_t TsProgramNumber = 1;

// CRC-32 of MPEG-2 sections (polynomial 0x04C11DB7, no reflection, start
// 0xFFFFFFFF, no final inversion).
std::uint32_t mpegCrc32(const std::uint8_t* data, std::size_t size);

// The generated stream, packet by packet.
class TsGenerator {
public:
    // The bit rate only places PCRs and tables in stream time.
    explicit TsGenerator(double nominalBitsPerSecond);

    // Writes the next 188-byte packet to dst.
    void next(std::uint8_t* dst);
    // Moves on by count packets without building them, as if they were lost.
    void skip(std::uint64_t count);

    std::uint64_t packetIndex() const { return index_; }
    std::uint64_t payloadPackets() const { return payloadCount_; }
    // Packets between two PCRs, and between two PAT/PMT pairs.
    std::uint64_t pcrPeriod() const { return pcrPeriod_; }
    std::uint64_t tablePeriod() const { return tablePeriod_; }

private:
    enum class Kind { Pat, Pmt, Payload };
    Kind kindOf(std::uint64_t index) const;
    void writeSection(std::uint8_t* dst, std::uint16_t pid, std::uint8_t cc,
                      const std::uint8_t* section, std::size_t size) const;

    double bitsPerSecond_;
    std::uint64_t tablePeriod_;
    std::uint64_t pcrPeriod_;
    std::uint64_t index_ = 0;         // packets of all PIDs
    std::uint64_t payloadCount_ = 0;  // packets of the payload PID
    std::uint64_t patCount_ = 0;
    std::uint64_t pmtCount_ = 0;
    std::vector<std::uint8_t> pat_;
    std::vector<std::uint8_t> pmt_;
};

// The generated stream's rate when none is given, and a file's when its
// PCRs do not tell one.
inline constexpr double DefaultTsRateMbit = 8.0;

struct ChannelBOptions {
    // Mbit/s of the incoming stream; 0 means as fast as the host reads.
    // Unset: DefaultTsRateMbit for the generated stream, the rate a file's
    // own PCRs give for a file.
    std::optional<double> rateMbit;
    std::string file;  // empty: the generated stream
    bool none = false;                  // the demodulator delivers nothing
    std::uint64_t stopAfterBytes = 0;   // stops once the host got this many; 0: never
    bool shortReads = false;            // each read hands out at most 500 bytes
    // Real: the chip hands its FIFO to the driver in 510-byte packet payloads
    // only, and a shorter rest once the latency timer has run out; Ideal:
    // byte by byte, as soon as the driver has room.
    UsbTiming usbTiming = UsbTiming::Ideal;
};

// One command-line argument. Unknown arguments (other --fault= values too)
// come back NotMine so the caller can offer them to its other parsers.
OptionParse parseChannelBOption(const std::string& arg, ChannelBOptions& opts,
                                std::string* error);
std::string channelBOptionsHelp();

// The bit rate a transport stream was made for, from the PCRs of the PID that
// carries most of them: the bytes between two PCRs of one time base over the
// time between them. Nothing when no two PCRs of one time base follow each
// other within a few seconds, or the rate is beyond reason.
std::optional<double> pcrBitRate(const std::uint8_t* ts, std::size_t size);

// A file played over and over as one stream: every copy after the first has
// its continuity counters carried on from the copy before, and its PCRs,
// OPCRs and PES time stamps moved on by the file's playing time, so that a
// receiver sees one clean stream with a steady clock instead of a jump back
// at every seam.
class TsLoop {
public:
    // file: whole 188-byte packets; bitsPerSecond: the rate the file's time
    // stamps were made for.
    TsLoop(const std::vector<std::uint8_t>& file, double bitsPerSecond);

    // Turns packet (a copy of one of the file's) into its copy number `copy`
    // (0: the file as it is).
    void patch(std::uint8_t* packet, std::uint64_t copy) const;

    // The file's playing time in 27 MHz ticks.
    std::uint64_t periodTicks() const { return period27_; }

private:
    static constexpr int NoPid = -1;
    // How far one copy moves each PID's continuity counter on (0..15);
    // NoPid for PIDs the file does not carry.
    std::array<std::int8_t, 0x2000> ccStep_;
    std::uint64_t period27_ = 0;
};

class TsFifo : public ChannelDevice {
public:
    static constexpr std::size_t ChipFifoSize = 4096;
    // What the driver's in-task keeps for the program between reads: as much
    // as the libftdi backend queues, so that the program can stall for
    // seconds at the chip's top rate before the chip's FIFO overflows.
    static constexpr std::size_t DriverBufferSize = 32u << 20;
    static constexpr std::size_t RingSize = DriverBufferSize + ChipFifoSize;
    // A stream "as fast as read" stays this far ahead of the program, no
    // further: the driver need not fill all its room for that.
    static constexpr std::size_t MaxRateLeadBytes = 65536;
    static constexpr std::size_t ShortReadBytes = 500;

    // The source starts at construction, as a powered board would. A looped
    // file must be a non-empty run of whole 188-byte packets. With a signal,
    // the demodulator delivers packets only while its transport stream is
    // locked; without one, always.
    TsFifo(const ChannelBOptions& opts, usb::Clock& clock, std::vector<std::uint8_t> file = {},
           std::shared_ptr<const RfInput> signal = nullptr);

    void write(const std::uint8_t* data, std::size_t count) override;
    std::size_t available() override;
    std::size_t read(std::uint8_t* dst, std::size_t count) override;
    void purgeReceive() override;
    void reset() override;
    void setInTaskRunning(bool running) override;
    void opened() override;
    void closed() override;
    void setLatencyTimer(std::uint8_t ms) override { latencyMs_ = ms ? ms : 1; }

    std::uint64_t droppedBytes() const { return dropped_; }
    std::uint64_t producedBytes() const { return produced_; }
    std::uint64_t deliveredBytes() const { return delivered_; }
    std::size_t chipBytes() const { return chip_; }
    std::size_t driverBytes() const { return driver_; }
    // Mbit/s the source runs at (0: as fast as read), and whether a file's
    // PCRs gave it.
    double rateMbit() const { return rateMbit_; }
    bool rateFromPcr() const { return rateFromPcr_; }

private:
    // Brings the source and the in-task up to the clock.
    void advance();
    // Produces count packets into the FIFO (what does not fit is dropped).
    void produce(std::uint64_t packets);
    // The packets due between two moments, as far as the demodulator's lock
    // lets them through; the rest never reaches the FIFO.
    void produceWhileLocked(std::uint64_t packets, std::uint64_t fromMs, std::uint64_t toMs);
    void nextPacket(std::uint8_t* dst);
    void skipPackets(std::uint64_t count);
    void pushChip(const std::uint8_t* data, std::size_t count);
    void moveChipToDriver();
    // Bytes the source may still produce before it stops.
    std::uint64_t bytesLeft() const;

    ChannelBOptions opts_;
    usb::Clock& clock_;
    double rateMbit_ = DefaultTsRateMbit;
    bool rateFromPcr_ = false;
    std::shared_ptr<const RfInput> signal_;
    std::vector<std::uint8_t> file_;
    std::size_t filePos_ = 0;
    std::uint64_t fileCopy_ = 0;  // how many times the file has been played through
    std::unique_ptr<TsLoop> loop_;
    std::unique_ptr<TsGenerator> generator_;

    // One ring: the driver's bytes first (oldest), then the chip's.
    // Left uninitialised: the pages of a large driver buffer cost memory
    // only once the stream reaches them.
    std::unique_ptr<std::uint8_t[]> ring_;
    std::size_t head_ = 0;
    std::size_t driver_ = 0;
    std::size_t chip_ = 0;

    bool open_ = false;
    bool inTask_ = false;
    std::uint32_t lastTick_ = 0;
    std::uint64_t elapsedMs_ = 0;
    std::uint64_t packetsDue_ = 0;  // packets the source has produced so far
    std::uint64_t produced_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t delivered_ = 0;
    std::size_t lastGrantRequest_ = 0;
    std::uint8_t latencyMs_ = UsbBridge::PowerUpLatencyMs;
    std::uint64_t chipSinceMs_ = 0;  // when the oldest byte in the chip arrived
};

// The largest stream file taken; it is held in memory whole.
constexpr std::uint64_t MaxTsFileBytes = 256ull << 20;

// Channel B as the options describe it; nullptr (with the reason, naming the
// file) when the stream file is not a regular file, is larger than
// MaxTsFileBytes, cannot be read, or is not a whole number of 188-byte
// packets that each start with the sync byte. A file played at its own rate
// whose PCRs tell none plays at DefaultTsRateMbit, and *warning says so.
std::unique_ptr<TsFifo> makeChannelB(const ChannelBOptions& opts, usb::Clock& clock,
                                     std::string* error = nullptr, std::string* warning = nullptr,
                                     std::shared_ptr<const RfInput> signal = nullptr);

}  // namespace sim
