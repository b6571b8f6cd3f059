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

namespace app {

struct Platform {
    // With --board, library shows only that board's devices of this one.
    std::unique_ptr<usb::D2xxLibrary> unfiltered;
    std::unique_ptr<usb::D2xxLibrary> library;
    std::unique_ptr<console::Network> network;
    // What the backend has to say when the program ends (empty: nothing);
    // the simulated board counts the pin contentions on its I2C bus.
    std::function<std::string()> endReport;
};

// Null with a message when the chosen backend cannot be had.
std::unique_ptr<Platform> makePlatform(const Options& options, usb::Clock& clock,
                                       std::string* error);

}  // namespace app
