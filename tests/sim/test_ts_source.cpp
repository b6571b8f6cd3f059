#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>

#include "sim/ft2232h_board.h"
#include "sim/ts_source.h"
#include "support/test_support.h"

using namespace sim;

namespace {

using StepClock = testing_support::FakeClock;

ChannelBOptions rate(double mbit) {
    ChannelBOptions o;
    o.rateMbit = mbit;
    return o;
}

std::vector<std::uint8_t> drain(TsFifo& fifo, std::size_t bytes) {
    std::vector<std::uint8_t> out(bytes);
    std::size_t got = 0;
    while (got < bytes) {
        const std::size_t n = fifo.read(out.data() + got, bytes - got);
        if (n == 0) break;
        got += n;
    }
    out.resize(got);
    return out;
}

std::uint16_t pidOf(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[1] & 0x1F) << 8 | p[2]); }

std::uint64_t be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

// Payload offset of a packet (after any adaptation field).
std::size_t payloadOffset(const std::uint8_t* p) {
    return (p[3] & 0x20) ? 5u + p[4] : 4u;
}

// What a receiver learns from a stretch of the generated stream.
struct StreamCheck {
    std::vector<std::uint64_t> counters;
    std::vector<std::uint64_t> pcrPacketIndex;
    std::vector<std::uint64_t> pcr27;
    int pats = 0, pmts = 0, badCrc = 0, ccErrors = 0, badSync = 0;
};

StreamCheck check(const std::vector<std::uint8_t>& ts) {
    StreamCheck r;
    std::map<std::uint16_t, int> lastCc;
    for (std::size_t off = 0, i = 0; off + TsPacketSize <= ts.size(); off += TsPacketSize, ++i) {
        const std::uint8_t* p = ts.data() + off;
        if (p[0] != 0x47) { ++r.badSync; continue; }
        const std::uint16_t pid = pidOf(p);
        if (pid == 0x1FFF) continue;  // null packets count nothing
        const int cc = p[3] & 0x0F;
        if (lastCc.count(pid) && ((lastCc[pid] + 1) & 0x0F) != cc) ++r.ccErrors;
        lastCc[pid] = cc;
        if (pid == 0 || pid == TsPmtPid) {
            EXPECT_TRUE(p[1] & 0x40) << "table packets start a section";
            const std::uint8_t* s = p + 5 + p[4];
            const std::size_t len = ((s[1] & 0x0F) << 8 | s[2]) + 3;
            if (mpegCrc32(s, len) != 0) ++r.badCrc;  // CRC over section incl. CRC is 0
            if (pid == 0) {
                ++r.pats;
                EXPECT_EQ(s[0], 0x00);
                EXPECT_EQ(((s[10] & 0x1F) << 8) | s[11], TsPmtPid);
            } else {
                ++r.pmts;
                EXPECT_EQ(s[0], 0x02);
                EXPECT_EQ(((s[8] & 0x1F) << 8) | s[9], TsPayloadPid) << "PCR PID";
                EXPECT_EQ(s[12], 0x06);
                EXPECT_EQ(((s[13] & 0x1F) << 8) | s[14], TsPayloadPid);
            }
        } else if (pid == TsPayloadPid) {
            if ((p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10)) {
                const std::uint64_t base = std::uint64_t{p[6]} << 25 | p[7] << 17 | p[8] << 9 |
                                           p[9] << 1 | p[10] >> 7;
                const std::uint64_t ext = (p[10] & 1) << 8 | p[11];
                r.pcr27.push_back(base * 300 + ext);
                r.pcrPacketIndex.push_back(i);
            }
            r.counters.push_back(be64(p + payloadOffset(p)));
        }
    }
    return r;
}

}  // namespace

TEST(TsSource, MpegCrcMatchesTheStandardCheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(mpegCrc32(reinterpret_cast<const std::uint8_t*>(text), 9), 0x0376E6E7u);
}

