// The socket service over Qt Network: the host's IPv4 addresses and a UDP
// client whose socket is bound to a local address and connected to its peer,
// so that each send is one datagram to that peer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "console/network.h"

namespace platform {

class QtNetwork : public console::Network {
public:
    std::vector<std::string> localAddresses() override;
    std::unique_ptr<console::UdpClient> createUdpClient() override;
};

}  // namespace platform
