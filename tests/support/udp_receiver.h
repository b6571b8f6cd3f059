// A player on 127.0.0.1: a UDP socket on a free port that collects datagrams
// with their sender's port. A test points the program at port() (--udp) and
// keeps only the datagrams of one sender, so that other programs on this PC
// cannot disturb it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace testing_support {

class UdpReceiver {
public:
    struct Datagram {
        std::uint16_t senderPort = 0;
        std::vector<std::uint8_t> bytes;
        std::chrono::steady_clock::time_point arrived;  // when the socket was read
    };

    // With its own thread, the socket is emptied as datagrams come (for a
    // program in another process); without, drain() reads it.
    explicit UdpReceiver(bool ownThread = false, std::uint16_t fixedPort = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int big = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(fixedPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (ok_ && ownThread) thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 10) > 0) readSocket();
            }
        });
    }
    ~UdpReceiver() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }
    // IPv4 address (host order) of the last datagram's sender.
    std::uint32_t lastSender() const { return lastSender_; }

    // Everything that has arrived, waiting up to waitMs for the first datagram.
    std::vector<std::vector<std::uint8_t>> drain(int waitMs = 0) {
        if (waitMs > 0 && !thread_.joinable()) {
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, waitMs);
        }
        if (!thread_.joinable()) readSocket();
        std::vector<std::vector<std::uint8_t>> out;
        for (Datagram& d : take()) out.push_back(std::move(d.bytes));
        return out;
    }

    // With its own thread: everything, once nothing has come for 300 ms.
    std::vector<Datagram> settle() {
        for (std::size_t last = SIZE_MAX;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::lock_guard<std::mutex> lock(m_);
            if (datagrams_.size() == last) {
                std::vector<Datagram> out;
                out.swap(datagrams_);
                return out;
            }
            last = datagrams_.size();
        }
    }

    // The program's datagrams: those of the first sender whose datagram is a
    // whole chunk of TS packets; anything else on the port is somebody else's.
    static std::vector<std::vector<std::uint8_t>> fromProgram(const std::vector<Datagram>& all) {
        std::vector<std::vector<std::uint8_t>> out;
        for (const Datagram& d : programDatagrams(all)) out.push_back(d.bytes);
        return out;
    }
    // The same, with their arrival times.
    static std::vector<Datagram> programDatagrams(const std::vector<Datagram>& all) {
        std::optional<std::uint16_t> program;
        std::vector<Datagram> out;
        for (const Datagram& d : all) {
            if (!program && d.bytes.size() == 1316 && d.bytes[0] == 0x47) program = d.senderPort;
            if (program && d.senderPort == *program) out.push_back(d);
        }
        return out;
    }

private:
    std::vector<Datagram> take() {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<Datagram> out;
        out.swap(datagrams_);
        return out;
    }

    void readSocket() {
        std::vector<std::uint8_t> buf(65536);
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) return;
            lastSender_ = ntohl(from.sin_addr.s_addr);
            std::lock_guard<std::mutex> lock(m_);
            datagrams_.push_back({ntohs(from.sin_port), std::vector<std::uint8_t>(buf.begin(), buf.begin() + n),
                                  std::chrono::steady_clock::now()});
        }
    }

    int fd_ = -1;
    bool ok_ = false;
    std::uint16_t port_ = 0;
    std::atomic<std::uint32_t> lastSender_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<Datagram> datagrams_;
};

}  // namespace testing_support