TEST(TsSource, GeneratedStreamIsValidTransportStream) {
    StepClock clock;
    TsFifo fifo(rate(0), clock);
    fifo.opened();
    const auto ts = drain(fifo, 3000 * TsPacketSize);
    ASSERT_EQ(ts.size(), 3000 * TsPacketSize);
    const StreamCheck r = check(ts);
    EXPECT_EQ(r.badSync, 0);
    EXPECT_EQ(r.ccErrors, 0);
    EXPECT_EQ(r.badCrc, 0);
    EXPECT_GE(r.pats, 5);
    EXPECT_EQ(r.pats, r.pmts);
    ASSERT_FALSE(r.counters.empty());
    for (std::size_t i = 0; i < r.counters.size(); ++i) ASSERT_EQ(r.counters[i], i);
    // PCRs: at most 40 ms of stream time apart, and their values follow the
    // nominal 8 Mbit/s of the packets in between.
    ASSERT_GE(r.pcr27.size(), 10u);
    for (std::size_t i = 1; i < r.pcr27.size(); ++i) {
        const double dt = (r.pcr27[i] - r.pcr27[i - 1]) / 27e6;
        EXPECT_GT(dt, 0);
        EXPECT_LE(dt, 0.040);
        const double expected = (r.pcrPacketIndex[i] - r.pcrPacketIndex[i - 1]) * 1504 / 8e6;
        EXPECT_NEAR(dt, expected, 1e-6);
    }
}

TEST(TsSource, LowRatesStillCarryPcrOftenEnough) {
    TsGenerator gen(0.2e6);
    std::vector<std::uint8_t> ts(400 * TsPacketSize);
    for (std::size_t i = 0; i < 400; ++i) gen.next(ts.data() + i * TsPacketSize);
    const StreamCheck r = check(ts);
    for (std::size_t i = 1; i < r.pcr27.size(); ++i)
        EXPECT_LE((r.pcr27[i] - r.pcr27[i - 1]) / 27e6, 0.040);
}

TEST(TsSource, SkippingPacketsKeepsCountersAndContinuityInStep) {
    TsGenerator walked(8e6), skipped(8e6);
    std::uint8_t a[TsPacketSize], b[TsPacketSize];
    // Across several table periods and PCR periods.
    for (std::uint64_t n : {1u, 2u, 530u, 531u, 1000u, 4321u}) {
        for (std::uint64_t i = 0; i < n; ++i) walked.next(a);
        skipped.skip(n);
        for (int k = 0; k < 3; ++k) {
            walked.next(a);
            skipped.next(b);
            ASSERT_EQ(0, std::memcmp(a, b, TsPacketSize)) << "after skipping " << n;
        }
    }
}

TEST(TsSource, RateFillsFifoInWholePacketsAndDropsWhatDoesNotFit) {
    StepClock clock;
    TsFifo fifo(rate(8), clock);
    fifo.opened();
    EXPECT_EQ(fifo.available(), 0u);
    clock.nowUs = 50 * 1000;  // 50 ms at 8 Mbit/s: 265 whole packets
    EXPECT_EQ(fifo.available(), 265 * TsPacketSize);
    EXPECT_EQ(fifo.droppedBytes(), 0u);

    // A full driver buffer, then a full chip: everything beyond is lost.
    clock.nowUs = 40'000'000;  // 40 MB at 8 Mbit/s, more than the driver keeps
    EXPECT_EQ(fifo.available(), TsFifo::DriverBufferSize);
    EXPECT_EQ(fifo.chipBytes(), TsFifo::ChipFifoSize);
    EXPECT_EQ(fifo.droppedBytes(), fifo.producedBytes() - TsFifo::DriverBufferSize - TsFifo::ChipFifoSize);
    EXPECT_EQ(fifo.producedBytes(), 212765 * TsPacketSize);
}

