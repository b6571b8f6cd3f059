// The transport-stream pump at full speed: the simulated channel B as fast as
// it is read, UDP on to a receiving socket on 127.0.0.1 and Record on to a
// temporary directory, through the real window with the real message loop.
// Every run checks that the receiver and the file got every chunk, in order.
//
// The program as users run it has its window shown, so the status line is
// laid out and painted as the pump redraws it (on the offscreen platform
// unless QT_QPA_PLATFORM says otherwise); the second argument chooses that.
// cpu_us/chunk is the CPU time of the thread that runs the pump and the
// window, which includes the simulated board's side of channel B.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/qt_network.h"
#include "platform/qt_services.h"
#include "sim/ft2232h_board.h"
#include "sim/ts_source.h"
#include "ui/main_window.h"
#include "ui/zonzoff.h"

namespace {

constexpr std::size_t Chunk = 1316;

std::uint64_t be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

// Counts the payload-PID packets of a chunk that follow on from the last one.
class CounterCheck {
public:
    void feed(const std::uint8_t* chunk, std::size_t size) {
        for (std::size_t off = 0; off + sim::TsPacketSize <= size; off += sim::TsPacketSize) {
            const std::uint8_t* p = chunk + off;
            if (p[0] != 0x47) { ++errors; continue; }
            if (((p[1] & 0x1F) << 8 | p[2]) != sim::TsPayloadPid) continue;
            const std::uint64_t c = be64(p + ((p[3] & 0x20) ? 5 + p[4] : 4));
            if (started_ && c != last_ + 1) ++errors;
            started_ = true;
            last_ = c;
        }
    }
    std::uint64_t errors = 0;

private:
    bool started_ = false;
    std::uint64_t last_ = 0;
};

// The player: a thread that takes every datagram off a loopback socket.
class Receiver {
public:
    Receiver() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        int big = 32 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { loop(); });
    }
    ~Receiver() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    // Waits until count datagrams arrived in all, or nothing came for 500 ms.
    std::uint64_t waitFor(std::uint64_t count) {
        for (int idle = 0; datagrams < count && idle < 50; ++idle) {
            const std::uint64_t before = datagrams;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (datagrams != before) idle = 0;
        }
        return datagrams;
    }
    std::uint16_t port = 0;
    std::atomic<std::uint64_t> datagrams{0};
    std::atomic<std::uint64_t> badSize{0};
    std::atomic<std::uint64_t> counterErrors{0};
    // Each pump run purges the FIFO, so the counter starts afresh.
    std::atomic<bool> newRun{false};

private:
    void loop() {
        std::vector<std::uint8_t> buf(65536);
        CounterCheck check;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n <= 0) continue;
            if (static_cast<std::size_t>(n) != Chunk) ++badSize;
            if (newRun.exchange(false)) {
                const std::uint64_t errors = check.errors;
                check = CounterCheck();
                check.errors = errors;
            }
            check.feed(buf.data(), static_cast<std::size_t>(n));
            counterErrors = check.errors;
            ++datagrams;
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Real sockets, aimed at the benchmark's receiver instead of port 1234.
class RedirectedNetwork : public console::Network {
public:
    explicit RedirectedNetwork(std::uint16_t port) : port_(port) {}
    std::vector<std::string> localAddresses() override { return real_.localAddresses(); }
    std::unique_ptr<console::UdpClient> createUdpClient() override {
        struct Client : console::UdpClient {
            std::unique_ptr<console::UdpClient> real;
            std::uint16_t port;
            void setHost(const std::string& h) override { real->setHost(h); }
            void setPort(std::uint16_t) override { real->setPort(port); }
            void setBoundAddress(const std::string& a) override { real->setBoundAddress(a); }
            void setBufferSize(std::size_t n) override { real->setBufferSize(n); }
            void connect() override { real->connect(); }
            bool connected() const override { return real->connected(); }
            void send(const std::uint8_t* d, std::size_t n) override { real->send(d, n); }
        };
        auto c = std::make_unique<Client>();
        c->real = real_.createUdpClient();
        c->port = port_;
        return c;
    }

private:
    platform::QtNetwork real_;
    std::uint16_t port_;
};

