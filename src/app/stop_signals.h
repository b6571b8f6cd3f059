// Ctrl+C (SIGINT), SIGTERM and SIGHUP: the operator, a service manager or a
// closed terminal asking the program to end. The window ends as its close
// box ends it, so that a recording is closed whole; the commands without a
// window end at once with the shell's status for the signal.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace app {

// The window's way: the handler only writes the signal's number into a pipe
// (all a handler may safely do); the Qt loop reads it and calls stop. A
// second signal of the same kind ends the program at once, for a program
// that does not answer. Handlers are installed for the object's lifetime.
class WindowStopSignals : public QObject {
public:
    explicit WindowStopSignals(std::function<void(int signal)> stop);
    ~WindowStopSignals() override;

private:
    void readPipe();

    std::function<void(int)> stop_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// The commands' way: the handler drops the reports not yet written (the old
// files stay), puts the D2XX trace in place, says which signal on standard
// error and ends the program with 128 + its number: 130, 143, 129.
void exitOnStopSignals();

// The monitor's way: the handler notes the signal and the monitor ends at
// its next look, with its summary, as when its time is up. A second signal
// of the same kind ends the program at once.
void noteStopSignals();
// The signal noted since noteStopSignals, or 0.
int stopSignalNoted();

// "SIGINT", "SIGTERM", "SIGHUP".
const char* stopSignalName(int signal);

}  // namespace app
