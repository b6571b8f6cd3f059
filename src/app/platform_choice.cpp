#include "app/platform_choice.h"

#include <cstdio>

#include "app/board_options.h"
#include "platform/backends.h"
#include "platform/d2xx_trace.h"
#include "platform/output_file.h"
#include "platform/qt_network.h"
#include "sim/board_rack.h"
#include "sim/board_setup.h"
#include "sim/channel_a.h"
#include "sim/ft2232h_board.h"
#include "usb/board_filter.h"

namespace app {

namespace {

std::unique_ptr<usb::D2xxLibrary> makeSimulated(const Options& options, usb::Clock& clock,
                                                std::string* error,
                                                std::vector<const sim::Ft2232hBoard*>& made) {
    // Every board is fitted alike; each has its own serial and handles.
    // The bus trace is of one board only, the chosen one (the first when none
    // is), as boards sharing one file would leave it to whichever closes last.
    constexpr usb::FT_HANDLE HandlesPerBoard = 0x100000;
    std::vector<std::unique_ptr<sim::Ft2232hBoard>> boards;
    for (std::uint32_t i = 0; i < options.boards; ++i) {
        const std::string serial = sim::boardSerial(i);
        auto board = std::make_unique<sim::Ft2232hBoard>(clock);
        board->setDeviceCount(options.devices);
        board->setSerial(serial);
        board->setFirstHandle(0x1000 + i * HandlesPerBoard);
        for (const sim::CallFault& f : options.fails) board->addFault(f);
        const bool traced = options.board.empty() ? i == 0 : options.board == serial;
        std::string warning;
        if (!equipBoard(*board, options.boardOptions, clock, error, &warning, traced)) return nullptr;
        if (!warning.empty()) std::fprintf(stderr, "vesperbox: %s\n", warning.c_str());
        made.push_back(board.get());
        boards.push_back(std::move(board));
    }
    if (boards.size() == 1) return std::move(boards.front());
    return std::make_unique<sim::BoardRack>(std::move(boards));
}

}  // namespace

std::unique_ptr<Platform> makePlatform(const Options& options, usb::Clock& clock,
                                       std::string* error) {
    auto p = std::make_unique<Platform>();
    p->network = std::make_unique<platform::QtNetwork>();
    if (options.simulate) {
        std::vector<const sim::Ft2232hBoard*> boards;
        p->library = makeSimulated(options, clock, error, boards);
        // The pins' push-pull contentions are worth knowing once the run is over.
        p->endReport = [boards]() -> std::string {
            std::uint64_t contentions = 0;
            bool any = false;
            for (const sim::Ft2232hBoard* b : boards) {
                const auto* a = dynamic_cast<const sim::ChannelA*>(b->channelDevice(0));
                if (!a) continue;
                any = true;
                contentions += a->bus().contentions();
            }
            if (!any) return {};
            return "simulated board: " + std::to_string(contentions) +
                   " pin contentions on the I2C bus";
        };
    } else if (!options.fails.empty() || options.devices != 2) {
        *error = "--devices and --fail act on the simulated board; add --simulate";
        return nullptr;
    } else {
        // Notes go to standard error, and into the trace while it is open.
        auto trace = p->noteTrace = std::make_shared<platform::TracingD2xx*>(nullptr);
        p->library = platform::makeRealBackend(options.backend, error, [trace](const std::string& text) {
            std::fprintf(stderr, "vesperbox: %s\n", text.c_str());
            if (*trace) (*trace)->note(text);
        });
    }
    if (!p->library) return nullptr;
    // The trace sits right on the library, so it shows every call the board gets.
    if (!options.d2xxTrace.empty()) {
        auto tracing = platform::TracingD2xx::open(std::move(p->library), options.d2xxTrace, error,
                                                   platform::TracingD2xx::DefaultLimitBytes, &p->traceFile);
        if (!tracing) return nullptr;
        if (p->noteTrace) *p->noteTrace = tracing.get();
        p->library = std::move(tracing);
    }
    if (!options.board.empty()) {
        p->unfiltered = std::move(p->library);
        p->library = std::make_unique<usb::BoardFilter>(*p->unfiltered, options.board);
    }
    return p;
}

bool finishOutputs(Platform& p, std::string* error) {
    // The trace closes the backend before itself, so that the backend's last
    // notes still reach it; the filter goes before what it filters.
    p.library.reset();
    p.unfiltered.reset();
    if (p.noteTrace) *p.noteTrace = nullptr;
    if (!p.traceFile) return true;
    std::string reason;
    const bool written = p.traceFile->commit(&reason);
    if (!written) *error = "could not write the D2XX trace to '" + p.traceFile->path() + "': " + reason;
    p.traceFile.reset();
    return written;
}

}  // namespace app
