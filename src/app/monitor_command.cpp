// "vesperbox monitor": the check's set-up (devices, channels, I2C, which NIM),
// then the demodulator's signal, one reading per interval, as lines (in
// place on a terminal), JSON lines or the signal window, until the time is
// up or the operator stops it; then a summary. Exit 0 when the stream was
// locked in every reading, 1 when not.
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "app/commands.h"
#include "app/stop_signals.h"
#include "console/signal_monitor.h"
#include "ui/signal_window.h"

namespace app {

namespace {

// The readings as lines or JSON lines; a terminal sees one line, rewritten.
int runLines(const CommandOptions& c, console::SignalMonitor& monitor, i2c::RegisterAccess& bus, usb::Clock& clock) {
    noteStopSignals();
    const bool tty = !c.json && isatty(STDOUT_FILENO) == 1;
    const std::uint32_t start = clock.tickCount();
    const std::uint64_t endMs = c.secondsGiven ? static_cast<std::uint64_t>(c.seconds) * 1000 : 0;
    bool lineOpen = false;
    for (std::uint64_t k = 1;; ++k) {
        // Each reading has its own time, so that slow readings do not make
        // the intervals drift.
        const std::uint64_t due = k * static_cast<std::uint64_t>(c.intervalMs);
        for (;;) {
            const std::uint32_t elapsed = static_cast<std::uint32_t>(clock.tickCount() - start);
            if (elapsed >= due || stopSignalNoted()) break;
            clock.sleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(20, due - elapsed)));
        }
        if (stopSignalNoted()) break;
        const console::SignalSample sample = monitor.Read();
        if (c.json) {
            printOut(QString::fromUtf8(console::SignalJson(sample)));
        } else if (tty) {
            std::fputs(("\r\033[K" + console::SignalLine(sample)).toLocal8Bit().constData(), stdout);
            std::fflush(stdout);
            lineOpen = true;
        } else {
            printOut(console::SignalLine(sample));
        }
        if (bus.LinkLost()) {
            if (lineOpen) std::fputc('\n', stdout);
            lineOpen = false;
            printErr(QStringLiteral("I2C link lost at ") + QString::fromStdString(bus.linkLoss()->text()));
            break;
        }
        if (endMs > 0 && due >= endMs) break;
    }
    if (lineOpen) std::fputc('\n', stdout);
    const console::SignalSummary& summary = monitor.Summary();
    printOut(c.json ? QString::fromUtf8(console::SignalSummaryJson(summary)) : console::SignalSummaryLine(summary));
    return summary.lockedThroughout() && !bus.LinkLost() ? ExitPass : ExitFail;
}

int runWindow(const Options& o, const console::CheckOutcome& setUp, console::SignalMonitor& monitor,
              i2c::RegisterAccess& bus) {
    const CommandOptions& c = o.commandOptions;
    // The window reads through the monitor, so that its summary is the lines'.
    ui::MonitorSignalSource source(monitor);
    ui::SignalWindow window(source, c.intervalMs);
    window.setWindowTitle(QStringLiteral("vesperbox monitor - ") + setUp.board + QStringLiteral(", ") + setUp.nim +
                          QStringLiteral(" NIM"));
    // A stop signal closes the window as its close box would.
    WindowStopSignals stop([](int) { QApplication::closeAllWindows(); });
    if (c.secondsGiven) QTimer::singleShot(c.seconds * 1000, &window, [&window] { window.close(); });
    if (!o.screenshot.empty()) {
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] {
            if (!window.grab().save(QString::fromStdString(o.screenshot), "PNG"))
                printErr(QStringLiteral("could not save the screenshot to ") + QString::fromStdString(o.screenshot));
        });
    }
    window.show();
    window.start();
    QApplication::exec();
    window.stop();
    const console::SignalSummary& summary = monitor.Summary();
    printOut(console::SignalSummaryLine(summary));
    return summary.lockedThroughout() && !bus.LinkLost() ? ExitPass : ExitFail;
}

}  // namespace

int runMonitor(const Options& o, Platform& p, usb::Clock& clock) {
    const CommandOptions& c = o.commandOptions;
    CommandBoard board(o, p, clock);
    if (!board.setUp()) return ExitFail;
    console::HeadlessBench& bench = board.bench;
    // The chip keeps what it holds unless asked: a board set up by another
    // program is watched as it is.
    if (c.init) {
        frontend::LinkTest& link = bench.link;
        link.DemodAddress = board.demodAddress();
        link.InitSTV903();
        if (!link.Report().image || !link.Report().image->written) {
            printErr(QStringLiteral("--init: the default register image could not be written"));
            return ExitFail;
        }
        if (!link.SetUpTuner()) {
            printErr(QStringLiteral("--init: the tuner at 0xC0 did not take its table"));
            return ExitFail;
        }
    }
    console::SignalMonitor monitor(bench.bus, board.demodAddress());
    return c.window ? runWindow(o, board.outcome, monitor, bench.bus) : runLines(c, monitor, bench.bus, clock);
}

}  // namespace app
