// Helpers shared by the test binaries: one QApplication per process, a clock
// that tests drive, dialogs that are recorded instead of shown, and a socket
// service with any list of addresses.
#pragma once

#include <QApplication>
#include <QStringList>
#include <cstdint>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "console/network.h"
#include "usb/platform_services.h"

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os) {
    *os << "\n";
    for (const QString& s : l) *os << "  \"" << s.toStdString() << "\"\n";
}

namespace testing_support {

inline QApplication& qtApp() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "vesperbox-tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: tearing Qt down in a static destructor crashes at exit.
    return *new QApplication(argc, argv);
}

// Time moves only when the code under test sleeps or when the test says so;
// every reading can also advance it by a fixed step, so that polling loops
// bounded by time end without real waiting. The local date stands still,
// or moves with the clock from dateOriginUs on when dateFollowsTime is set.
class FakeClock : public usb::Clock {
public:
    bool perfCounter = true;
    std::int64_t nowUs = 0;
    std::int64_t stepUsPerReading = 0;
    usb::LocalDateTime date{2025, 12, 8, 14, 5, 33};
    bool dateFollowsTime = false;
    std::int64_t dateOriginUs = 0;

    void advanceMs(std::int64_t ms) { nowUs += ms * 1000; }

    bool hasPerformanceCounter() override { return perfCounter; }
    std::int64_t performanceFrequency() override { return 1'000'000; }
    std::int64_t performanceCounter() override { return advance(); }
    std::uint32_t tickCount() override { return static_cast<std::uint32_t>(advance() / 1000); }
    void sleepMs(std::uint32_t ms) override { nowUs += std::int64_t(ms) * 1000; }
    // Within one day of the date, which is all a test needs.
    usb::LocalDateTime localNow() override {
        if (!dateFollowsTime) return date;
        const std::int64_t s = date.hour * 3600 + date.minute * 60 + date.second +
                               (nowUs - dateOriginUs) / 1'000'000;
        usb::LocalDateTime t = date;
        t.hour = static_cast<int>(s / 3600 % 24);
        t.minute = static_cast<int>(s / 60 % 60);
        t.second = static_cast<int>(s % 60);
        return t;
    }

private:
    std::int64_t advance() {
        nowUs += stepUsPerReading;
        return nowUs;
    }
};

class RecordingDialogs : public usb::Dialogs {
public:
    std::vector<std::string> errors;
    std::vector<std::string> messages;
    void errorDialog(const std::string& message) override { errors.push_back(message); }
    void messageBox(const std::string& text) override { messages.push_back(text); }
};

class FakeUdpClient : public console::UdpClient {
public:
    explicit FakeUdpClient(bool failConnect) : failConnect_(failConnect) {}
    std::string host, bound;
    std::uint16_t port = 0;
    std::size_t bufferSize = 0;
    bool isConnected = false;
    std::vector<std::vector<std::uint8_t>> datagrams;

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