TEST(TsSource, DriverKeepsASecondAtTheChipsTopRateWhileTheProgramStalls) {
    StepClock clock;
    TsFifo fifo(rate(64), clock);  // 8 MB/s, the FT2232H's FIFO ceiling
    fifo.opened();
    std::vector<std::uint8_t> all;
    std::uint8_t chunk[1316];
    for (int i = 0; i < 100; ++i) {
        clock.nowUs += 200;
        for (std::size_t n; (n = fifo.read(chunk, sizeof chunk)) > 0;) all.insert(all.end(), chunk, chunk + n);
    }
    clock.nowUs += 1'000'000;  // the program does not read for a second
    EXPECT_GT(fifo.available(), 7'900'000u);
    for (std::size_t n; (n = fifo.read(chunk, sizeof chunk)) > 0;) all.insert(all.end(), chunk, chunk + n);
    EXPECT_EQ(fifo.droppedBytes(), 0u);
    const StreamCheck r = check(all);
    EXPECT_EQ(r.badSync, 0);
    EXPECT_EQ(r.ccErrors, 0);
    ASSERT_GT(r.counters.size(), 40'000u);
    for (std::size_t i = 1; i < r.counters.size(); ++i) ASSERT_EQ(r.counters[i], r.counters[i - 1] + 1);
}

TEST(TsSource, AtRealUsbTimingTheChipSendsWholePacketsAndTheRestOnTheLatencyTimer) {
    StepClock clock;
    ChannelBOptions o = rate(8);
    o.usbTiming = sim::UsbTiming::Real;
    o.stopAfterBytes = 10 * TsPacketSize;  // 1880 bytes: three whole payloads and 350 more
    TsFifo fifo(o, clock);
    fifo.opened();
    clock.nowUs = 5 * 1000;  // the whole stream has entered the chip
    EXPECT_EQ(fifo.available(), 3 * sim::UsbBridge::PayloadSize);
    EXPECT_EQ(fifo.chipBytes(), 10 * TsPacketSize - 3 * sim::UsbBridge::PayloadSize);
    clock.nowUs = 20 * 1000;  // 16 ms after the rest began to wait
    EXPECT_EQ(fifo.available(), 3 * sim::UsbBridge::PayloadSize);
    clock.nowUs = 22 * 1000;
    EXPECT_EQ(fifo.available(), 10 * TsPacketSize);

    // FT_SetLatencyTimer shortens the wait.
    TsFifo quick(o, clock);
    quick.setLatencyTimer(2);
    quick.opened();
    clock.nowUs += 5 * 1000;
    EXPECT_EQ(quick.available(), 3 * sim::UsbBridge::PayloadSize);
    clock.nowUs += 2 * 1000;
    EXPECT_EQ(quick.available(), 10 * TsPacketSize);
}

TEST(TsSource, StoppedInTaskLeavesDataInTheChipAndPurgeClearsBoth) {
    StepClock clock;
    TsFifo fifo(rate(8), clock);
    fifo.opened();
    clock.nowUs = 10 * 1000;
    const std::size_t before = fifo.available();
    EXPECT_GT(before, 0u);
    fifo.setInTaskRunning(false);
    clock.nowUs = 20 * 1000;
    EXPECT_EQ(fifo.available(), before) << "nothing moves to the driver while stopped";
    EXPECT_EQ(fifo.chipBytes(), TsFifo::ChipFifoSize);
    EXPECT_GT(fifo.droppedBytes(), 0u);

    fifo.purgeReceive();
    fifo.setInTaskRunning(true);
    EXPECT_EQ(fifo.available(), 0u);
    // After the purge the stream goes on at a packet boundary with no gap.
    clock.nowUs = 40 * 1000;
    const auto ts = drain(fifo, fifo.available());
    const StreamCheck r = check(ts);
    EXPECT_EQ(r.badSync, 0);
    ASSERT_GT(r.counters.size(), 10u);
    for (std::size_t i = 1; i < r.counters.size(); ++i) ASSERT_EQ(r.counters[i], r.counters[i - 1] + 1);
}

TEST(TsSource, MaxRateNeverDropsAndDeliversAnUnbrokenCounter) {
    StepClock clock;
    TsFifo fifo(rate(0), clock);
    fifo.opened();
    std::vector<std::uint8_t> all;
    std::uint8_t chunk[1316];
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(fifo.read(chunk, sizeof chunk), sizeof chunk);
        all.insert(all.end(), chunk, chunk + sizeof chunk);
    }
    EXPECT_EQ(fifo.droppedBytes(), 0u);
    const StreamCheck r = check(all);
    EXPECT_EQ(r.ccErrors, 0);
    for (std::size_t i = 0; i < r.counters.size(); ++i) ASSERT_EQ(r.counters[i], i);
}

