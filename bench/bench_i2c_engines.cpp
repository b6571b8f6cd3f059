// The two register-access engines side by side: the byte-by-byte master,
// one USB round trip per I2C byte, and the queued engine, whole transactions
// many per USB write. Each runs the "test I2C Earda" link test (4,300-odd
// register transactions, then the tuner behind the repeater) on a fresh
// simulated board at the real chip's USB timing with 0, 250 and 1000 us of
// host latency, and on the virtual FT2232H on USB through the libftdi
// backend (a process of its own with the libusb stand-in preloaded). A dump
// of the 405 catalogue registers is timed at 1000 us.
//
// Beside each time: the I2C bus time of the same transactions, that is the
// time from each start condition to its stop on the simulated bus, added up
// over the run, plus the settling waits the tuner programming asks for
// (the bus idles then whoever drives it); the span from the first start to
// the last stop; and the process's CPU time over the wall time (the
// simulated chip's own work included).
//
//   bench_i2c_engines [in-process|vusb|all]    (default all)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "frontend/link_test.h"
#include "frontend/register_dump.h"
#include "frontend/tuners.h"
#include "i2c/i2c_master.h"
#include "i2c/queued_i2c.h"
#include "platform/ftdi_api.h"
#include "platform/libftdi_d2xx.h"
#include "sim/channel_a.h"
#include "sim/ft2232h_board.h"
#include "usb/channel_layer.h"

extern char** environ;

namespace {

using bench::SilentDialogs;
using bench::SteadyClock;

class QuietView : public frontend::LinkTestView {
public:
    void AppendLog(const QString&) override {}
    void ShowErrorTotal(const QString&) override {}
};

// Settling the tuner programming waits for, whatever drives the bus: per
// tuner register 1000 us after the repeater goes on, 100 us after it goes
// off, 10 ms before the next register; 100 + 100 us around the read-back.
constexpr double TunerSettleS = (11 * (1000 + 100 + 10000) + 200) / 1e6;

// Start and stop conditions on the bus: SDA falling or rising while SCL is high.
class BusWatch {
public:
    void change(std::uint64_t ns, bool scl, bool sda) {
        if (sda != sda_ && scl && scl_) {
            if (!sda && !open_) {
                open_ = true;
                startNs_ = ns;
                if (!first_) first_ = ns;
            } else if (sda && open_) {
                open_ = false;
                busyNs_ += ns - startNs_;
                lastNs_ = ns;
                ++transactions_;
            }
        }
        scl_ = scl;
        sda_ = sda;
    }
    double busyS() const { return static_cast<double>(busyNs_) / 1e9; }
    double spanS() const { return first_ ? static_cast<double>(lastNs_ - *first_) / 1e9 : 0.0; }
    std::uint64_t transactions() const { return transactions_; }

    // The SCL/SDA changes of a VCD file the simulated board wrote.
    bool readVcd(const std::string& path) {
        std::ifstream in(path);
        if (!in) return false;
        std::string line;
        std::uint64_t unit = 0;
        bool scl = true, sda = true, defs = true;
        while (std::getline(in, line)) {
            if (defs) {
                defs = line.rfind("$enddefinitions", 0) != 0;
                continue;
            }
            if (line.empty() || line[0] == '$') continue;
            if (line[0] == '#') {
                unit = std::strtoull(line.c_str() + 1, nullptr, 10);
                continue;
            }
            if (line.size() < 2) continue;
            if (line[1] == '!') scl = line[0] == '1';
            else if (line[1] == '"') sda = line[0] == '1';
            else continue;
            change(unit * 10, scl, sda);
        }
        return true;
    }

private:
    bool scl_ = true, sda_ = true, open_ = false;
    std::uint64_t startNs_ = 0, busyNs_ = 0, lastNs_ = 0, transactions_ = 0;
    std::optional<std::uint64_t> first_;
};

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Measure {
    double wallS = 0;
    double cpuS = 0;
    bool ok = false;
};

Measure measure(const std::function<bool()>& task) {
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    Measure m;
    m.ok = task();
    m.wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.cpuS = cpuSeconds() - cpu0;
    return m;
}

bool linkTest(i2c::RegisterAccess& access) {
    QuietView view;
    const frontend::LinkTestReport r = frontend::LinkTest(access, view).TestEarda();
    return r.completed && r.errors == 0 && r.tuner && r.tuner->ok();
}

bool dump(i2c::RegisterAccess& access) {
    const auto rows = frontend::ReadAllRegisters(access, frontend::DemodEardatek);
    for (const auto& r : rows)
        if (!r.read) return false;
    return rows.size() == 405;
}

void header() {
    std::printf("%-7s %-6s %-12s %-8s %9s %9s %7s %7s %9s %6s %6s %7s %5s\n", "engine", "task", "board",
                "latency", "time_s", "bus_s", "ratio", "cpu_%", "span_s", "txns", "batch", "redone", "ok");
}

void row(const char* engine, const char* task, const char* board, std::uint32_t latencyUs, const Measure& m,
         const BusWatch& watch, double busS, const i2c::QueuedI2c* queued) {
    std::printf("%-7s %-6s %-12s %5u us %9.3f %9.3f %7.2f %7.1f %9.3f %6llu %6llu %7llu %5s\n", engine, task,
                board, latencyUs, m.wallS, busS, busS > 0 ? m.wallS / busS : 0.0,
                m.wallS > 0 ? 100.0 * m.cpuS / m.wallS : 0.0, watch.spanS(),
                static_cast<unsigned long long>(watch.transactions()),
                static_cast<unsigned long long>(queued ? queued->stats().batches : 0),
                static_cast<unsigned long long>(queued ? queued->stats().redone : 0), m.ok ? "yes" : "NO");
    std::fflush(stdout);
}

// A fresh in-process board, set up as the headless commands do.
struct InProcess {
    SteadyClock clock;
    SilentDialogs dialogs;
    sim::Ft2232hBoard board{clock};
    usb::ChannelLayer channels{board, dialogs};
    i2c::I2cMaster master{channels, clock, dialogs};
    i2c::QueuedI2c queued{channels, clock};
    BusWatch watch;

