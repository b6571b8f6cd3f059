// The real main window on the simulated board, with a clock the test moves,
// dialogs that are recorded instead of shown, a socket service whose address
// list and connect the test chooses, and a real UDP receiver on a free port
// of 127.0.0.1 that the window's UDP output is aimed at.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt_network.h"
#include "sim/ft2232h_board.h"
#include "sim/ts_source.h"
#include "support/test_support.h"
#include "support/qt_app.h"
#include "support/ts_check.h"
#include "support/udp_receiver.h"
#include "ui/main_window.h"
#include "ui/zonzoff.h"

namespace testing_console {

// Real Qt sockets, with the set-up the UDP output asked for kept for the
// test, and a listing or a connect that fails on request.
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
            real_->setPort(port);
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

// What a source as fast as read has put ahead of the pump when the wait ends.
constexpr unsigned FullDriverBuffer = 370 * 188;

using testing_support::contiguous;
using testing_support::payloadCounters;

class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        testing_support::qtApp();
        ASSERT_TRUE(rx.ok());
        ASSERT_TRUE(dir.isValid());
        oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        // 9 December 2026, 11:00:00 when the test starts, moving with the clock.
        clock.date = {2026, 12, 9, 11, 0, 0};
        clock.dateFollowsTime = true;
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
        ui::Services services{board, clock, dialogs, net, [this] { messages(); },
                              {"127.0.0.1", rx.port()}};
        form = std::make_unique<ui::TForm1>(services);
        QObject::connect(form.get(), &ui::TForm1::lineAppended, [this](const QString& line) {
            // The end-of-run health line has its own tests.
            if (!line.startsWith(QStringLiteral("TS health: "))) log << line;
        });
    }
    // Start-up's UDP set-up and the Open TS fifo button.
    void startUp(const sim::ChannelBOptions& ts = maxRate(), const std::vector<std::string>& faults = {}) {
        makeWindow(ts, faults);
        form->InitUDP();
        form->BtnOpenBClick();
        ASSERT_TRUE(board.isOpen(1));
        log.clear();
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
        clock.advanceMs(stepMs);
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
        return testing_support::readFile(dir.filePath(name));
    }
    std::vector<std::uint8_t> received(std::size_t* datagrams = nullptr, int waitMs = 200) {
        const std::vector<std::vector<std::uint8_t>> all = rx.drain(waitMs);
        if (datagrams) *datagrams = all.size();
        return testing_support::joinWholeChunks(all);
    }

    testing_support::FakeClock clock;
    sim::Ft2232hBoard board{clock};
    testing_support::RecordingDialogs dialogs;
    TestNetwork net;
    testing_support::UdpReceiver rx;
    QTemporaryDir dir;
    QString oldCwd;
    std::unique_ptr<ui::TForm1> form;
    QStringList log;
    std::map<int, std::function<void()>> script;
    std::function<void()> onEveryCall;
    int calls = 0;
    std::uint32_t stepMs = 0;
};

}  // namespace testing_console
