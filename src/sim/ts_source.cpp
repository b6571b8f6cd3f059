#include "sim/ts_source.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "sim/option_text.h"

namespace sim {

namespace {

constexpr std::uint8_t TsSync = 0x47;
constexpr std::uint8_t PrivateDataStreamType = 0x06;
constexpr std::uint64_t BitsPerPacket = TsPacketSize * 8;
constexpr double PcrHz = 27e6;

void putHeader(std::uint8_t* p, std::uint16_t pid, bool unitStart, std::uint8_t afc,
               std::uint8_t cc) {
    p[0] = TsSync;
    p[1] = static_cast<std::uint8_t>((unitStart ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
    p[2] = static_cast<std::uint8_t>(pid & 0xFF);
    p[3] = static_cast<std::uint8_t>((afc << 4) | (cc & 0x0F));
}

// Finishes a section whose length field is still open: fills in the length
// and appends the CRC.
void closeSection(std::vector<std::uint8_t>& s) {
    const std::size_t length = s.size() - 3 + 4;  // after the length field, CRC included
    s[1] = static_cast<std::uint8_t>(0xB0 | ((length >> 8) & 0x0F));
    s[2] = static_cast<std::uint8_t>(length & 0xFF);
    const std::uint32_t crc = mpegCrc32(s.data(), s.size());
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<std::uint8_t>(crc >> shift));
}

// How many of the indices 0..n-1 leave the remainder r modulo period.
std::uint64_t countRemainder(std::uint64_t n, std::uint64_t period, std::uint64_t r) {
    return n > r ? (n - r - 1) / period + 1 : 0;
}

// A PCR (or OPCR) counts 27 MHz ticks as a 33-bit base of 90 kHz ticks and
// a 9-bit extension below 300; both wrap together.
constexpr std::uint64_t PcrWrap = (std::uint64_t{1} << 33) * 300;
constexpr std::uint64_t PtsWrap = std::uint64_t{1} << 33;

std::uint64_t readPcr(const std::uint8_t* p) {
    const std::uint64_t base = std::uint64_t{p[0]} << 25 | std::uint64_t{p[1]} << 17 |
                               std::uint64_t{p[2]} << 9 | std::uint64_t{p[3]} << 1 | p[4] >> 7;
    const std::uint64_t ext = (std::uint64_t{p[4]} & 1) << 8 | p[5];
    return base * 300 + ext;
}

void writePcr(std::uint8_t* p, std::uint64_t ticks) {
    const std::uint64_t base = ticks / 300, ext = ticks % 300;
    p[0] = static_cast<std::uint8_t>(base >> 25);
    p[1] = static_cast<std::uint8_t>(base >> 17);
    p[2] = static_cast<std::uint8_t>(base >> 9);
    p[3] = static_cast<std::uint8_t>(base >> 1);
    // The six reserved bits stay as the packet had them.
    p[4] = static_cast<std::uint8_t>((base & 1) << 7 | (p[4] & 0x7E) | ext >> 8);
    p[5] = static_cast<std::uint8_t>(ext);
}

// A PES time stamp: 33 bits in three runs between marker bits, after a
// 4-bit prefix that stays as it was.
std::uint64_t readPts(const std::uint8_t* p) {
    return (std::uint64_t{p[0]} >> 1 & 0x07) << 30 | std::uint64_t{p[1]} << 22 |
           (std::uint64_t{p[2]} >> 1) << 15 | std::uint64_t{p[3]} << 7 | p[4] >> 1;
}

void writePts(std::uint8_t* p, std::uint64_t pts) {
    p[0] = static_cast<std::uint8_t>((p[0] & 0xF1) | (pts >> 29 & 0x0E));
    p[1] = static_cast<std::uint8_t>(pts >> 22);
    p[2] = static_cast<std::uint8_t>((pts >> 14 & 0xFE) | 1);
    p[3] = static_cast<std::uint8_t>(pts >> 7);
    p[4] = static_cast<std::uint8_t>((pts << 1 & 0xFE) | 1);
}

int pidOf(const std::uint8_t* p) { return (p[1] & 0x1F) << 8 | p[2]; }
bool hasPayload(const std::uint8_t* p) { return p[3] & 0x10; }
// Whether the packet has an adaptation field that holds its flag byte (p[5]).
bool hasAdaptationFlags(const std::uint8_t* p) {
    return (p[3] & 0x20) && p[4] > 0 && p[4] <= TsPacketSize - 5;
}

}  // namespace

std::uint32_t mpegCrc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint32_t>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

// ---------------------------------------------------------------------------

TsGenerator::TsGenerator(double nominalBitsPerSecond) : bitsPerSecond_(nominalBitsPerSecond) {
    const double packetsPerSecond = bitsPerSecond_ / BitsPerPacket;
    // Tables ten times a second; a PCR well inside the 40 ms that players
    // expect, counting the two table packets that may fall in between.
    tablePeriod_ = std::max<std::uint64_t>(3, static_cast<std::uint64_t>(packetsPerSecond * 0.1));
    const auto perPcr = static_cast<std::int64_t>(packetsPerSecond * 0.035) - 2;
    pcrPeriod_ = static_cast<std::uint64_t>(std::max<std::int64_t>(1, perPcr));

    pat_ = {0x00, 0, 0,
            static_cast<std::uint8_t>(TsProgramNumber >> 8), static_cast<std::uint8_t>(TsProgramNumber),
            0xC1, 0x00, 0x00,
            static_cast<std::uint8_t>(TsProgramNumber >> 8), static_cast<std::uint8_t>(TsProgramNumber),
            static_cast<std::uint8_t>(0xE0 | (TsPmtPid >> 8)), static_cast<std::uint8_t>(TsPmtPid & 0xFF)};
    closeSection(pat_);

    pmt_ = {0x02, 0, 0,
            static_cast<std::uint8_t>(TsProgramNumber >> 8), static_cast<std::uint8_t>(TsProgramNumber),
            0xC1, 0x00, 0x00,
            static_cast<std::uint8_t>(0xE0 | (TsPayloadPid >> 8)), static_cast<std::uint8_t>(TsPayloadPid & 0xFF),
            0xF0, 0x00,
            PrivateDataStreamType,
            static_cast<std::uint8_t>(0xE0 | (TsPayloadPid >> 8)), static_cast<std::uint8_t>(TsPayloadPid & 0xFF),
            0xF0, 0x00};
    closeSection(pmt_);
}

TsGenerator::Kind TsGenerator::kindOf(std::uint64_t index) const {
    const std::uint64_t phase = index % tablePeriod_;
    return phase == 0 ? Kind::Pat : phase == 1 ? Kind::Pmt : Kind::Payload;
}

void TsGenerator::writeSection(std::uint8_t* dst, std::uint16_t pid, std::uint8_t cc,
                               const std::uint8_t* section, std::size_t size) const {
    putHeader(dst, pid, true, 1, cc);
    dst[4] = 0x00;  // pointer field: the section starts right here
    std::memcpy(dst + 5, section, size);
    std::memset(dst + 5 + size, 0xFF, TsPacketSize - 5 - size);
}

void TsGenerator::next(std::uint8_t* dst) {
    switch (kindOf(index_)) {
    case Kind::Pat:
        writeSection(dst, 0x0000, static_cast<std::uint8_t>(patCount_++), pat_.data(), pat_.size());
        break;
    case Kind::Pmt:
        writeSection(dst, TsPmtPid, static_cast<std::uint8_t>(pmtCount_++), pmt_.data(), pmt_.size());
        break;
    case Kind::Payload: {
        const std::uint64_t counter = payloadCount_++;
        const bool pcr = counter % pcrPeriod_ == 0;
        putHeader(dst, TsPayloadPid, false, pcr ? 3 : 1, static_cast<std::uint8_t>(counter));
        std::uint8_t* p = dst + 4;
        if (pcr) {
            // The PCR tells the time at which this packet leaves at the nominal rate.
            const long double seconds =
                static_cast<long double>(index_) * BitsPerPacket / bitsPerSecond_;
            const auto ticks = static_cast<std::uint64_t>(std::llround(seconds * PcrHz));
            const std::uint64_t base = (ticks / 300) & ((std::uint64_t{1} << 33) - 1);
            const std::uint64_t ext = ticks % 300;
            *p++ = 7;     // adaptation field length
            *p++ = 0x10;  // PCR present
            *p++ = static_cast<std::uint8_t>(base >> 25);
            *p++ = static_cast<std::uint8_t>(base >> 17);
            *p++ = static_cast<std::uint8_t>(base >> 9);
            *p++ = static_cast<std::uint8_t>(base >> 1);
            *p++ = static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
            *p++ = static_cast<std::uint8_t>(ext);
        }
        for (int shift = 56; shift >= 0; shift -= 8) *p++ = static_cast<std::uint8_t>(counter >> shift);
        // The rest follows from the counter, so a receiver can check every byte.
        for (std::uint8_t k = 0; p < dst + TsPacketSize; ++k) *p++ = static_cast<std::uint8_t>(counter * 7 + k);
        break;
    }
    }
    ++index_;
}

void TsGenerator::skip(std::uint64_t count) {
    const std::uint64_t from = index_, to = index_ + count;
    const std::uint64_t pats = countRemainder(to, tablePeriod_, 0) - countRemainder(from, tablePeriod_, 0);
    const std::uint64_t pmts = countRemainder(to, tablePeriod_, 1) - countRemainder(from, tablePeriod_, 1);
    patCount_ += pats;
    pmtCount_ += pmts;
    payloadCount_ += count - pats - pmts;
    index_ = to;
}

// ---------------------------------------------------------------------------

std::optional<double> pcrBitRate(const std::uint8_t* ts, std::size_t size) {
    struct PidPcrs {
        std::size_t count = 0;
        std::uint64_t lastTicks = 0;
        std::size_t lastOffset = 0;
        std::uint64_t bytes = 0;  // between PCRs of one time base
        std::uint64_t ticks = 0;
    };
    // Two PCRs of one PID are at most 100 ms apart in a compliant stream;
    // a longer gap is a cut or a new time base, not a measure of the rate.
    constexpr std::uint64_t MaxGapTicks = 5 * 27'000'000ull;
    std::vector<PidPcrs> pids(0x2000);
    for (std::size_t off = 0; off + TsPacketSize <= size; off += TsPacketSize) {
        const std::uint8_t* p = ts + off;
        if (!hasAdaptationFlags(p) || !(p[5] & 0x10) || p[4] < 7) continue;
        PidPcrs& pid = pids[static_cast<std::size_t>(pidOf(p))];
        const std::uint64_t ticks = readPcr(p + 6);
        const bool newTimeBase = p[5] & 0x80;  // discontinuity indicator
        if (pid.count > 0 && !newTimeBase) {
            const std::uint64_t gap = (ticks + PcrWrap - pid.lastTicks) % PcrWrap;
            if (gap > 0 && gap <= MaxGapTicks) {
                pid.bytes += off - pid.lastOffset;
                pid.ticks += gap;
            }
        }
        ++pid.count;
        pid.lastTicks = ticks;
        pid.lastOffset = off;
    }
    const PidPcrs* best = nullptr;
    for (const PidPcrs& pid : pids)
        if (pid.ticks > 0 && (!best || pid.count > best->count)) best = &pid;
    if (!best) return std::nullopt;
    const double rate = static_cast<double>(best->bytes) * 8 * PcrHz / static_cast<double>(best->ticks);
    if (!(rate >= 1e3 && rate <= 1e9)) return std::nullopt;
    return rate;
}

TsLoop::TsLoop(const std::vector<std::uint8_t>& file, double bitsPerSecond) {
    ccStep_.fill(NoPid);
    std::array<int, 0x2000> first, last;
    first.fill(-1);
    last.fill(-1);
    for (std::size_t off = 0; off + TsPacketSize <= file.size(); off += TsPacketSize) {
        const std::uint8_t* p = file.data() + off;
        const auto pid = static_cast<std::size_t>(pidOf(p));
        if (ccStep_[pid] == NoPid) ccStep_[pid] = 0;
        // Only packets with payload advance the counter.
        if (!hasPayload(p)) continue;
        if (first[pid] < 0) first[pid] = p[3] & 0x0F;
        last[pid] = p[3] & 0x0F;
    }
    // The copy after goes on where this one ended: its first counter is one
    // past this one's last.
    for (std::size_t pid = 0; pid < ccStep_.size(); ++pid)
        if (first[pid] >= 0) ccStep_[pid] = static_cast<std::int8_t>((last[pid] + 1 - first[pid]) & 0x0F);
    ccStep_[0x1FFF] = NoPid;  // null packets carry no counter worth keeping
    const long double seconds = static_cast<long double>(file.size()) * 8 / bitsPerSecond;
    period27_ = static_cast<std::uint64_t>(std::llround(seconds * PcrHz));
}

void TsLoop::patch(std::uint8_t* p, std::uint64_t copy) const {
    if (copy == 0) return;
    const int step = ccStep_[static_cast<std::size_t>(pidOf(p))];
    if (step == NoPid) return;
    p[3] = static_cast<std::uint8_t>((p[3] & 0xF0) | ((p[3] + copy * static_cast<std::uint64_t>(step)) & 0x0F));

    const auto shift27 = static_cast<std::uint64_t>(static_cast<unsigned __int128>(copy) * period27_ % PcrWrap);
    std::size_t payload = 4;
    if (p[3] & 0x20) {
        payload = 5u + p[4];
        if (hasAdaptationFlags(p)) {
            std::uint8_t* at = p + 6;
            // PCR, then OPCR, each 6 bytes, as far as the field holds them.
            for (const std::uint8_t flag : {std::uint8_t{0x10}, std::uint8_t{0x08}}) {
                if (!(p[5] & flag)) continue;
                if (at + 6 > p + 5 + p[4]) break;
                writePcr(at, (readPcr(at) + shift27) % PcrWrap);
                at += 6;
            }
        }
    }
    // A PES packet's header, when one starts here: PTS, and DTS after it.
    if (!(p[1] & 0x40) || !hasPayload(p) || payload + 19 > TsPacketSize) return;
    std::uint8_t* pes = p + payload;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1) return;
    // Stream types without the optional header: program stream map,
    // padding, private stream 2, ECM, EMM, directory, DSM-CC, type E.
    switch (pes[3]) {
    case 0xBC: case 0xBE: case 0xBF: case 0xF0: case 0xF1: case 0xF2: case 0xF8: case 0xFF: return;
    default: break;
    }
    if (pes[3] < 0xBC || (pes[6] & 0xC0) != 0x80) return;
    const std::uint64_t shift90 = shift27 / 300;
    const int stamps = pes[7] >> 6 == 3 ? 2 : pes[7] >> 6 == 2 ? 1 : 0;
    for (int i = 0; i < stamps; ++i) {
        std::uint8_t* ts = pes + 9 + 5 * i;
        writePts(ts, (readPts(ts) + shift90) % PtsWrap);
    }
}

// ---------------------------------------------------------------------------

OptionParse parseChannelBOption(const std::string& arg, ChannelBOptions& opts,
                                std::string* error) {
    auto malformed = [error](const std::string& why) {
        if (error) *error = why;
        return OptionParse::Malformed;
    };
    std::string v;
    if (optionValue(arg, "--ts-rate=", &v)) {
        if (v == "max") {
            opts.rateMbit = 0;
            return OptionParse::Accepted;
        }
        char* end = nullptr;
        const double rate = v.empty() ? 0 : std::strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0' || !(rate >= 0.2 && rate <= 1000)) {
            return malformed("--ts-rate wants a bit rate in Mbit/s between 0.2 and 1000, or max: " + arg);
        }
        opts.rateMbit = rate;
        return OptionParse::Accepted;
    }
    if (optionValue(arg, "--ts-file=", &v)) {
        if (v.empty()) {
            return malformed("--ts-file wants a path");
        }
        opts.file = v;
        return OptionParse::Accepted;
    }
    if (arg == "--fault=ts-none") {
        opts.none = true;
        return OptionParse::Accepted;
    }
    if (arg == "--fault=ts-short-reads") {
        opts.shortReads = true;
        return OptionParse::Accepted;
    }
    if (optionValue(arg, "--fault=ts-stop-after=", &v)) {
        std::uint64_t bytes = 0;
        if (!parseDecimal(v, &bytes) || bytes == 0) {
            return malformed("--fault=ts-stop-after wants a byte count above 0: " + arg);
        }
        opts.stopAfterBytes = bytes;
        return OptionParse::Accepted;
    }
    return OptionParse::NotMine;
}

