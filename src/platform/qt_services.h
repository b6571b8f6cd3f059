// The real clock and dialogs of the program.
#pragma once

#include <QElapsedTimer>
#include <functional>
#include <string>

#include "usb/platform_services.h"

namespace platform {

class SystemClock : public usb::Clock {
public:
    SystemClock();
    bool hasPerformanceCounter() override { return true; }
    std::int64_t performanceFrequency() override { return 1'000'000'000; }
    std::int64_t performanceCounter() override;  // nanoseconds, monotonic
    std::uint32_t tickCount() override;          // milliseconds since boot, wraps
    void sleepMs(std::uint32_t ms) override;
    usb::LocalDateTime localNow() override;
};

// Qt's modal dialogs: the error dialog and the plain message box.
class QtDialogs : public usb::Dialogs {
public:
    void errorDialog(const std::string& message) override;
    void messageBox(const std::string& text) override;
};

// An unattended run prints its dialogs instead of waiting for someone to press OK.
class PrintedDialogs : public usb::Dialogs {
public:
    explicit PrintedDialogs(std::function<void(const std::string&)> print);
    void errorDialog(const std::string& message) override { print_("dialog: " + message); }
    void messageBox(const std::string& text) override { print_("dialog: " + text); }

private:
    std::function<void(const std::string&)> print_;
};

}  // namespace platform