// A stretch of the generated stream as a file; with extras, a PES packet
// carrying PTS and DTS on PID 0x102 and a null packet put in after the
// first five packets.
std::vector<std::uint8_t> clipFile(double mbit, std::size_t packets, bool extras = false) {
    TsGenerator gen(mbit * 1e6);
    std::vector<std::uint8_t> file(packets * TsPacketSize);
    for (std::size_t i = 0; i < packets; ++i)
        if (!extras || (i != 5 && i != 6)) gen.next(file.data() + i * TsPacketSize);
    if (!extras) return file;
    std::uint8_t* pes = file.data() + 5 * TsPacketSize;
    std::memset(pes, 0xFF, TsPacketSize);
    const std::uint8_t header[] = {0x47, 0x41, 0x02, 0x17,  // PUSI, PID 0x102, payload, CC 7
                                   0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0xC0, 0x0A};
    std::memcpy(pes, header, sizeof header);
    // PTS close to its wrap, DTS below it; prefixes 0011 and 0001.
    auto stamp = [](std::uint8_t* p, std::uint8_t prefix, std::uint64_t v) {
        p[0] = static_cast<std::uint8_t>(prefix << 4 | (v >> 29 & 0x0E) | 1);
        p[1] = static_cast<std::uint8_t>(v >> 22);
        p[2] = static_cast<std::uint8_t>((v >> 14 & 0xFE) | 1);
        p[3] = static_cast<std::uint8_t>(v >> 7);
        p[4] = static_cast<std::uint8_t>((v << 1 & 0xFE) | 1);
    };
    stamp(pes + 13, 3, 0x1FFFFFF00ull);
    stamp(pes + 18, 1, 0x123456789ull);
    std::uint8_t* null = file.data() + 6 * TsPacketSize;
    std::memset(null, 0xFF, TsPacketSize);
    null[0] = 0x47, null[1] = 0x1F, null[2] = 0xFF, null[3] = 0x1B;
    return file;
}

std::uint64_t ptsAt(const std::uint8_t* p) {
    return (std::uint64_t{p[0]} >> 1 & 7) << 30 | std::uint64_t{p[1]} << 22 | (std::uint64_t{p[2]} >> 1) << 15 |
           std::uint64_t{p[3]} << 7 | p[4] >> 1;
}

TEST(TsSource, PcrsGiveTheRateAFileWasMadeFor) {
    const auto file = clipFile(2, 3000);
    const auto rate = pcrBitRate(file.data(), file.size());
    ASSERT_TRUE(rate);
    EXPECT_NEAR(*rate, 2e6, 2e6 * 1e-4);

    // A new time base (discontinuity indicator) in the middle, and the 33-bit
    // wrap: neither is taken for a gap in time.
    auto jumped = file;
    int seen = 0;
    for (std::size_t off = 0; off < jumped.size(); off += TsPacketSize) {
        std::uint8_t* p = jumped.data() + off;
        if (pidOf(p) != TsPayloadPid || !(p[3] & 0x20) || !(p[5] & 0x10) || ++seen < 10) continue;
        if (seen == 10) p[5] |= 0x80;
        // From here on the clock runs from just below the wrap.
        p[6] = static_cast<std::uint8_t>(p[6] | 0xFE);
        p[7] = 0xFF;
    }
    const auto afterJump = pcrBitRate(jumped.data(), jumped.size());
    ASSERT_TRUE(afterJump);
    EXPECT_NEAR(*afterJump, 2e6, 2e6 * 1e-3);

    // No PCR at all, or only one: no rate.
    std::vector<std::uint8_t> plain(10 * TsPacketSize, 0xFF);
    for (std::size_t off = 0; off < plain.size(); off += TsPacketSize) plain[off] = 0x47, plain[off + 3] = 0x10;
    EXPECT_FALSE(pcrBitRate(plain.data(), plain.size()));
    EXPECT_FALSE(pcrBitRate(file.data(), 40 * TsPacketSize)) << "the first 40 packets hold one PCR";
}

