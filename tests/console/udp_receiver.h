// A plain UDP socket on 127.0.0.1 that collects datagrams, as a player would.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

class UdpReceiver {
public:
    explicit UdpReceiver(std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        int big = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~UdpReceiver() { ::close(fd_); }
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }
    // IPv4 address (host order) of the last datagram's sender.
    std::uint32_t lastSender() const { return lastSender_; }

    // Everything that has arrived, waiting up to waitMs for the first datagram.
    std::vector<std::vector<std::uint8_t>> drain(int waitMs = 0) {
        std::vector<std::vector<std::uint8_t>> out;
        pollfd p{fd_, POLLIN, 0};
        if (waitMs > 0) ::poll(&p, 1, waitMs);
        std::vector<std::uint8_t> buf(65536);
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) break;
            lastSender_ = ntohl(from.sin_addr.s_addr);
            out.emplace_back(buf.begin(), buf.begin() + n);
        }
        return out;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    std::uint16_t port_ = 0;
    std::uint32_t lastSender_ = 0;
};
