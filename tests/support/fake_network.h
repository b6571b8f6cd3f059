// A socket service with any list of addresses, whose listing or connect
// fails on request, and a client that keeps its datagrams.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/network.h"

namespace testing_support {

class FakeUdpClient : public console::UdpClient {
public:
    explicit FakeUdpClient(bool failConnect) : failConnect_(failConnect) {}
    std::string host, bound;
    std::uint16_t port = 0;
    std::size_t bufferSize = 0;
    bool isConnected = false;
    std::vector<std::vector<std::uint8_t>> datagrams;
    // Every n-th send fails (0: none), as a full socket buffer would.
    int failEvery = 0;
    int sends = 0;

    void setHost(const std::string& h) override { host = h; }
    void setPort(std::uint16_t p) override { port = p; }
    void setBoundAddress(const std::string& a) override { bound = a; }
    void setBufferSize(std::size_t bytes) override { bufferSize = bytes; }
    void connect() override {
        if (failConnect_) throw console::SocketError("connection refused");
        isConnected = true;
    }
    bool connected() const override { return isConnected; }
    void send(const std::uint8_t* data, std::size_t size) override {
        if (failEvery > 0 && ++sends % failEvery == 0) throw console::SocketError("send: no buffer space");
        datagrams.emplace_back(data, data + size);
    }

private:
    bool failConnect_;
};

class FakeNetwork : public console::Network {
public:
    std::vector<std::string> addresses{"127.0.0.1"};
    bool failListing = false;
    bool failConnect = false;
    FakeUdpClient* lastClient = nullptr;

    std::vector<std::string> localAddresses() override {
        if (failListing) throw console::SocketError("resolver unavailable");
        return addresses;
    }
    std::unique_ptr<console::UdpClient> createUdpClient() override {
        auto c = std::make_unique<FakeUdpClient>(failConnect);
        lastClient = c.get();
        return c;
    }
};

}  // namespace testing_support