std::string channelBOptionsHelp() {
    return "Transport stream on channel B of the simulated board:\n"
           "  --ts-rate=MBIT             bit rate of the stream in Mbit/s (default 8; a file\n"
           "                             plays at the rate its PCRs give)\n"
           "  --ts-rate=max              as fast as the program reads\n"
           "  --ts-file=PATH             play a TS file in a loop instead of the generated\n"
           "                             stream (PAT, PMT, PCR, counter on PID 0x101); a\n"
           "                             regular file of 188-byte packets, at most " + std::to_string(MaxTsFileBytes >> 20) + " MiB;\n"
           "                             each loop carries on its continuity counters and\n"
           "                             time stamps, so the seams do not show\n"
           "  --fault=ts-none            the demodulator delivers nothing\n"
           "  --fault=ts-stop-after=BYTES  the stream stops once BYTES bytes reached the program\n"
           "  --fault=ts-short-reads     each read returns at most 500 bytes\n";
}

// ---------------------------------------------------------------------------

TsFifo::TsFifo(const ChannelBOptions& opts, usb::Clock& clock, std::vector<std::uint8_t> file,
               std::shared_ptr<const RfInput> signal)
    : opts_(opts), clock_(clock), signal_(std::move(signal)), file_(std::move(file)),
      ring_(new std::uint8_t[RingSize]) {
    if (file_.empty()) {
        rateMbit_ = opts_.rateMbit.value_or(DefaultTsRateMbit);
        generator_ = std::make_unique<TsGenerator>(rateMbit_ > 0 ? rateMbit_ * 1e6 : DefaultTsRateMbit * 1e6);
    } else {
        // The file's time stamps keep its own rate whatever it plays at.
        const std::optional<double> own = pcrBitRate(file_.data(), file_.size());
        rateFromPcr_ = own && !opts_.rateMbit;
        rateMbit_ = opts_.rateMbit ? *opts_.rateMbit : own ? *own / 1e6 : DefaultTsRateMbit;
        loop_ = std::make_unique<TsLoop>(file_, own ? *own : rateMbit_ > 0 ? rateMbit_ * 1e6 : DefaultTsRateMbit * 1e6);
    }
    lastTick_ = clock_.tickCount();
}

