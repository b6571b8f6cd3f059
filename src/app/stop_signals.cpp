#include "app/stop_signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/output_file.h"

namespace app {

namespace {

constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The self-pipe: written by the handler, read by the Qt loop.
int pipeEnds[2] = {-1, -1};

void toPipe(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    // A full pipe already holds a stop to act on.
    [[maybe_unused]] const ssize_t n = ::write(pipeEnds[1], &byte, 1);
    errno = saved;
}

void writeText(const char* text) {
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, std::strlen(text));
}

void exitNow(int signal) {
    platform::settleOutputsOnSignal();
    writeText("vesperbox: stopped by ");
    writeText(stopSignalName(signal));
    writeText("\n");
    ::_exit(128 + signal);
}

volatile std::sig_atomic_t noted = 0;

void note(int signal) { noted = signal; }

void install(void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // The other stop signals wait while one is handled.
    for (int s : StopSignals) sigaddset(&action.sa_mask, s);
    action.sa_flags = flags;
    for (int s : StopSignals) ::sigaction(s, &action, nullptr);
}

}  // namespace

void noteStopSignals() {
    noted = 0;
    install(note, SA_RESTART | SA_RESETHAND);
}

int stopSignalNoted() { return noted; }

const char* stopSignalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

WindowStopSignals::WindowStopSignals(std::function<void(int)> stop) : stop_(std::move(stop)) {
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) return;  // then the signals keep their default
    notifier_ = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readPipe(); });
    // SA_RESETHAND: the next one of the same kind takes its default action.
    install(toPipe, SA_RESTART | SA_RESETHAND);
}

WindowStopSignals::~WindowStopSignals() {
    if (!notifier_) return;
    install(SIG_DFL, 0);
    notifier_.reset();
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void WindowStopSignals::readPipe() {
    char received[16];
    const ssize_t n = ::read(pipeEnds[0], received, sizeof received);
    for (ssize_t i = 0; i < n; ++i) stop_(static_cast<unsigned char>(received[i]));
}

void exitOnStopSignals() { install(exitNow, 0); }

}  // namespace app