    InProcess(std::uint32_t latencyUs, double nackRate) {
        sim::ChannelAOptions o = sim::ChannelAOptions::commandLineDefaults();
        o.usbLatencyUs = latencyUs;
        o.faults.nackRate = nackRate;
        auto device = std::make_unique<sim::ChannelA>(o, clock);
        device->bus().setTrace([this](std::uint64_t t, bool scl, bool sda) { watch.change(t, scl, sda); });
        board.setChannelDevice(0, std::move(device));
        channels.Open_USB_Device_A();
        master.ChannelAOpen = true;
        master.ClockDivisor = 149;
        if (!master.InitI2CController()) std::fprintf(stderr, "the I2C set-up failed\n");
    }
};

// The queued engine's runs are short and the machine may be shared: each is
// made three times on a fresh board and the middle one is shown.
template <class Run>
void median3(Run&& run) {
    std::vector<std::pair<double, std::function<void()>>> runs;
    for (int i = 0; i < 3; ++i) runs.push_back(run());
    std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    runs[1].second();
}

// The bus time of the link test's transactions: what the queued engine's
// run clocked from start to stop, plus the settling.
void inProcess() {
    std::printf("in-process simulated board, real USB timing\n");
    header();
    auto queuedRun = [](std::uint32_t latency, double nack, const char* task, const char* board,
                        const std::function<bool(i2c::RegisterAccess&)>& body, double settleS, double* busS) {
        median3([&] {
            auto b = std::make_shared<InProcess>(latency, nack);
            const Measure m = measure([&] { return body(b->queued); });
            const double bus = b->watch.busyS() + settleS;
            if (busS) *busS = bus;
            return std::make_pair(m.wallS, std::function<void()>([=] {
                                      row("queued", task, board, latency, m, b->watch, bus, &b->queued);
                                  }));
        });
    };
    for (const std::uint32_t latency : {0u, 250u, 1000u}) {
        double busS = 0;
        queuedRun(latency, 0.0, "link", "in-process", linkTest, TunerSettleS, &busS);
        InProcess b(latency, 0.0);
        const Measure m = measure([&] { return linkTest(b.master); });
        row("byte", "link", "in-process", latency, m, b.watch, busS, nullptr);
    }
    // Lost acknowledges: what redoing transactions in order costs.
    queuedRun(1000, 0.01, "link", "nack 0.01", linkTest, TunerSettleS, nullptr);
    // The tuner alone: eleven registers behind the repeater and the read-back.
    auto tuner = [](i2c::RegisterAccess& access) {
        std::array<std::uint8_t, i2c::TunerReadBackSize> back{};
        return frontend::WriteSTB6100Defaults(access, frontend::DemodEardatek) &&
               access.ReadTunerRegisters(frontend::DemodEardatek, frontend::TunerAddress, back);
    };
    double tunerBusS = 0;
    queuedRun(1000, 0.0, "tuner", "in-process", tuner, TunerSettleS, &tunerBusS);
    {
        InProcess b(1000, 0.0);
        const Measure m = measure([&] { return tuner(b.master); });
        row("byte", "tuner", "in-process", 1000, m, b.watch, tunerBusS, nullptr);
    }
    // A dump has no waits of its own: the queued run's clocked time is its bus time.
    double dumpBusS = 0;
    queuedRun(1000, 0.0, "dump", "in-process", dump, 0.0, &dumpBusS);
    InProcess b(1000, 0.0);
    const Measure m = measure([&] { return dump(b.master); });
    row("byte", "dump", "in-process", 1000, m, b.watch, dumpBusS, nullptr);
}

// In a process with the libusb stand-in preloaded: one engine, the link
// test, the bus read back from the board's trace.
int vusbChild(const std::string& engine, const std::string& trace) {
    SteadyClock clock;
    SilentDialogs dialogs;
    platform::LibFtdiD2xx lib(platform::makeLibFtdiApi());
    usb::ChannelLayer channels(lib, dialogs);
    if (channels.GetFTDeviceCount() != usb::FT_OK || channels.FT_Device_Count < 2 ||
        channels.Open_USB_Device_A() != usb::FT_OK) {
        std::fprintf(stderr, "no virtual board\n");
        return 1;
    }
    i2c::I2cMaster master(channels, clock, dialogs);
    master.ChannelAOpen = true;
    master.ClockDivisor = 149;
    if (!master.InitI2CController()) {
        std::fprintf(stderr, "the I2C set-up failed\n");
        return 1;
    }
    i2c::QueuedI2c queued(channels, clock);
    const bool isQueued = engine == "queued";
    const Measure m = measure([&] { return linkTest(isQueued ? static_cast<i2c::RegisterAccess&>(queued) : master); });
    channels.Close_USB_Device_A();  // the board writes out its trace
    BusWatch watch;
    if (!watch.readVcd(trace)) std::fprintf(stderr, "no trace %s\n", trace.c_str());
    std::printf("%s %.6f %.6f %d %.6f %.6f %llu %llu %llu\n", engine.c_str(), m.wallS, m.cpuS, m.ok ? 1 : 0,
                watch.busyS(), watch.spanS(), static_cast<unsigned long long>(watch.transactions()),
                static_cast<unsigned long long>(queued.stats().batches),
                static_cast<unsigned long long>(queued.stats().redone));
    return 0;
}

// Runs this program again with the stand-in preloaded; its one line of results.
std::string again(const char* self, const std::string& engine, std::uint32_t latencyUs) {
    const std::string trace = "/tmp/bench_i2c_engines_" + std::to_string(::getpid()) + ".vcd";
    const std::string out = trace + ".txt";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) && std::strncmp(*e, "VESPER_VUSB_OPTIONS=", 20)) env.emplace_back(*e);
    env.push_back(std::string("LD_PRELOAD=") + VESPER_VUSB_LIB);
    env.push_back("VESPER_VUSB_OPTIONS=--usb-latency-us=" + std::to_string(latencyUs) + " --i2c-trace=" + trace);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string mode = "--vusb-child", eng = engine, tr = trace;
    char* argv[] = {const_cast<char*>(self), mode.data(), eng.data(), tr.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    std::string result;
    if (posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, envp.data()) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        std::ifstream in(out);
        std::getline(in, result);
    }
    posix_spawn_file_actions_destroy(&actions);
    std::remove(out.c_str());
    std::remove(trace.c_str());
    return result;
}