// Three plays of a file through the FIFO: the first as the file is, the
// next ones with their counters and clocks carried on, so the whole is one
// stream without a continuity error and with a PCR that keeps time.
TEST(TsSource, LoopedFileCarriesCountersAndTimeStampsAcrossTheSeams) {
    const auto file = clipFile(2, 400);
    StepClock clock;
    ChannelBOptions o = rate(0);
    o.file = "unused";
    TsFifo fifo(o, clock, file);
    fifo.opened();
    const auto got = drain(fifo, 3 * file.size());
    ASSERT_EQ(got.size(), 3 * file.size());
    EXPECT_TRUE(std::equal(file.begin(), file.end(), got.begin())) << "the first play is the file itself";

    const StreamCheck r = check(got);
    EXPECT_EQ(r.ccErrors, 0);
    EXPECT_EQ(r.badCrc, 0);
    ASSERT_GT(r.pcr27.size(), 6u);
    // Every PCR tells the time of its packet at 2 Mbit/s from the first one.
    for (std::size_t i = 0; i < r.pcr27.size(); ++i) {
        const double expected = static_cast<double>(r.pcrPacketIndex[i] - r.pcrPacketIndex[0]) * 188 * 8 / 2e6 * 27e6;
        EXPECT_NEAR(static_cast<double>(r.pcr27[i] - r.pcr27[0]), expected, 2) << i;
    }
    // Apart from counters and clocks the copies are the file's bytes.
    for (std::size_t off = 0; off < got.size(); off += TsPacketSize) {
        const std::uint8_t* a = got.data() + off;
        const std::uint8_t* b = file.data() + off % file.size();
        ASSERT_EQ(a[3] & 0xF0, b[3] & 0xF0) << off;
        const std::size_t payload = (b[3] & 0x20) ? 5u + b[4] : 4u;
        if (pidOf(b) == TsPayloadPid && payload < TsPacketSize) {
            ASSERT_TRUE(std::equal(a + payload, a + TsPacketSize, b + payload)) << off;
        }
    }
}

TEST(TsSource, LoopedFileMovesPesTimeStampsOnAndLeavesNullPacketsAlone) {
    const auto file = clipFile(2, 400, true);
    StepClock clock;
    ChannelBOptions o = rate(0);
    o.file = "unused";
    TsFifo fifo(o, clock, file);
    fifo.opened();
    const auto got = drain(fifo, 3 * file.size());
    ASSERT_EQ(got.size(), 3 * file.size());
    EXPECT_EQ(check(got).ccErrors, 0);
    // The file's playing time at the rate its PCRs give, in 90 kHz ticks.
    const double period90 = static_cast<double>(file.size()) * 8 / *pcrBitRate(file.data(), file.size()) * 90000;
    for (std::uint64_t copy = 0; copy < 3; ++copy) {
        const std::uint8_t* pes = got.data() + copy * file.size() + 5 * TsPacketSize;
        const auto moved = static_cast<std::uint64_t>(std::llround(static_cast<double>(copy) * period90));
        EXPECT_NEAR(static_cast<double>(ptsAt(pes + 13)), static_cast<double>((0x1FFFFFF00ull + moved) % (1ull << 33)), 1)
            << copy;
        EXPECT_NEAR(static_cast<double>(ptsAt(pes + 18)), static_cast<double>(0x123456789ull + moved), 1) << copy;
        // Prefixes and marker bits stay.
        EXPECT_EQ(pes[13] & 0xF1, 0x31);
        EXPECT_EQ(pes[18] & 0xF1, 0x11);
        EXPECT_EQ(pes[15] & 1, 1);
        EXPECT_EQ(pes[17] & 1, 1);
        // Null packets are left as they are.
        EXPECT_EQ(got[copy * file.size() + 6 * TsPacketSize + 3], 0x1B);
    }
}