void TsFifo::write(const std::uint8_t*, std::size_t) {
    // Nothing listens to what the host writes on the TS channel.
}

void TsFifo::nextPacket(std::uint8_t* dst) {
    if (generator_) {
        generator_->next(dst);
        return;
    }
    std::memcpy(dst, file_.data() + filePos_, TsPacketSize);
    loop_->patch(dst, fileCopy_);
    filePos_ += TsPacketSize;
    if (filePos_ == file_.size()) {
        filePos_ = 0;
        ++fileCopy_;
    }
}

void TsFifo::skipPackets(std::uint64_t count) {
    if (generator_) {
        generator_->skip(count);
        return;
    }
    const std::uint64_t packets = file_.size() / TsPacketSize;
    const std::uint64_t to = filePos_ / TsPacketSize + count;
    fileCopy_ += to / packets;
    filePos_ = static_cast<std::size_t>(to % packets * TsPacketSize);
}

void TsFifo::moveChipToDriver() {
    if (!open_ || !inTask_) return;
    std::size_t n = std::min(chip_, DriverBufferSize - driver_);
    if (opts_.usbTiming == UsbTiming::Real && elapsedMs_ - chipSinceMs_ < latencyMs_) {
        // Whole packets go at once; a short one waits for the latency timer.
        n -= n % UsbBridge::PayloadSize;
    }
    if (n == 0) return;
    driver_ += n;
    chip_ -= n;
    chipSinceMs_ = elapsedMs_;
}