void vusb(const char* self) {
    std::printf("virtual FT2232H on USB through the libftdi backend\n");
    header();
    for (const std::uint32_t latency : {0u, 1000u}) {
        double busS = 0;
        for (const char* engine : {"queued", "byte"}) {
            const std::string line = again(self, engine, latency);
            char name[16] = {};
            double wall = 0, cpu = 0, busy = 0, span = 0;
            int ok = 0;
            unsigned long long txns = 0, batches = 0, redone = 0;
            if (std::sscanf(line.c_str(), "%15s %lf %lf %d %lf %lf %llu %llu %llu", name, &wall, &cpu, &ok, &busy,
                            &span, &txns, &batches, &redone) != 9) {
                std::printf("%-7s link   virtual-usb  %5u us   failed to run\n", engine, latency);
                continue;
            }
            if (std::strcmp(engine, "queued") == 0) busS = busy + TunerSettleS;
            std::printf("%-7s %-6s %-12s %5u us %9.3f %9.3f %7.2f %7.1f %9.3f %6llu %6llu %7llu %5s\n", engine,
                        "link", "virtual-usb", latency, wall, busS, busS > 0 ? wall / busS : 0.0,
                        wall > 0 ? 100.0 * cpu / wall : 0.0, span, txns, batches, redone, ok ? "yes" : "NO");
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "all";
    if (first == "--vusb-child" && argc == 4) return vusbChild(argv[2], argv[3]);
    if (first == "in-process" || first == "all") inProcess();
    if (first == "vusb" || first == "all") vusb(argv[0]);
    return 0;
}
