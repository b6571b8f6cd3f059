#include "app/platform_choice.h"

#include <cstdio>

#include "app/board_options.h"
#include "platform/backends.h"
#include "platform/d2xx_trace.h"
#include "platform/qt_network.h"
#include "sim/channel_a.h"
#include "sim/ft2232h_board.h"

namespace app {

namespace {

std::unique_ptr<Platform> traced(std::unique_ptr<Platform> p, const Options& options,
                                 std::string* error) {
    if (options.d2xxTrace.empty()) return p;
    p->library = platform::TracingD2xx::open(std::move(p->library), options.d2xxTrace, error);
    if (!p->library) return nullptr;
    return p;
}

}  // namespace

std::unique_ptr<Platform> makePlatform(const Options& options, usb::Clock& clock,
                                       std::string* error) {
    auto p = std::make_unique<Platform>();
    p->network = std::make_unique<platform::QtNetwork>();
    if (options.simulate) {
        auto board = std::make_unique<sim::Ft2232hBoard>(clock);
        board->setDeviceCount(options.devices);
        for (const sim::CallFault& f : options.fails) board->addFault(f);
        std::string warning;
        if (!equipBoard(*board, options.boardOptions, clock, error, &warning)) return nullptr;
        if (!warning.empty()) std::fprintf(stderr, "vesperbox: %s\n", warning.c_str());
        const sim::Ft2232hBoard* b = board.get();
        p->endReport = [b]() -> std::string {
            const auto* a = dynamic_cast<const sim::ChannelA*>(b->channelDevice(0));
            if (!a) return {};
            return "simulated board: " + std::to_string(a->bus().contentions()) +
                   " pin contentions on the I2C bus";
        };
        p->library = std::move(board);
        return traced(std::move(p), options, error);
    }
    if (!options.fails.empty() || options.devices != 2) {
        *error = "--devices and --fail act on the simulated board; add --simulate";
        return nullptr;
    }
    p->library = platform::makeRealBackend(options.backend, error);
    if (!p->library) return nullptr;
    return traced(std::move(p), options, error);
}

}  // namespace app
