// Checks on transport-stream bytes that came out of the program: packet sync
// and the 64-bit packet counter that the simulated source writes into the
// payload of its counter PID, so that any gap shows.
#pragma once

#include <gtest/gtest.h>

#include <QByteArrayView>
#include <QFile>
#include <QString>
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/ts_source.h"

namespace testing_support {

inline std::uint64_t be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

struct CounterScan {
    std::vector<std::uint64_t> counters;  // of the payload PID, in order
    bool inSync = true;                   // every 188th byte was a sync byte
    std::size_t syncLostAt = 0;
};

inline CounterScan scanCounters(const std::vector<std::uint8_t>& ts) {
    CounterScan r;
    for (std::size_t off = 0; off + sim::TsPacketSize <= ts.size(); off += sim::TsPacketSize) {
        const std::uint8_t* p = ts.data() + off;
        if (p[0] != 0x47) {
            r.inSync = false;
            r.syncLostAt = off;
            break;
        }
        if (((p[1] & 0x1F) << 8 | p[2]) != sim::TsPayloadPid) continue;
        r.counters.push_back(be64(p + ((p[3] & 0x20) ? 5 + p[4] : 4)));
    }
    return r;
}

// Steps of the counter other than +1.
inline int counterGaps(const std::vector<std::uint64_t>& c) {
    int gaps = 0;
    for (std::size_t i = 1; i < c.size(); ++i)
        if (c[i] != c[i - 1] + 1) ++gaps;
    return gaps;
}

inline bool contiguous(const std::vector<std::uint64_t>& c) { return counterGaps(c) == 0; }

// The payload-PID counters of a run of whole TS packets; a failure when the
// run is not whole packets or a packet is off its sync byte.
inline std::vector<std::uint64_t> payloadCounters(const std::vector<std::uint8_t>& ts) {
    EXPECT_EQ(ts.size() % sim::TsPacketSize, 0u) << "not whole packets";
    const CounterScan scan = scanCounters(ts);
    EXPECT_TRUE(scan.inSync) << "packet off its sync byte at " << scan.syncLostAt;
    return scan.counters;
}

// Continuity-counter errors over all PIDs that carry payload; -1 when the
// data is not whole 188-byte packets on their sync bytes.
inline int continuityErrors(const std::vector<std::uint8_t>& ts) {
    if (ts.size() % sim::TsPacketSize) return -1;
    int errors = 0;
    std::optional<int> last[0x2000];
    for (std::size_t off = 0; off < ts.size(); off += sim::TsPacketSize) {
        const std::uint8_t* p = ts.data() + off;
        if (p[0] != 0x47) return -1;
        const int pid = (p[1] & 0x1F) << 8 | p[2];
        if (pid == 0x1FFF || !(p[3] & 0x10)) continue;  // null packets, no payload
        const int cc = p[3] & 0x0F;
        if (last[pid] && cc != ((*last[pid] + 1) & 0x0F)) ++errors;
        last[pid] = cc;
    }
    return errors;
}

// A packet with what looping a file rewrites cleared: the continuity
// counter, PCR and OPCR, and the PTS and DTS of a PES header.
inline std::array<std::uint8_t, sim::TsPacketSize> withoutLoopFields(const std::uint8_t* packet) {
    std::array<std::uint8_t, sim::TsPacketSize> p;
    std::copy(packet, packet + sim::TsPacketSize, p.begin());
    p[3] &= 0xF0;
    std::size_t payload = 4;
    if (p[3] & 0x20) {
        payload = 5u + p[4];
        if (p[4] > 0 && payload <= sim::TsPacketSize) {
            std::size_t at = 6;
            for (std::uint8_t flag : {std::uint8_t{0x10}, std::uint8_t{0x08}}) {
                if (!(p[5] & flag) || at + 6 > payload) continue;
                std::fill(p.begin() + static_cast<std::ptrdiff_t>(at), p.begin() + static_cast<std::ptrdiff_t>(at + 6), 0);
                at += 6;
            }
        }
    }
    if ((p[1] & 0x40) && (p[3] & 0x10) && payload + 19 <= sim::TsPacketSize && p[payload] == 0 &&
        p[payload + 1] == 0 && p[payload + 2] == 1 && p[payload + 3] >= 0xBC && (p[payload + 6] & 0xC0) == 0x80) {
        const int stamps = p[payload + 7] >> 6 == 3 ? 2 : p[payload + 7] >> 6 == 2 ? 1 : 0;
        std::fill_n(p.begin() + static_cast<std::ptrdiff_t>(payload + 9), 5 * stamps, 0);
    }
    return p;
}

// Where in the looped source the data starts, if it is one unbroken run of
// it: whole packets, each the source's next one but for the counters and
// time stamps that each loop carries on.
inline std::optional<std::size_t> loopOffset(const std::vector<std::uint8_t>& source,
                                             const std::vector<std::uint8_t>& data) {
    if (source.empty() || data.empty() || source.size() % sim::TsPacketSize ||
        data.size() % sim::TsPacketSize)
        return std::nullopt;
    for (std::size_t start = 0; start < source.size(); start += sim::TsPacketSize) {
        bool all = true;
        for (std::size_t i = 0; i < data.size() && all; i += sim::TsPacketSize)
            all = withoutLoopFields(data.data() + i) ==
                  withoutLoopFields(source.data() + (start + i) % source.size());
        if (all) return start;
    }
    return std::nullopt;
}

// Datagrams joined into one stream; each must be one whole 1316-byte chunk.
inline std::vector<std::uint8_t> joinWholeChunks(const std::vector<std::vector<std::uint8_t>>& datagrams) {
    std::vector<std::uint8_t> all;
    for (const auto& d : datagrams) {
        EXPECT_EQ(d.size(), 1316u) << "one chunk per datagram";
        all.insert(all.end(), d.begin(), d.end());
    }
    return all;
}

inline std::vector<std::uint8_t> readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray b = f.readAll();
    return {b.begin(), b.end()};
}

// False when the file could not be opened or did not take all the bytes.
inline bool writeFile(const QString& path, QByteArrayView bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes.data(), bytes.size()) == bytes.size() && f.flush();
}

}  // namespace testing_support
