// What the benchmarks share: a clock on the steady wall clock (real
// sleeps, real time) and dialogs that nobody sees.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "usb/platform_services.h"

namespace bench {

class SteadyClock : public usb::Clock {
public:
    bool hasPerformanceCounter() override { return true; }
    std::int64_t performanceFrequency() override { return 1'000'000'000; }
    std::int64_t performanceCounter() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    std::uint32_t tickCount() override { return static_cast<std::uint32_t>(performanceCounter() / 1'000'000); }
    void sleepMs(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    usb::LocalDateTime localNow() override { return {}; }
};

class SilentDialogs : public usb::Dialogs {
public:
    void errorDialog(const std::string&) override {}
    void messageBox(const std::string&) override {}
};

}  // namespace bench
