// The socket service the UDP output needs, injected so that tests can give
// the window any list of local addresses and a client that fails to connect.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace console {

// Raised by the socket service, as a socket library would.
class SocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class UdpClient {
public:
    virtual ~UdpClient() = default;
    virtual void setHost(const std::string& host) = 0;
    virtual void setPort(std::uint16_t port) = 0;
    virtual void setBoundAddress(const std::string& address) = 0;
    virtual void setBufferSize(std::size_t bytes) = 0;
    // Allocates and binds the socket and fixes its peer; throws SocketError.
    virtual void connect() = 0;
    virtual bool connected() const = 0;
    // One datagram to the peer; may throw.
    virtual void send(const std::uint8_t* data, std::size_t size) = 0;
};

class Network {
public:
    virtual ~Network() = default;
    // Local IPv4 addresses as dotted text, in the resolver's order; throws SocketError.
    virtual std::vector<std::string> localAddresses() = 0;
    virtual std::unique_ptr<UdpClient> createUdpClient() = 0;
};

}  // namespace console
