// Platform services that the device layers need, injected by reference so
// that tests can replace time and dialogs.
#pragma once

#include <cstdint>
#include <string>

namespace usb {

struct LocalDateTime {
    int year = 0;
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;
    int second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    // False when the machine has no high-resolution counter.
    virtual bool hasPerformanceCounter() = 0;
    virtual std::int64_t performanceFrequency() = 0;  // counts per second
    virtual std::int64_t performanceCounter() = 0;
    virtual std::uint32_t tickCount() = 0;  // milliseconds, wraps
    virtual void sleepMs(std::uint32_t ms) = 0;
    virtual LocalDateTime localNow() = 0;
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Modal error dialog: error icon, one OK button, centred on the screen.
    virtual void errorDialog(const std::string& message) = 0;
    // Plain message box with one OK button.
    virtual void messageBox(const std::string& text) = 0;
};

}  // namespace usb
