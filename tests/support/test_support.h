// Helpers shared by the test binaries: a clock that tests drive and dialogs
// that are recorded instead of shown. No Qt here: the tests of the layers
// below the console use none.
#pragma once

#include <cstdint>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "usb/platform_services.h"

namespace testing_support {

// Time moves only when the code under test sleeps or when the test says so;
// every reading can also advance it by a fixed step, so that polling loops
// bounded by time end without real waiting. The local date stands still,
// or moves with the clock from dateOriginUs on when dateFollowsTime is set.
class FakeClock : public usb::Clock {
public:
    bool perfCounter = true;
    std::int64_t frequency = 1'000'000;  // what the counter claims; it counts microseconds
    std::int64_t nowUs = 0;
    std::int64_t stepUsPerReading = 0;
    // Tick readings step by this instead, when set (below 0: not set).
    std::int64_t stepUsPerTickReading = -1;
    // How often each was read, and the sleeps asked for.
    int counterReads = 0;
    int tickReads = 0;
    std::uint32_t sleptMs = 0;
    usb::LocalDateTime date{2025, 12, 8, 14, 5, 33};
    bool dateFollowsTime = false;
    std::int64_t dateOriginUs = 0;

    void advanceMs(std::int64_t ms) { nowUs += ms * 1000; }

    bool hasPerformanceCounter() override { return perfCounter; }
    std::int64_t performanceFrequency() override { return frequency; }
    std::int64_t performanceCounter() override {
        ++counterReads;
        return advance(stepUsPerReading);
    }
    std::uint32_t tickCount() override {
        ++tickReads;
        return static_cast<std::uint32_t>(
            advance(stepUsPerTickReading >= 0 ? stepUsPerTickReading : stepUsPerReading) / 1000);
    }
    void sleepMs(std::uint32_t ms) override {
        sleptMs += ms;
        nowUs += std::int64_t(ms) * 1000;
    }
    // Within one day of the date, which is all a test needs.
    usb::LocalDateTime localNow() override {
        if (!dateFollowsTime) return date;
        const std::int64_t s = date.hour * 3600 + date.minute * 60 + date.second +
                               (nowUs - dateOriginUs) / 1'000'000;
        usb::LocalDateTime t = date;
        t.hour = static_cast<int>(s / 3600 % 24);
        t.minute = static_cast<int>(s / 60 % 60);
        t.second = static_cast<int>(s % 60);
        return t;
    }

private:
    std::int64_t advance(std::int64_t step) {
        nowUs += step;
        return nowUs;
    }
};

class RecordingDialogs : public usb::Dialogs {
public:
    std::vector<std::string> errors;
    std::vector<std::string> messages;
    void errorDialog(const std::string& message) override { errors.push_back(message); }
    void messageBox(const std::string& text) override { messages.push_back(text); }
};

}  // namespace testing_support
