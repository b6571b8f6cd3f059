// Chooses what the window talks to: the simulated bench board or real USB
// hardware, and the host's socket service.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/options.h"
#include "console/network.h"
#include "usb/d2xx.h"
#include "usb/platform_services.h"

namespace platform {
class OutputFile;
class TracingD2xx;
}

namespace app {

struct Platform {
    // With --board, library shows only that board's devices of this one.
    std::unique_ptr<usb::D2xxLibrary> unfiltered;
    std::unique_ptr<usb::D2xxLibrary> library;
    std::unique_ptr<console::Network> network;
    // What the backend has to say when the program ends (empty: nothing);
    // the simulated board counts the pin contentions on its I2C bus.
    std::function<std::string()> endReport;
    // The D2XX trace's file, when there is one: put in place at the end.
    std::shared_ptr<platform::OutputFile> traceFile;
    // Where the backend's notes also go, while the trace is written.
    std::shared_ptr<platform::TracingD2xx*> noteTrace;
};

// Null with a message when the chosen backend cannot be had.
std::unique_ptr<Platform> makePlatform(const Options& options, usb::Clock& clock,
                                       std::string* error);

// Closes the board (what is still open) and puts the D2XX trace in place.
// Call when nothing uses the board any more. False, with which file and the
// system's reason in *error, when the trace did not get every line.
bool finishOutputs(Platform& platform, std::string* error);

}  // namespace app
