// The UDP output: the local addresses, for the log only, and the client that
// sends the stream from the loopback interface to a player on this PC.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/network.h"
#include "console/operator_panel.h"

namespace console {

// Where the datagrams go. The player normally runs on this PC.
struct UdpDestination {
    std::string host = "127.0.0.1";
    std::uint16_t port = 1234;
};

// What the UDP set-up found: the local addresses it listed, and whether the
// client connected (the lamp turns green then); failure says why not when
// the set-up broke off or the connect failed.
struct UdpSetup {
    std::vector<std::string> addresses;
    bool connected = false;
    QString failure;
};

// "HOST:PORT" with a dotted IPv4 host and a decimal port 1..65535.
std::optional<UdpDestination> parseUdpDestination(const std::string& text);

class UdpOutput {
public:
    UdpOutput(Network& network, UdpDestination destination)
        : network_(network), destination_(std::move(destination)) {}

    // Lists the addresses, creates and connects the client and reports the
    // set-up in the log.
    UdpSetup InitUDP(OperatorPanel& panel);

    // True when a datagram can be sent now.
    bool ready() const { return UdpClient && UdpPacket && UdpClient->connected(); }
    // One chunk as one datagram; false when the send failed (the datagram is
    // dropped: a player misses it, the stream goes on).
    bool send(const std::uint8_t* chunk);

    std::unique_ptr<console::UdpClient> UdpClient;
    std::unique_ptr<std::uint8_t[]> UdpPacket;

private:
    Network& network_;
    UdpDestination destination_;
};

}  // namespace console