TEST(TsSource, AFilePlaysAtItsOwnRateUnlessTheRateIsGiven) {
    const auto file = clipFile(0.8, 600);
    StepClock clock;
    ChannelBOptions o;
    o.file = "unused";
    TsFifo own(o, clock, file);
    EXPECT_TRUE(own.rateFromPcr());
    EXPECT_NEAR(own.rateMbit(), 0.8, 1e-4);
    own.opened();
    clock.advanceMs(1000);
    // 0.8 Mbit/s: 531.9 packets in the second.
    EXPECT_EQ(own.available(), 531u * TsPacketSize);

    o.rateMbit = 4;
    TsFifo given(o, clock, file);
    EXPECT_FALSE(given.rateFromPcr());
    EXPECT_DOUBLE_EQ(given.rateMbit(), 4);
}

TEST(TsSource, MakeChannelBReadsTheFileOrSaysWhy) {
    StepClock clock;
    ChannelBOptions o;
    o.file = "/nonexistent/clip.ts";
    std::string error;
    EXPECT_EQ(makeChannelB(o, clock, &error), nullptr);
    EXPECT_NE(error.find("/nonexistent/clip.ts"), std::string::npos);

    // Anything but a run of sync-led 188-byte packets is refused, naming the file.
    const std::string path = testing::TempDir() + "ts_source_clip.ts";
    for (const std::string& bad : {std::string(376, 'x'), std::string(187, '\x47'), std::string()}) {
        { std::ofstream(path, std::ios::binary) << bad; }
        o.file = path;
        error.clear();
        EXPECT_EQ(makeChannelB(o, clock, &error), nullptr) << bad.size();
        EXPECT_NE(error.find(path), std::string::npos) << error;
    }
    for (const char* notAFile : {"/dev/zero", "/proc/self/mem", "/tmp"}) {
        o.file = notAFile;
        error.clear();
        EXPECT_EQ(makeChannelB(o, clock, &error), nullptr) << notAFile;
        EXPECT_NE(error.find(notAFile), std::string::npos) << error;
    }

    // A torn last packet: every copy after the first would be off its sync bytes.
    std::string packets(2 * TsPacketSize + 5, 'x');
    packets[0] = packets[TsPacketSize] = 0x47;
    { std::ofstream(path, std::ios::binary) << packets; }
    o.file = path;
    error.clear();
    EXPECT_EQ(makeChannelB(o, clock, &error), nullptr);
    EXPECT_NE(error.find("381 bytes, is not a whole number of 188-byte TS packets (2 packets and 5 bytes)"),
              std::string::npos) << error;

    // Whole packets without a PCR play at the default rate, and say so.
    packets.resize(2 * TsPacketSize);
    { std::ofstream(path, std::ios::binary) << packets; }
    std::string warning;
    auto fifo = makeChannelB(o, clock, &error, &warning);
    ASSERT_NE(fifo, nullptr);
    EXPECT_DOUBLE_EQ(fifo->rateMbit(), DefaultTsRateMbit);
    EXPECT_NE(warning.find("has no PCRs to take its rate from; it plays at 8 Mbit/s"), std::string::npos) << warning;
    o.rateMbit = 3;
    warning.clear();
    ASSERT_NE(makeChannelB(o, clock, &error, &warning), nullptr);
    EXPECT_TRUE(warning.empty()) << "a rate was given: " << warning;
    std::remove(path.c_str());
}