class SilentDialogs : public usb::Dialogs {
public:
    void errorDialog(const std::string&) override {}
    void messageBox(const std::string&) override {}
};

// CPU of the calling thread only: the receiver's thread is the player's cost.
double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_PumpToFileAndUdp(benchmark::State& state) {
    const auto chunksPerRun = static_cast<std::uint64_t>(state.range(0));
    QTemporaryDir dir;
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(dir.path());

    platform::SystemClock clock;
    sim::Ft2232hBoard board(clock);
    sim::ChannelBOptions opts;
    opts.rateMbit = 0;
    auto fifoOwner = sim::makeChannelB(opts, clock);
    sim::TsFifo* fifo = fifoOwner.get();
    board.setChannelDevice(1, std::move(fifoOwner));
    SilentDialogs dialogs;
    Receiver rx;
    RedirectedNetwork network(rx.port);

    ui::TForm1* formPtr = nullptr;
    std::uint64_t messageCalls = 0;
    const ui::Services services{board, clock, dialogs, network, [&] {
        QCoreApplication::processEvents();
        ++messageCalls;
        // Call 1 is the wait; pass p has calls 2p and 2p+1.
        if (messageCalls == 2) {
            formPtr->UDPOnOff->operatorClick();
            formPtr->RecordOnOff->operatorClick();
        } else if (messageCalls == 2 * chunksPerRun + 1) {
            formPtr->GetTSBtn->operatorClick();
        }
    }};
    ui::TForm1 form(services);
    formPtr = &form;
    if (state.range(1) != 0) {
        // Start-up runs when the window is first shown, UDP set-up included.
        form.show();
        for (int i = 0; i < 50 && !form.isVisible(); ++i) QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    } else {
        form.InitUDP();
    }
    form.BtnOpenBClick();

    std::uint64_t chunks = 0, runs = 0, lost = 0;
    double cpu = 0;
    for (auto _ : state) {
        messageCalls = 0;
        rx.newRun = true;
        const std::uint64_t before = rx.datagrams;
        const double cpu0 = cpuSeconds();
        form.GetTSBtn->operatorClick();  // returns when the pump has ended
        cpu += cpuSeconds() - cpu0;

        state.PauseTiming();
        const std::uint64_t got = rx.waitFor(before + chunksPerRun) - before;
        qint64 recorded = 0;
        for (const QString& name : QDir(dir.path()).entryList({"*.TS"}, QDir::Files)) {
            recorded += QFile(dir.filePath(name)).size();
            QFile::remove(dir.filePath(name));
        }
        lost += (chunksPerRun - got) + (chunksPerRun - static_cast<std::uint64_t>(recorded) / Chunk);
        chunks += chunksPerRun;
        ++runs;
        state.ResumeTiming();
    }
    QDir::setCurrent(oldCwd);

    state.SetBytesProcessed(static_cast<std::int64_t>(chunks * Chunk));
    state.SetItemsProcessed(static_cast<std::int64_t>(chunks));
    state.counters["chunks/s"] = benchmark::Counter(static_cast<double>(chunks), benchmark::Counter::kIsRate);
    state.counters["cpu_us/chunk"] = cpu * 1e6 / static_cast<double>(chunks);
    state.counters["lost_chunks"] = static_cast<double>(lost);
    state.counters["fifo_dropped"] = static_cast<double>(fifo->droppedBytes());
    state.counters["rx_counter_gaps"] = static_cast<double>(rx.counterErrors);
    state.counters["rx_bad_size"] = static_cast<double>(rx.badSize);
    if (lost || fifo->droppedBytes() || rx.badSize || rx.counterErrors) state.SkipWithError("the stream lost data");
}

BENCHMARK(BM_PumpToFileAndUdp)
    ->ArgNames({"chunks", "window_shown"})
    ->Args({20000, 1})
    ->Args({20000, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
