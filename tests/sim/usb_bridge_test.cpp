#include "sim/usb_bridge.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

using sim::UsbBridge;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t us = 1000;
constexpr std::uint64_t ms = 1000 * us;

Bytes counting(std::size_t n) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), std::uint8_t{0});
    return b;
}

sim::UsbTimingSettings real(std::uint32_t hostLatencyUs = 0) {
    return {sim::UsbTiming::Real, hostLatencyUs};
}

TEST(UsbBridge, AnswersWaitInTheChipUntilSendImmediateThenArriveOnTheNextMicroframe) {
    UsbBridge bridge(real(300));
    const Bytes answer = {0xFA, 0xAA};
    bridge.push(10 * us, answer.data(), answer.size());
    EXPECT_EQ(bridge.chipBytes(), 2u);
    EXPECT_FALSE(bridge.receive(10 * ms).has_value()) << "no 0x87 and the 16 ms timer still runs";

    bridge.sendImmediate(ms + 10 * us);
    EXPECT_EQ(bridge.chipBytes(), 0u);
    // Next boundary after 1.010 ms is 1.125 ms; plus 300 us of host latency.
    ASSERT_EQ(bridge.nextArrivalNs(), 1425 * us);
    EXPECT_FALSE(bridge.receive(1424 * us).has_value());
    const auto p = bridge.receive(1425 * us);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->leftChipNs, ms + 10 * us);
    ASSERT_EQ(p->bytes.size(), 4u);
    EXPECT_EQ(p->bytes[0], UsbBridge::ModemStatus0);
    EXPECT_EQ(p->bytes[1], UsbBridge::ModemStatus1);
    EXPECT_EQ(Bytes(p->payload(), p->payload() + p->payloadSize()), answer);

    // Nothing waiting: 0x87 sends no empty packet.
    bridge.sendImmediate(2 * ms);
    EXPECT_EQ(bridge.packetsInFlight(), 0u);
    EXPECT_FALSE(bridge.nextArrivalNs().has_value());
}

TEST(UsbBridge, TheLatencyTimerSendsWaitingBytesCountedFromTheFirstOne) {
    UsbBridge bridge(real());
    const Bytes one = {0x55};
    bridge.push(0, one.data(), 1);
    bridge.push(5 * ms, one.data(), 1);  // joins the waiting byte, does not restart the timer
    EXPECT_EQ(bridge.nextArrivalNs(), 16 * ms + 125 * us);
    EXPECT_FALSE(bridge.receive(16 * ms).has_value());
    const auto p = bridge.receive(16 * ms + 125 * us);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->leftChipNs, 16 * ms);
    EXPECT_EQ(p->payloadSize(), 2u);

    // After FT_SetLatencyTimer(1) the wait is one millisecond; 0 counts as 1.
    bridge.setLatencyTimerMs(0);
    EXPECT_EQ(bridge.latencyTimerMs(), 1);
    bridge.push(20 * ms, one.data(), 1);
    const auto q = bridge.receive(22 * ms);
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->leftChipNs, 21 * ms);
}

TEST(UsbBridge, AFullPacketLeavesAtOnceAndTheRestWaits) {
    UsbBridge bridge(real());
    const Bytes data = counting(1200);
    EXPECT_EQ(bridge.push(40 * us, data.data(), data.size()), data.size());
    EXPECT_EQ(bridge.packetsInFlight(), 2u);
    EXPECT_EQ(bridge.chipBytes(), 1200u - 2 * UsbBridge::PayloadSize);
    bridge.sendImmediate(50 * us);

    Bytes got;
    std::vector<std::uint64_t> arrivals;
    while (auto p = bridge.receive(ms)) {
        EXPECT_LE(p->bytes.size(), UsbBridge::PacketSize);
        arrivals.push_back(p->arrivalNs);
        got.insert(got.end(), p->payload(), p->payload() + p->payloadSize());
    }
    EXPECT_EQ(got, data);
    ASSERT_EQ(arrivals.size(), 3u);
    EXPECT_EQ(arrivals.front(), 125 * us);
    EXPECT_TRUE(std::is_sorted(arrivals.begin(), arrivals.end()));
}

TEST(UsbBridge, ArrivalsNeverOvertakeEachOtherAndAFullChipBufferRefusesTheRest) {
    UsbBridge bridge(real(1000), 300);
    const Bytes data = counting(700);
    // A 300-byte buffer never fills a packet: the rest does not enter.
    EXPECT_EQ(bridge.push(0, data.data(), 700), 300u);
    EXPECT_EQ(bridge.chipRoom(), 0u);
    bridge.sendImmediate(10 * us);
    EXPECT_EQ(bridge.push(20 * us, data.data(), 1), 1u);
    bridge.sendImmediate(130 * us);  // a later microframe, same host latency
    EXPECT_FALSE(bridge.receive(1124 * us).has_value());
    const auto first = bridge.receive(1125 * us);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->payloadSize(), 300u);
    EXPECT_FALSE(bridge.receive(1249 * us).has_value());
    EXPECT_TRUE(bridge.receive(1250 * us).has_value());
    bridge.push(2 * ms, data.data(), 1);
    bridge.purge();
    EXPECT_EQ(bridge.chipBytes(), 0u);
    EXPECT_FALSE(bridge.receive(100 * ms).has_value());
}

TEST(UsbBridge, IdealTimingMakesEveryByteVisibleAtOnce) {
    UsbBridge bridge({sim::UsbTiming::Ideal, 1000});
    const Bytes answer = {0x00};
    bridge.push(5 * ms, answer.data(), 1);
    EXPECT_EQ(bridge.nextArrivalNs(), 0u);
    EXPECT_TRUE(bridge.receive(0).has_value());
}

TEST(ReceiveQueue, StripsTheStatusBytesAndKeepsWhatWasNotRead) {
    UsbBridge bridge(real());
    sim::ReceiveQueue host(bridge);
    const Bytes data = counting(600);
    bridge.push(0, data.data(), data.size());
    bridge.sendImmediate(0);
    EXPECT_EQ(host.available(100 * us), 0u);
    EXPECT_EQ(host.available(125 * us), 600u);
    Bytes got(400);
    EXPECT_EQ(host.read(125 * us, got.data(), got.size()), 400u);
    EXPECT_EQ(got, Bytes(data.begin(), data.begin() + 400));
    EXPECT_EQ(host.available(125 * us), 200u);
    host.purge();
    EXPECT_EQ(host.available(ms), 0u);
}

}  // namespace