TEST(TsSource, OptionsParseAndLeaveOthersAlone) {
    struct Case {
        const char* arg;
        OptionParse result;
    };
    const Case cases[] = {
        {"--ts-rate=max", OptionParse::Accepted},
        {"--ts-rate=12.5", OptionParse::Accepted},
        {"--ts-rate=0", OptionParse::Malformed},
        {"--ts-rate=8x", OptionParse::Malformed},
        {"--ts-rate=", OptionParse::Malformed},
        {"--ts-file=/tmp/a.ts", OptionParse::Accepted},
        {"--ts-file=", OptionParse::Malformed},
        {"--fault=ts-none", OptionParse::Accepted},
        {"--fault=ts-short-reads", OptionParse::Accepted},
        {"--fault=ts-stop-after=5000", OptionParse::Accepted},
        {"--fault=ts-stop-after=0", OptionParse::Malformed},
        {"--fault=ts-stop-after=-3", OptionParse::Malformed},
        {"--fault=mpsse-silent", OptionParse::NotMine},
        {"--simulate", OptionParse::NotMine},
        {"--ts-ratex", OptionParse::NotMine},
    };
    for (const Case& c : cases) {
        ChannelBOptions o;
        std::string error;
        EXPECT_EQ(parseChannelBOption(c.arg, o, &error), c.result) << c.arg;
        EXPECT_EQ(error.empty(), c.result != OptionParse::Malformed) << c.arg;
    }
    ChannelBOptions o;
    std::string error;
    parseChannelBOption("--ts-rate=12.5", o, &error);
    parseChannelBOption("--fault=ts-stop-after=5000", o, &error);
    EXPECT_DOUBLE_EQ(o.rateMbit.value_or(0), 12.5);
    EXPECT_EQ(o.stopAfterBytes, 5000u);
    EXPECT_NE(channelBOptionsHelp().find("--fault=ts-short-reads"), std::string::npos);
}

// Through the board, as the channel layer will see it.
class TsOnBoard : public testing::Test {
protected:
    void open(const ChannelBOptions& o) {
        board.setChannelDevice(1, std::make_unique<TsFifo>(o, clock));
        ASSERT_EQ(board.FT_Open(1, &handle), usb::FT_OK);
        ASSERT_EQ(board.FT_SetTimeouts(handle, 100, 100), usb::FT_OK);
    }
    std::uint32_t readChunk() {
        std::uint32_t got = 0;
        EXPECT_EQ(board.FT_Read(handle, buffer, 1316, &got), usb::FT_OK);
        return got;
    }
    StepClock clock;
    Ft2232hBoard board{clock};
    usb::FT_HANDLE handle = 0;
    std::uint8_t buffer[1316];
};

TEST_F(TsOnBoard, NoDataReadReturnsNothingAfterTheTimeOut) {
    ChannelBOptions o;
    o.none = true;
    open(o);
    const std::uint32_t start = clock.tickCount();
    EXPECT_EQ(readChunk(), 0u);
    EXPECT_EQ(clock.tickCount() - start, 100u);
    std::uint32_t queued = 1;
    board.FT_GetQueueStatus(handle, &queued);
    EXPECT_EQ(queued, 0u);
}

TEST_F(TsOnBoard, AtEightMegabitsAReadWaitsForItsChunk) {
    open(rate(8));
    board.FT_Purge(handle, usb::FT_PURGE_RX);
    const std::uint32_t start = clock.tickCount();
    EXPECT_EQ(readChunk(), 1316u);
    // 1316 bytes take 1.3 ms at 1 MB/s; whole packets arrive every 188 us.
    EXPECT_LE(clock.tickCount() - start, 2u);
}

TEST_F(TsOnBoard, ShortReadsHandOutFiveHundredBytesPerRead) {
    ChannelBOptions o = rate(0);
    o.shortReads = true;
    open(o);
    std::vector<std::uint8_t> got;
    for (int i = 0; i < 5; ++i) {
        const std::uint32_t start = clock.tickCount();
        ASSERT_EQ(readChunk(), 500u);
        EXPECT_EQ(clock.tickCount() - start, 100u) << "each short read ends with the time-out";
        got.insert(got.end(), buffer, buffer + 500);
    }
    // The pieces are still one contiguous stream.
    EXPECT_EQ(check(got).ccErrors, 0);
    EXPECT_EQ(check(got).badSync, 0);
}

TEST_F(TsOnBoard, StreamStopsAfterTheGivenBytes) {
    ChannelBOptions o = rate(0);
    o.stopAfterBytes = 5000;
    open(o);
    // What the host threw away does not count: it still gets all 5000.
    std::uint32_t queued = 0;
    board.FT_GetQueueStatus(handle, &queued);
    EXPECT_EQ(queued, 5000u);
    board.FT_Purge(handle, usb::FT_PURGE_RX);
    std::uint32_t total = 0, n = 0;
    while ((n = readChunk()) != 0) total += n;
    EXPECT_EQ(total, 5000u);
    EXPECT_EQ(readChunk(), 0u);
}
