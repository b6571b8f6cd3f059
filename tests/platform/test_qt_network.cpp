#include <gtest/gtest.h>

#include <algorithm>

#include <QCoreApplication>

#include "support/test_support.h"
#include "support/qt_app.h"
#include "support/udp_receiver.h"
#include "platform/qt_network.h"

using testing_support::UdpReceiver;

namespace {

std::unique_ptr<console::UdpClient> clientTo(platform::QtNetwork& net, std::uint16_t port,
                                             const std::string& bound = "127.0.0.1") {
    auto c = net.createUdpClient();
    c->setHost("127.0.0.1");
    c->setPort(port);
    c->setBoundAddress(bound);
    c->setBufferSize(1316);
    return c;
}

}  // namespace

TEST(QtNetwork, ListsLoopbackAmongIpv4AddressesOnly) {
    platform::QtNetwork net;
    const auto addresses = net.localAddresses();
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
    for (const auto& a : addresses) EXPECT_EQ(a.find(':'), std::string::npos) << a;
}

TEST(QtNetwork, ConnectedClientSendsWholeDatagramsFromLoopback) {
    UdpReceiver rx;
    ASSERT_TRUE(rx.ok());
    platform::QtNetwork net;
    auto c = clientTo(net, rx.port());
    EXPECT_FALSE(c->connected());
    c->connect();
    EXPECT_TRUE(c->connected());
    std::vector<std::uint8_t> chunk(1316);
    for (int i = 0; i < 50; ++i) {
        std::fill(chunk.begin(), chunk.end(), static_cast<std::uint8_t>(i));
        c->send(chunk.data(), chunk.size());
    }
    const auto got = rx.drain(1000);
    ASSERT_EQ(got.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(got[i].size(), 1316u);
        EXPECT_EQ(got[i][0], i);
        EXPECT_EQ(got[i][1315], i);
    }
    EXPECT_EQ(rx.lastSender(), 0x7F000001u);
}

TEST(QtNetwork, StaysConnectedWhenNobodyListens) {
    // A player that is not running yet must not cut the output for good.
    testing_support::qtApp();
    std::uint16_t port;
    { UdpReceiver gone; port = gone.port(); }
    platform::QtNetwork net;
    auto c = clientTo(net, port);
    c->connect();
    std::vector<std::uint8_t> chunk(1316, 0x47);
    for (int i = 0; i < 20; ++i) {
        try { c->send(chunk.data(), chunk.size()); } catch (const console::SocketError&) {}
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(c->connected());
    // And a player that starts later gets the stream.
    UdpReceiver late(false, port);
    ASSERT_TRUE(late.ok());
    c->send(chunk.data(), chunk.size());
    EXPECT_EQ(late.drain(1000).size(), 1u);
}

TEST(QtNetwork, BindToAnAddressThatIsNotLocalThrowsSocketError) {
    platform::QtNetwork net;
    auto c = clientTo(net, 1234, "192.0.2.1");  // TEST-NET-1, never on this host
    EXPECT_THROW(c->connect(), console::SocketError);
    EXPECT_FALSE(c->connected());
    std::uint8_t b = 0;
    EXPECT_THROW(c->send(&b, 1), console::SocketError);
}
