// The real main window on the simulated board, with a clock the test moves,
// dialogs that are counted instead of shown, a socket service whose address
// list and connect the test chooses, and a real UDP receiver on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "console/udp_receiver.h"
#include "platform/qt_network.h"
#include "sim/ft2232h_board.h"
#include "sim/ts_source.h"
#include "support/test_support.h"
#include "ui/main_window.h"
#include "ui/zonzoff.h"

namespace testing_console {

class FakeClock : public usb::Clock {
public:
    bool hasPerformanceCounter() override { return true; }
    std::int64_t performanceFrequency() override { return 1000; }
    std::int64_t performanceCounter() override { return now; }
    std::uint32_t tickCount() override { return now; }
    void sleepMs(std::uint32_t ms) override { now += ms; }
    // 9 December 2026, 11:00:00 when the test starts, moving with the ticks.
    usb::LocalDateTime localNow() override {
        const std::uint32_t s = (now - origin) / 1000;
        usb::LocalDateTime t{2026, 12, 9, 11, 0, 0};
        t.second = static_cast<int>(s % 60);
        t.minute = static_cast<int>(s / 60 % 60);
        t.hour = 11 + static_cast<int>(s / 3600 % 13);
        return t;
    }
    std::uint32_t now = 0;
    std::uint32_t origin = 0;
};

class CountingDialogs : public usb::Dialogs {
public:
    void errorDialog(const std::string& message) override { errors.push_back(message); }
    void messageBox(const std::string& text) override { boxes.push_back(text); }
    std::vector<std::string> errors, boxes;
};

// Real Qt sockets, but the datagrams go to the test's receiver instead of
// port 1234, so tests can run side by side with a player on this PC.
class TestNetwork : public console::Network {
public:
    struct Seen {
        std::string host, bound;
        std::uint16_t port = 0;
        std::size_t bufferSize = 0;
        int connects = 0;
    };

    std::vector<std::string> localAddresses() override {
        if (listingFails) throw console::SocketError("resolver unavailable");
        return addresses;
    }
    std::unique_ptr<console::UdpClient> createUdpClient() override {
        ++clientsCreated;
        return std::make_unique<Client>(*this, real.createUdpClient());
    }

    std::vector<std::string> addresses{"127.0.0.1"};
    bool listingFails = false;
    bool connectFails = false;
    std::uint16_t receiverPort = 0;
    int clientsCreated = 0;
    Seen seen;

private:
    class Client : public console::UdpClient {
    public:
        Client(TestNetwork& net, std::unique_ptr<console::UdpClient> real)
            : net_(net), real_(std::move(real)) {}
        void setHost(const std::string& host) override { net_.seen.host = host; real_->setHost(host); }
        void setPort(std::uint16_t port) override {
            net_.seen.port = port;
            real_->setPort(net_.receiverPort);
        }
        void setBoundAddress(const std::string& a) override { net_.seen.bound = a; real_->setBoundAddress(a); }
        void setBufferSize(std::size_t n) override { net_.seen.bufferSize = n; real_->setBufferSize(n); }
        void connect() override {
            ++net_.seen.connects;
            if (net_.connectFails) throw console::SocketError("no buffer space");
            real_->connect();
        }
        bool connected() const override { return real_->connected(); }
        void send(const std::uint8_t* data, std::size_t size) override { real_->send(data, size); }

    private:
        TestNetwork& net_;
        std::unique_ptr<console::UdpClient> real_;
    };