void TsFifo::pushChip(const std::uint8_t* data, std::size_t count) {
    if (chip_ == 0) chipSinceMs_ = elapsedMs_;
    std::size_t tail = (head_ + driver_ + chip_) % RingSize;
    while (count > 0) {
        const std::size_t n = std::min(count, RingSize - tail);
        std::memcpy(ring_.get() + tail, data, n);
        data += n;
        count -= n;
        chip_ += n;
        tail = (tail + n) % RingSize;
    }
}

std::uint64_t TsFifo::bytesLeft() const {
    if (opts_.stopAfterBytes == 0) return UINT64_MAX;
    // What the host got or can still get counts; purged or dropped bytes do not.
    const std::uint64_t used = delivered_ + driver_ + chip_;
    return used >= opts_.stopAfterBytes ? 0 : opts_.stopAfterBytes - used;
}

void TsFifo::produce(std::uint64_t packets) {
    std::uint8_t packet[TsPacketSize];
    while (packets > 0) {
        const std::uint64_t left = bytesLeft();
        if (left == 0) break;
        moveChipToDriver();
        const std::size_t room = ChipFifoSize - chip_;
        if (room == 0) {
            // Full: everything still to come this time is lost, so skip it cheaply.
            skipPackets(packets);
            produced_ += packets * TsPacketSize;
            dropped_ += packets * TsPacketSize;
            break;
        }
        nextPacket(packet);
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(TsPacketSize, left));
        const std::size_t in = std::min(size, room);
        pushChip(packet, in);
        produced_ += size;
        dropped_ += size - in;
        --packets;
    }
    moveChipToDriver();
}

