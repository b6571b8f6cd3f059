// The commands that run without the main window: "check", "regs",
// "monitor" and --list-boards. Each returns the program's exit status.
#pragma once

#include <QString>

#include "app/options.h"
#include "app/platform_choice.h"
#include "console/board_check.h"
#include "console/headless_bench.h"

namespace app {

inline constexpr int ExitPass = 0;
inline constexpr int ExitFail = 1;
inline constexpr int ExitUsage = 2;

bool isHeadless(const Options& options);
// A --board that names no board present: says on standard error which are,
// so that the operator need not guess.
void reportMissingBoard(const Options& options, Platform& platform);
int runHeadless(const Options& options, int argc, char** argv);

// What the commands share.
// A line on standard output, and "vesperbox: " + a line on standard error.
void printOut(const QString& line);
void printErr(const QString& line);
// The register engine the options ask for.
console::I2cEngine engineOf(const Options& options);
// The set-up steps of regs and monitor print only when they fail; the
// answer is the output.
class FailuresOnly : public console::CheckProgress {
public:
    void stepStarted(const QString&) override {}
    void stepFinished(const console::CheckStep& step) override;
};

// The board as regs and monitor start on it: devices, channels, I2C set-up
// and the fitted NIM, with only failures printed; the channels are closed
// again when it goes.
struct CommandBoard {
    CommandBoard(const Options& options, Platform& platform, usb::Clock& clock);
    ~CommandBoard() { check.closeChannels(); }
    // False (the failed step printed) when the board is not ready.
    bool setUp() { return check.setUp(outcome); }
    std::uint8_t demodAddress() const { return outcome.demodAddress; }

    console::HeadlessBench bench;
    FailuresOnly progress;
    console::BoardCheck check{bench, progress};
    console::CheckOutcome outcome;
};

// "monitor", in monitor_command.cpp.
int runMonitor(const Options& options, Platform& platform, usb::Clock& clock);

}  // namespace app
