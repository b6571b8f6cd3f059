// The libftdi backend's queued reads on channel B, over a USB stack that can
// keep transfers after they were cancelled: the channel waits a bounded time,
// says whether they came back, and never frees them or closes their context
// while the stack still holds them.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/ftdi_api.h"
#include "transfers/fake_usb.h"

namespace {

constexpr int kTransfers = 4;

class StreamStop : public testing::Test {
protected:
    void SetUp() override {
        std::lock_guard lock(fake_usb::stack().m);
        fake_usb::stack().holdCancelled = false;
        before = fake_usb::stack().contextsFreed;
    }

    std::unique_ptr<platform::FtdiChannel> openStreaming() {
        platform::UsbDeviceInfo device;
        std::unique_ptr<platform::FtdiChannel> channel;
        EXPECT_EQ(api->open(device, 1, &channel), 0);
        if (channel) {
            EXPECT_EQ(channel->startStream(16384, kTransfers, [](const std::uint8_t*, std::size_t) {}), 0);
        }
        return channel;
    }

    template <typename F>
    auto stackState(F f) {
        std::lock_guard lock(fake_usb::stack().m);
        return f(fake_usb::stack());
    }

    std::unique_ptr<platform::FtdiApi> api = platform::makeLibFtdiApi();
    int before = 0;
};

TEST_F(StreamStop, TransfersThatComeBackAreFreedAndTheContextClosed) {
    auto channel = openStreaming();
    ASSERT_TRUE(channel);
    EXPECT_EQ(stackState([](auto& s) { return s.inFlight.size(); }), std::size_t{kTransfers});
    EXPECT_TRUE(channel->stopStream());
    EXPECT_TRUE(channel->close());
    channel.reset();
    EXPECT_EQ(stackState([](auto& s) { return s.allocated.size(); }), 0u);
    EXPECT_EQ(stackState([](auto& s) { return s.contextsFreed; }), before + 1);
    EXPECT_EQ(stackState([](auto& s) { return s.closedWithTransfersOut + s.freedInFlight; }), 0);
}

TEST_F(StreamStop, TransfersKeptByTheStackKeepTheirContextOpen) {
    auto channel = openStreaming();
    ASSERT_TRUE(channel);
    stackState([](auto& s) { return s.holdCancelled = true; });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(channel->stopStream()) << "the stop says that reads are still out";
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(10)) << "the wait is bounded";

    EXPECT_FALSE(channel->close());
    channel.reset();
    EXPECT_EQ(stackState([](auto& s) { return s.closedWithTransfersOut; }), 0)
        << "the context was closed under live transfers";
    EXPECT_EQ(stackState([](auto& s) { return s.freedInFlight; }), 0) << "a live transfer was freed";
    EXPECT_EQ(stackState([](auto& s) { return s.contextsFreed; }), before) << "the context was freed";
    EXPECT_EQ(stackState([](auto& s) { return s.inFlight.size(); }), std::size_t{kTransfers});
    // What the stack holds stays the stack's, out of the next test's way.
    stackState([](auto& s) {
        s.keptForGood.insert(s.inFlight.begin(), s.inFlight.end());
        s.inFlight.clear();
        s.cancelled.clear();
        s.allocated.clear();
        return s.contextsOpen = 0;
    });
}

}  // namespace