void TsFifo::produceWhileLocked(std::uint64_t packets, std::uint64_t fromMs, std::uint64_t toMs) {
    if (!signal_) {
        produce(packets);
        return;
    }
    // The lock changes at most once in between: the packets of the locked
    // share pass, the others are lost before the FIFO, and the stream goes
    // on from the packet due when the lock comes back.
    const auto from = static_cast<double>(fromMs), to = static_cast<double>(toMs);
    const double share = to > from ? signal_->streamingMsBetween(from, to) / (to - from)
                                   : signal_->stagesAt(to).ts ? 1.0 : 0.0;
    const auto passing = static_cast<std::uint64_t>(std::llround(static_cast<double>(packets) * share));
    if (signal_->stagesAt(from).ts) {
        produce(passing);
        skipPackets(packets - passing);
    } else {
        skipPackets(packets - passing);
        produce(passing);
    }
}

void TsFifo::advance() {
    const std::uint32_t now = clock_.tickCount();
    const std::uint64_t before = elapsedMs_;
    elapsedMs_ += static_cast<std::uint32_t>(now - lastTick_);
    lastTick_ = now;
    if (opts_.none) return;
    if (rateMbit_ <= 0) {
        // As fast as read: the source fills whatever room there is, never more.
        moveChipToDriver();
        if (signal_ && !signal_->stagesAt(static_cast<double>(elapsedMs_)).ts) return;
        std::size_t room = ChipFifoSize - chip_;
        if (open_ && inTask_ && driver_ < MaxRateLeadBytes) room += MaxRateLeadBytes - driver_;
        produce(room / TsPacketSize);
        return;
    }
    const double bitsPerMs = rateMbit_ * 1e3;
    const auto due = static_cast<std::uint64_t>(static_cast<double>(elapsedMs_) * bitsPerMs / BitsPerPacket);
    if (due > packetsDue_) {
        const std::uint64_t n = due - packetsDue_;
        packetsDue_ = due;
        produceWhileLocked(n, before, elapsedMs_);
    } else {
        moveChipToDriver();
    }
}

