// Register access and the NIM link test on the simulated board with no USB
// latency, reported as a ratio to the busy-waits the bus timing itself asks
// for. A ratio near 1 means the command stream and the bookkeeping around it
// cost next to nothing beside the waits that cannot be avoided.
//
// The link test again at the real chip's USB timing (answers held until
// 0x87, 125 us microframes, with and without 1 ms of host latency), against
// the bus time: the SCL cycles it clocks plus the waits it must make.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>

#include "bench_support.h"
#include "frontend/link_test.h"
#include "i2c/i2c_master.h"
#include "sim/channel_a.h"
#include "sim/ft2232h_board.h"
#include "usb/channel_layer.h"

namespace {

using bench::SilentDialogs;
using bench::SteadyClock;

// The log is not what is measured: lines are counted and dropped.
class CountingView : public frontend::LinkTestView {
public:
    void AppendLog(const QString&) override { ++lines; }
    void ShowErrorTotal(const QString&) override {}
    long lines = 0;
};

// Busy-waits the bus timing asks for, in microseconds: 5 after each start or
// stop condition, 10 before and 10 after the acknowledge of each byte written.
constexpr double StartStopUs = 5;
constexpr double ByteWriteUs = 20;
// start, address, register high and low, value, stop
constexpr double RegisterWriteUs = 2 * StartStopUs + 4 * ByteWriteUs;
// start, address, register high and low, repeated start, read address, stop
constexpr double RegisterReadUs = 3 * StartStopUs + 4 * ByteWriteUs;

// The link test: repeater off, identity, two passes of one write, 1000 reads
// and 256 x (write, read, write, read), and the 275-entry image between them.
constexpr double LinkTestWrites = 1 + 2 * (1 + 512) + 275;
constexpr double LinkTestReads = 1 + 2 * (1000 + 512);
constexpr double LinkTestUs = LinkTestWrites * RegisterWriteUs + LinkTestReads * RegisterReadUs;
// Then the Eardatek tuner: per register two repeater writes, one tuner
// transaction (start, three bytes, stop) and 1000 + 100 + 10000 us of settling;
// the read-back adds two repeater writes, 2 x 100 us, start, address and stop.
constexpr double TunerRegisterUs = 2 * RegisterWriteUs + 2 * StartStopUs + 3 * ByteWriteUs + 11100;
constexpr double ReadBackUs = 2 * RegisterWriteUs + 200 + 2 * StartStopUs + ByteWriteUs;
constexpr double EardatekButtonUs = LinkTestUs + 11 * TunerRegisterUs + ReadBackUs;

struct SimulatedBus {
    SteadyClock clock;
    SilentDialogs dialogs;
    sim::Ft2232hBoard board{clock};
    usb::ChannelLayer channels{board, dialogs};
    i2c::I2cMaster master{channels, clock, dialogs};
    sim::ChannelA* channelA = nullptr;
    std::uint64_t sclCycles = 0;

    explicit SimulatedBus(const sim::ChannelAOptions& options = {}) {
        auto device = std::make_unique<sim::ChannelA>(options, clock);
        channelA = device.get();
        bool scl = true;
        channelA->bus().setTrace([this, scl](std::uint64_t, bool nowScl, bool) mutable {
            if (nowScl && !scl) ++sclCycles;
            scl = nowScl;
        });
        board.setChannelDevice(0, std::move(device));
        channels.Open_USB_Device_A();
        master.ChannelAOpen = true;
        master.ClockDivisor = 149;
        master.InitI2CController();
    }
};

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

void reportRatio(benchmark::State& state, double totalSeconds, double mandatedUs) {
    const double perOpUs = totalSeconds * 1e6 / static_cast<double>(state.iterations());
    state.counters["us_per_op"] = perOpUs;
    state.counters["mandated_us"] = mandatedUs;
    state.counters["ratio"] = perOpUs / mandatedUs;
}

void BM_RegisterWrite(benchmark::State& state) {
    SimulatedBus bus;
    std::uint8_t v = 0;
    bool ok = true;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) ok = bus.master.I2C_WriteRegister(0xD4, 0xF536, v++) && ok;
    const auto t1 = std::chrono::steady_clock::now();
    if (!ok) state.SkipWithError("a register write failed");
    reportRatio(state, seconds(t0, t1), RegisterWriteUs);
}
BENCHMARK(BM_RegisterWrite)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RegisterRead(benchmark::State& state) {
    SimulatedBus bus;
    bool ok = true;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::uint8_t value = 0;
        ok = bus.master.I2C_ReadRegister(0xD4, 0xF100, value) && ok;
        benchmark::DoNotOptimize(value);
    }
    const auto t1 = std::chrono::steady_clock::now();
    if (!ok) state.SkipWithError("a register read failed");
    reportRatio(state, seconds(t0, t1), RegisterReadUs);
}
BENCHMARK(BM_RegisterRead)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The whole "test I2C Earda" button: link test, image, tuner and read-back.
void BM_EardatekLinkTest(benchmark::State& state) {
    SimulatedBus bus;
    CountingView view;
    frontend::LinkTest test(bus.master, view);

    double total = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const frontend::LinkTestReport& result = test.TestEarda();
        total += seconds(t0, std::chrono::steady_clock::now());
        if (!result.demodFound || result.errors != 0)
            state.SkipWithError("the link test counted errors");
    }
    reportRatio(state, total, EardatekButtonUs);
}
BENCHMARK(BM_EardatekLinkTest)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Arguments: USB timing (0 ideal, 1 real) and the host latency in us.
void BM_EardatekLinkTestUsbTiming(benchmark::State& state) {
    sim::ChannelAOptions options;
    options.usbTiming = state.range(0) ? sim::UsbTiming::Real : sim::UsbTiming::Ideal;
    options.usbLatencyUs = static_cast<std::uint32_t>(state.range(1));
    SimulatedBus bus(options);
    CountingView view;
    frontend::LinkTest test(bus.master, view);

    double total = 0;
    std::uint64_t cycles = 0;
    for (auto _ : state) {
        const std::uint64_t c0 = bus.sclCycles;
        const auto t0 = std::chrono::steady_clock::now();
        const frontend::LinkTestReport& result = test.TestEarda();
        total += seconds(t0, std::chrono::steady_clock::now());
        cycles += bus.sclCycles - c0;
        if (!result.demodFound || result.errors != 0)
            state.SkipWithError("the link test counted errors");
    }
    const double n = static_cast<double>(state.iterations());
    const double sclUs = static_cast<double>(cycles) / n * 5.0;  // 200 kHz
    const double busMs = (sclUs + EardatekButtonUs) / 1000.0;
    state.counters["ms_per_test"] = total * 1000.0 / n;
    state.counters["bus_ms"] = busMs;
    state.counters["scl_cycles"] = static_cast<double>(cycles) / n;
    state.counters["ratio_to_bus"] = total * 1000.0 / n / busMs;
    state.counters["usb_packets"] = static_cast<double>(bus.channelA->engine().bridge().packetsSent());
}
BENCHMARK(BM_EardatekLinkTestUsbTiming)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({1, 125})
    ->Args({1, 1000})
    ->ArgNames({"real", "host_latency_us"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
