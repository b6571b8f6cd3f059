#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "console/packet_aligner.h"
#include "console/stream_health.h"

namespace {

using Packet = std::array<std::uint8_t, 188>;
using Bytes = std::vector<std::uint8_t>;

enum class Kind { Payload, AdaptationOnly, AdaptationAndPayload };

Packet packet(std::uint16_t pid, std::uint8_t cc, Kind kind = Kind::Payload, bool discontinuity = false,
              std::uint8_t fill = 0xAA) {
    Packet p;
    p.fill(fill);
    p[0] = 0x47;
    p[1] = static_cast<std::uint8_t>((pid >> 8) & 0x1F);
    p[2] = static_cast<std::uint8_t>(pid & 0xFF);
    const std::uint8_t control = kind == Kind::Payload ? 1 : kind == Kind::AdaptationOnly ? 2 : 3;
    p[3] = static_cast<std::uint8_t>((control << 4) | (cc & 0x0F));
    if (kind != Kind::Payload) {
        p[4] = kind == Kind::AdaptationOnly ? 183 : 7;
        p[5] = discontinuity ? 0x80 : 0x00;
    }
    return p;
}

// A run of packets on one PID with counters going up from first.
Bytes run(std::uint16_t pid, int count, std::uint8_t first = 0) {
    Bytes out;
    for (int i = 0; i < count; ++i) {
        const Packet p = packet(pid, static_cast<std::uint8_t>(first + i));
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

void append(Bytes& out, const Packet& p) { out.insert(out.end(), p.begin(), p.end()); }

console::StreamHealth healthOfPackets(const std::vector<Packet>& packets) {
    console::StreamHealth h;
    for (const Packet& p : packets) h.feedPacket(p.data());
    return h;
}

}  // namespace

TEST(StreamHealth, ContinuityCountsWrapsAndMissingPacketsPerPid) {
    // 0..15 then wrap to 0: no error; a gap on PID 0x100 counts there only.
    Bytes s = run(0x100, 20);
    const Bytes other = run(0x200, 5);
    s.insert(s.end(), other.begin(), other.end());
    append(s, packet(0x100, 6));  // 20 % 16 = 4 expected: two packets missing
    append(s, packet(0x100, 7));
    console::StreamHealth h;
    h.feed(s.data(), s.size());
    EXPECT_EQ(h.packets(), 27u);
    EXPECT_EQ(h.bytes(), 27u * 188);
    EXPECT_EQ(h.continuityErrors(), 1u);
    EXPECT_EQ(h.continuityErrors(0x100), 1u);
    EXPECT_EQ(h.continuityErrors(0x200), 0u);
    EXPECT_EQ(h.syncLosses(), 0u);
}

TEST(StreamHealth, OneDuplicateIsAllowedButNotTwo) {
    EXPECT_EQ(healthOfPackets({packet(0x40, 3), packet(0x40, 3), packet(0x40, 4)}).continuityErrors(), 0u);
    EXPECT_EQ(healthOfPackets({packet(0x40, 3), packet(0x40, 3), packet(0x40, 3), packet(0x40, 4)})
                  .continuityErrors(),
              1u);
    // A duplicate later in the stream is allowed again.
    EXPECT_EQ(healthOfPackets({packet(0x40, 3), packet(0x40, 3), packet(0x40, 4), packet(0x40, 4),
                               packet(0x40, 5)})
                  .continuityErrors(),
              0u);
}

TEST(StreamHealth, AdaptationOnlyPacketsDiscontinuityAndStuffingDoNotCount) {
    // A PCR-only packet keeps the counter of the payload before it.
    EXPECT_EQ(healthOfPackets({packet(0x30, 9), packet(0x30, 9, Kind::AdaptationOnly),
                               packet(0x30, 2, Kind::AdaptationOnly), packet(0x30, 10),
                               packet(0x30, 11, Kind::AdaptationAndPayload)})
                  .continuityErrors(),
              0u);
    // The discontinuity indicator lets the counter start anew, with or
    // without payload in that packet.
    EXPECT_EQ(healthOfPackets({packet(0x30, 9), packet(0x30, 2, Kind::AdaptationAndPayload, true),
                               packet(0x30, 3)})
                  .continuityErrors(),
              0u);
    EXPECT_EQ(healthOfPackets({packet(0x30, 9), packet(0x30, 2, Kind::AdaptationOnly, true),
                               packet(0x30, 14), packet(0x30, 15)})
                  .continuityErrors(),
              0u);
    // Without the indicator the same jump is an error.
    EXPECT_EQ(healthOfPackets({packet(0x30, 9), packet(0x30, 2, Kind::AdaptationAndPayload),
                               packet(0x30, 3)})
                  .continuityErrors(),
              1u);
    // Null packets carry no meaningful counter.
    EXPECT_EQ(healthOfPackets({packet(0x1FFF, 0), packet(0x1FFF, 0), packet(0x1FFF, 0), packet(0x1FFF, 9)})
                  .continuityErrors(),
              0u);
}

TEST(StreamHealth, PacketsCutAnywhereCountTheSameAsWholeOnes) {
    const Bytes s = run(0x101, 50);
    for (std::size_t cut : {1u, 100u, 187u, 188u, 189u, 500u, 1316u}) {
        console::StreamHealth h;
        for (std::size_t at = 0; at < s.size(); at += cut)
            h.feed(s.data() + at, std::min(cut, s.size() - at));
        EXPECT_EQ(h.packets(), 50u) << cut;
        EXPECT_EQ(h.continuityErrors(), 0u) << cut;
        EXPECT_EQ(h.syncLosses(), 0u) << cut;
    }
}

TEST(StreamHealth, LostBytesCountOneSyncLossAndTheContinuityGap) {
    Bytes s = run(0x101, 10);
    s.erase(s.begin() + 3 * 188 + 20, s.begin() + 3 * 188 + 120);  // 100 bytes of packet 3 lost
    console::StreamHealth h;
    for (std::size_t at = 0; at < s.size(); at += 50) h.feed(s.data() + at, std::min<std::size_t>(50, s.size() - at));
    EXPECT_EQ(h.syncLosses(), 1u);
    EXPECT_EQ(h.bytesSkipped(), 88u) << "the rest of packet 4, which packet 3 ran into";
    EXPECT_EQ(h.packets(), 9u);
    EXPECT_EQ(h.continuityErrors(), 1u) << "the counter jumps from 2 to 4";
    EXPECT_EQ(h.bytes(), s.size());

    // A caller that aligns packets itself reports the loss as it sees it.
    console::StreamHealth whole;
    Packet torn = packet(0x101, 0);
    torn[0] = 0x00;
    whole.feedPacket(torn.data());
    whole.countSyncLoss();
    EXPECT_EQ(whole.syncLosses(), 2u);
    EXPECT_EQ(whole.packets(), 0u);
}

TEST(StreamHealth, RateAndSummary) {
    console::StreamHealth h;
    const Bytes s = run(0x101, 1000);
    h.feed(s.data(), s.size());
    EXPECT_EQ(h.megabitsPerSecond(), 0.0) << "no elapsed time given";
    h.setElapsedUs(188'000);  // 188000 bytes in 0.188 s = 8 Mbit/s
    EXPECT_DOUBLE_EQ(h.megabitsPerSecond(), 8.0);
    EXPECT_EQ(h.summary(),
              "TS health: 1000 packets, 188000 bytes in 0.19 s, 8.00 Mbit/s, 0 continuity errors, 0 sync losses");
    h.reset();
    EXPECT_EQ(h.packets(), 0u);
    h.feedPacket(packet(0x101, 7).data());  // no counter remembered from before the reset
    EXPECT_EQ(h.continuityErrors(), 0u);
}

TEST(PacketAligner, KeepsTornPacketsAndResyncsOnThreeSyncBytes) {
    Bytes s = run(0x101, 12);
    // Lose 30 bytes inside packet 3: the aligner takes packet 3 with the
    // start of packet 4 (nothing shows the loss yet), then finds no sync
    // where packet 4 would start. False sync bytes in the rest of packet 4,
    // one with a partner 188 bytes on, must not fool it.
    s.erase(s.begin() + 3 * 188 + 10, s.begin() + 3 * 188 + 40);
    s[4 * 188 + 30] = 0x47;
    s[4 * 188 + 50] = 0x47;
    s[5 * 188 + 50] = 0x47;
    for (std::size_t cut : {1u, 7u, 188u, 200u, 1316u, 4096u}) {
        console::PacketAligner a;
        std::vector<std::uint8_t> counters;
        std::vector<std::uint64_t> episodes;
        for (std::size_t at = 0; at < s.size(); at += cut) {
            a.push(
                s.data() + at, std::min(cut, s.size() - at),
                [&](const std::uint8_t* p) {
                    ASSERT_EQ(p[0], 0x47);
                    counters.push_back(p[3] & 0x0F);
                },
                [&](std::uint64_t skipped) { episodes.push_back(skipped); });
        }
        EXPECT_EQ(counters, (std::vector<std::uint8_t>{0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11})) << cut;
        EXPECT_EQ(episodes, std::vector<std::uint64_t>{158}) << cut;
        EXPECT_EQ(a.pending(), 0u) << cut;
        EXPECT_FALSE(a.searching());
    }
}

TEST(PacketAligner, AStreamStartingAnywhereIsJoinedWithoutALoss) {
    console::PacketAligner a;
    int packets = 0;
    std::vector<std::uint64_t> episodes;
    auto push = [&](const Bytes& b) {
        a.push(b.data(), b.size(), [&](const std::uint8_t*) { ++packets; },
               [&](std::uint64_t skipped) { episodes.push_back(skipped); });
    };
    // Junk with no sync at all: dropped as it comes, little kept.
    const Bytes junk(10'000, 0x47 ^ 0x01);
    push(junk);
    EXPECT_EQ(packets, 0);
    EXPECT_TRUE(a.acquiring());
    EXPECT_LE(a.pending(), console::PacketAligner::Lookahead);
    EXPECT_EQ(a.skippedInEpisode() + a.pending(), junk.size());
    push(run(0x101, 3));
    EXPECT_EQ(packets, 3);
    EXPECT_FALSE(a.acquiring());
    EXPECT_TRUE(episodes.empty()) << "finding the first packet is no loss";
    EXPECT_EQ(a.syncLosses(), 0u);
    EXPECT_EQ(a.bytesSkipped(), junk.size());
    // A later loss is one.
    Bytes torn = run(0x101, 4, 3);
    torn.erase(torn.begin(), torn.begin() + 5);
    push(torn);
    EXPECT_EQ(a.syncLosses(), 1u);
    EXPECT_EQ(episodes, std::vector<std::uint64_t>{183});
    EXPECT_EQ(packets, 6);

    // After a reset the stream is looked for afresh: the kept bytes go.
    a.reset();
    const Bytes one = run(0x101, 1);
    const Bytes half(one.begin(), one.begin() + 100);
    push(half);
    push(run(0x101, 3));
    EXPECT_EQ(packets, 9);
    EXPECT_EQ(a.syncLosses(), 0u);
}