std::size_t TsFifo::available() {
    advance();
    return open_ ? driver_ : 0;
}

std::size_t TsFifo::read(std::uint8_t* dst, std::size_t count) {
    advance();
    if (!open_) return 0;
    if (opts_.shortReads) {
        // The board asks again for the rest of a request after a partial
        // answer; that follow-up (a smaller count) gets nothing, so each read
        // request from the host ends with one burst and the read time-out.
        if (lastGrantRequest_ != 0 && count < lastGrantRequest_) return 0;
        const std::size_t n = std::min({count, ShortReadBytes, driver_});
        if (n == 0) return 0;
        lastGrantRequest_ = count;
        count = n;
    }
    const std::size_t n = std::min(count, driver_);
    std::size_t done = 0;
    while (done < n) {
        const std::size_t part = std::min(n - done, RingSize - head_);
        std::memcpy(dst + done, ring_.get() + head_, part);
        done += part;
        head_ = (head_ + part) % RingSize;
    }
    driver_ -= n;
    delivered_ += n;
    moveChipToDriver();
    return n;
}

void TsFifo::purgeReceive() {
    advance();
    // The purge request reaches the chip too: its FIFO is cleared with the
    // driver's buffer, so the stream goes on from the next byte to arrive.
    head_ = 0;
    driver_ = 0;
    chip_ = 0;
    lastGrantRequest_ = 0;
}

