// The signal core on the simulated board, through the window's byte-by-byte
// I2C master at the real chip's USB timing: how long one full reading takes
// (status, figures, error counters and sixteen noise pairs) and how many I/Q
// points a second one batch of ISYMB/QSYMB pairs brings. The bus time each
// needs is reported beside it: what a queued engine could come down to.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "bench_support.h"
#include "frontend/signal_reader.h"
#include "i2c/i2c_master.h"
#include "sim/board_setup.h"
#include "sim/ft2232h_board.h"
#include "usb/channel_layer.h"

namespace {

using bench::SilentDialogs;
using bench::SteadyClock;

struct SignalBus {
    SteadyClock clock;
    SilentDialogs dialogs;
    sim::Ft2232hBoard board{clock};
    usb::ChannelLayer channels{board, dialogs};
    i2c::I2cMaster master{channels, clock, dialogs};
    bool ok = false;

    SignalBus() {
        sim::BoardSetup setup;  // real USB timing, the default signal
        sim::BoardChannels made;
        std::string error, warning;
        if (!sim::makeBoardChannels(setup, clock, &made, &error, &warning)) return;
        board.setChannelDevice(0, std::move(made.a));
        board.setChannelDevice(1, std::move(made.b));
        channels.Open_USB_Device_A();
        master.ChannelAOpen = true;
        master.ClockDivisor = 149;
        ok = master.InitI2CController();
    }
};

// One register read on a 200 kHz bus: start, address, two register bytes,
// repeated start, read address, data, stop, 9 clocks a byte.
constexpr double ReadBusUs = 5 * 9 * 5.0;

void BM_SignalReading(benchmark::State& state) {
    SignalBus bus;
    if (!bus.ok) {
        state.SkipWithError("the I2C master did not set up");
        return;
    }
    frontend::SignalReader reader(bus.master, 0xD4);
    reader.Read();  // learns the system, so that each reading is one batch
    bool locked = true;
    for (auto _ : state) locked = reader.Read().locked() && locked;
    if (!locked) state.SkipWithError("the simulated signal was not locked");
    // 5 status, 21 figures, 2 writes and 32 noise reads.
    state.counters["bus_ms"] = 60 * ReadBusUs / 1000;
    state.counters["readings_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Constellation(benchmark::State& state) {
    SignalBus bus;
    if (!bus.ok) {
        state.SkipWithError("the I2C master did not set up");
        return;
    }
    frontend::SignalReader reader(bus.master, 0xD4);
    const auto pairs = static_cast<std::size_t>(state.range(0));
    std::size_t points = 0;
    for (auto _ : state) points += reader.ReadConstellation(pairs).size();
    state.counters["points_per_s"] = benchmark::Counter(static_cast<double>(points), benchmark::Counter::kIsRate);
    state.counters["bus_points_per_s"] = 1e6 / (2 * ReadBusUs);
}

BENCHMARK(BM_SignalReading)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(BM_Constellation)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