    platform::QtNetwork real;
};

inline std::uint64_t be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

// Payload-PID counters found in a run of whole TS packets.
inline std::vector<std::uint64_t> payloadCounters(const std::vector<std::uint8_t>& ts) {
    std::vector<std::uint64_t> out;
    for (std::size_t off = 0; off + sim::TsPacketSize <= ts.size(); off += sim::TsPacketSize) {
        const std::uint8_t* p = ts.data() + off;
        if (p[0] != 0x47) {
            ADD_FAILURE() << "lost packet sync at byte " << off;
            break;
        }
        if (((p[1] & 0x1F) << 8 | p[2]) != sim::TsPayloadPid) continue;
        out.push_back(be64(p + ((p[3] & 0x20) ? 5 + p[4] : 4)));
    }
    return out;
}

inline bool contiguous(const std::vector<std::uint64_t>& c) {
    for (std::size_t i = 1; i < c.size(); ++i)
        if (c[i] != c[i - 1] + 1) return false;
    return true;
}

class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        testing_support::qtApp();
        ASSERT_TRUE(rx.ok());
        ASSERT_TRUE(dir.isValid());
        oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        net.receiverPort = rx.port();
    }
    void TearDown() override {
        form.reset();
        QDir::setCurrent(oldCwd);
    }

    // The window with channel B fed as the options say, faults as in --fail.
    void makeWindow(const sim::ChannelBOptions& ts = maxRate(), const std::vector<std::string>& faults = {}) {
        board.setChannelDevice(1, std::make_unique<sim::TsFifo>(ts, clock));
        for (const std::string& f : faults) {
            auto fault = sim::parseCallFault(f);
            ASSERT_TRUE(fault) << f;
            board.addFault(*fault);
        }
        ui::Services services{board, clock, dialogs, net, [this] { messages(); }};
        form = std::make_unique<ui::TForm1>(services);
        QObject::connect(form.get(), &ui::TForm1::lineAppended,
                         [this](const QString& line) {
                             // The end-of-run health line has its own tests.
                             (line.startsWith(QStringLiteral("TS health: ")) ? health : log) << line;
                         });
    }
    // Start-up's UDP set-up and the Open TS fifo button.
    void startUp(const sim::ChannelBOptions& ts = maxRate(), const std::vector<std::string>& faults = {}) {
        makeWindow(ts, faults);
        form->InitUDP();
        form->BtnOpenBClick();
        ASSERT_TRUE(board.isOpen(1));
        log.clear();
        health.clear();
        calls = 0;
    }

    static sim::ChannelBOptions maxRate() {
        sim::ChannelBOptions o;
        o.rateMbit = 0;
        return o;
    }

    // A click of the operator's, through the switch's mouse handling and the
    // window's connections: the switch flips, then its handler runs.
    void click(ui::TzcLightOnOff* sw) {
        ASSERT_TRUE(sw->isEnabled());
        sw->operatorClick();
    }

    // Message handling of a top-level pump that found data at once: call 1
    // is the waiting pass, then each streaming pass p has calls 2p and 2p+1.
    void atCall(int n, std::function<void()> f) { script[n] = std::move(f); }
    void atPassStart(int pass, std::function<void()> f) { atCall(2 * pass, std::move(f)); }
    void atPassEnd(int pass, std::function<void()> f) { atCall(2 * pass + 1, std::move(f)); }

    void messages() {
        ++calls;
        clock.now += stepMs;
        if (onEveryCall) onEveryCall();
        const auto it = script.find(calls);
        if (it != script.end()) {
            const auto f = it->second;  // may run a nested pump that looks here again
            f();
        }
    }

    QStringList recordings() const {
        return QDir(dir.path()).entryList({"*.TS"}, QDir::Files, QDir::Name);
    }
    std::vector<std::uint8_t> fileBytes(const QString& name) const {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly)) return {};
        const QByteArray b = f.readAll();
        return {b.begin(), b.end()};
    }
    std::vector<std::uint8_t> received(std::size_t* datagrams = nullptr, int waitMs = 200) {
        std::vector<std::uint8_t> all;
        std::size_t n = 0;
        for (const auto& d : rx.drain(waitMs)) {
            EXPECT_EQ(d.size(), 1316u) << "one chunk per datagram";
            all.insert(all.end(), d.begin(), d.end());
            ++n;
        }
        if (datagrams) *datagrams = n;
        return all;
    }

    FakeClock clock;
    sim::Ft2232hBoard board{clock};
    CountingDialogs dialogs;
    TestNetwork net;
    UdpReceiver rx;
    QTemporaryDir dir;
    QString oldCwd;
    std::unique_ptr<ui::TForm1> form;
    QStringList log;
    QStringList health;
    std::map<int, std::function<void()>> script;
    std::function<void()> onEveryCall;
    int calls = 0;
    std::uint32_t stepMs = 0;
};

}  // namespace testing_console