void TsFifo::reset() { purgeReceive(); }

void TsFifo::setInTaskRunning(bool running) {
    advance();
    inTask_ = running;
    moveChipToDriver();
}

void TsFifo::opened() {
    advance();
    open_ = true;
    inTask_ = true;
    moveChipToDriver();
}

void TsFifo::closed() {
    advance();
    // The driver's buffer goes with the handle; the chip keeps what it holds.
    head_ = (head_ + driver_) % RingSize;
    driver_ = 0;
    open_ = false;
    lastGrantRequest_ = 0;
}

namespace {

// Reads a TS file whole, through stdio: a read error (a directory,
// /proc/self/mem) then comes back as a failed read instead of an exception.
// Only regular files are taken, so /dev/zero and pipes are refused before
// anything is read; the read stops past MaxTsFileBytes in case the size
// reported was wrong.
bool loadTsFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = "cannot play the transport stream file '" + path + "': " + why;
        return false;
    };
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec) return fail(ec.message());
    if (!std::filesystem::is_regular_file(status)) return fail("not a regular file");
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return fail(ec.message());
    if (size > MaxTsFileBytes) return fail("larger than " + std::to_string(MaxTsFileBytes >> 20) + " MiB");
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return fail(std::strerror(errno));
    bytes.resize(static_cast<std::size_t>(size) + 1);
    std::size_t got = 0;
    while (got < bytes.size()) {
        const std::size_t n = std::fread(bytes.data() + got, 1, bytes.size() - got, f);
        if (n == 0) break;
        got += n;
    }
    const int readError = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (readError) return fail(std::string("read error: ") + std::strerror(readError));
    if (got > MaxTsFileBytes) return fail("larger than " + std::to_string(MaxTsFileBytes >> 20) + " MiB");
    // Played in a loop from its first byte: a torn packet at the end would
    // put every copy after the first off its sync bytes.
    bytes.resize(got);
    if (bytes.empty()) return fail("it is empty");
    if (got % TsPacketSize)
        return fail("its size, " + std::to_string(got) + " bytes, is not a whole number of 188-byte TS packets (" +
                    std::to_string(got / TsPacketSize) + " packets and " + std::to_string(got % TsPacketSize) +
                    " bytes)");
    for (std::size_t off = 0; off < bytes.size(); off += TsPacketSize) {
        if (bytes[off] != 0x47)
            return fail("no TS sync byte 0x47 at byte " + std::to_string(off) +
                        "; it must hold 188-byte TS packets");
    }
    return true;
}

}  // namespace

std::unique_ptr<TsFifo> makeChannelB(const ChannelBOptions& opts, usb::Clock& clock,
                                     std::string* error, std::string* warning,
                                     std::shared_ptr<const RfInput> signal) {
    std::vector<std::uint8_t> bytes;
    if (!opts.file.empty() && !loadTsFile(opts.file, bytes, error)) return nullptr;
    auto fifo = std::make_unique<TsFifo>(opts, clock, std::move(bytes), std::move(signal));
    if (warning && !opts.file.empty() && !opts.rateMbit && !fifo->rateFromPcr()) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%g", DefaultTsRateMbit);
        *warning = "the transport stream file '" + opts.file + "' has no PCRs to take its rate from; it plays at " +
                   rate + " Mbit/s (--ts-rate sets another)";
    }
    return fifo;
}

}  // namespace sim
