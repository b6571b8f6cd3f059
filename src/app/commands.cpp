#include "app/commands.h"

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

#include "app/display.h"
#include "app/platform_choice.h"
#include "app/stop_signals.h"
#include "console/board_check.h"
#include "console/check_report.h"
#include "console/headless_bench.h"
#include "frontend/register_dump.h"
#include "platform/output_file.h"
#include "platform/qt_services.h"
#include "usb/board_filter.h"

#ifndef VESPER_VERSION
#define VESPER_VERSION "unknown"
#endif

namespace app {

void printOut(const QString& line) {
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printErr(const QString& line) {
    std::fputs(("vesperbox: " + line).toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

console::I2cEngine engineOf(const Options& o) {
    return o.commandOptions.byteEngine ? console::I2cEngine::Byte : console::I2cEngine::Queued;
}

void FailuresOnly::stepFinished(const console::CheckStep& s) {
    if (s.result == console::StepResult::Failed) printErr(s.name + QStringLiteral(": ") + s.detail);
}

namespace {

console::LineSink verboseSink(const Options& o) {
    if (!o.commandOptions.verbose) return {};
    return [](const QString& line) { printErr(line); };
}

}  // namespace

CommandBoard::CommandBoard(const Options& o, Platform& p, usb::Clock& clock)
    : bench(*p.library, clock, *p.network, verboseSink(o), engineOf(o)) {}

namespace {

void out(const QString& line) { printOut(line); }
void err(const QString& line) { printErr(line); }

bool writeFile(const std::string& path, const QByteArray& bytes) {
    std::string reason;
    if (!platform::writeOutputFile(path, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                                   &reason)) {
        err(QStringLiteral("could not write ") + QString::fromStdString(path) + QStringLiteral(": ") +
            QString::fromLocal8Bit(reason.c_str()));
        return false;
    }
    return true;
}

QString backendName(const Options& o) {
    return o.simulate ? QStringLiteral("simulated") : QString::fromStdString(o.backend);
}

// Step names as they start when a person watches; only the result lines
// when the output goes to a file or a pipe.
class TerminalProgress : public console::CheckProgress {
public:
    TerminalProgress() : tty_(isatty(STDOUT_FILENO) == 1) {}
    void stepStarted(const QString& name) override {
        if (!tty_) return;
        std::fputs(("... " + name).toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
    }
    void stepFinished(const console::CheckStep& step) override {
        if (tty_ && step.result != console::StepResult::Skipped) std::fputs("\r\033[K", stdout);
        out(console::StepLine(step));
    }

private:
    bool tty_;
};

}  // namespace

void reportMissingBoard(const Options& o, Platform& p) {
    if (o.board.empty() || !p.unfiltered) return;
    const auto boards = usb::BoardSerials(usb::DeviceSerials(*p.unfiltered));
    for (const std::string& b : boards)
        if (b == o.board) return;
    QStringList names;
    for (const std::string& b : boards) names << QString::fromStdString(b);
    err(QStringLiteral("no board ") + QString::fromStdString(o.board) + QStringLiteral(" is present; boards: ") +
        (names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "))));
}

namespace {

int listBoards(Platform& p) {
    usb::D2xxLibrary& lib = p.unfiltered ? *p.unfiltered : *p.library;
    const auto boards = usb::BoardSerials(usb::DeviceSerials(lib));
    for (const std::string& b : boards) out(QString::fromStdString(b));
    if (!boards.empty()) return ExitPass;
    err(QStringLiteral("no board found"));
    return ExitFail;
}

int runCheck(const Options& o, Platform& p, usb::Clock& clock) {
    console::HeadlessBench bench(*p.library, clock, *p.network, verboseSink(o), engineOf(o));
    TerminalProgress progress;
    console::BoardCheck check(bench, progress);
    const CommandOptions& c = o.commandOptions;
    console::CheckSettings settings;
    settings.seconds = c.seconds;
    settings.minMegabits = c.minMegabits;
    settings.dumpRegisters = !c.dumpRegisters.empty();
    settings.lockTimeoutMs = c.lockTimeoutMs;
    settings.minCn = c.minCn;
    settings.minLevel = c.minLevel;
    settings.maxBer = c.maxBer;
    const console::CheckOutcome outcome = check.run(settings);

    // The files first: a pass whose report went nowhere is not a pass.
    const console::ReportContext context{QStringLiteral(VESPER_VERSION), backendName(o), settings.seconds};
    bool written = true;
    if (!o.commandOptions.report.empty())
        written &= writeFile(o.commandOptions.report, console::CheckReportJson(outcome, context));
    if (!o.commandOptions.junit.empty())
        written &= writeFile(o.commandOptions.junit, console::CheckReportJUnit(outcome, context));
    if (settings.dumpRegisters && !outcome.registerRows.empty())
        written &= writeFile(o.commandOptions.dumpRegisters,
                             frontend::RegisterCsv(outcome.registerRows).toUtf8());
    // A trace that stopped short is said when the program ends.
    if (p.traceFile && p.traceFile->failed()) written = false;
    if (outcome.passed() && !written)
        out(QStringLiteral("verdict: FAIL at writing the results: the board passed, but an output file could not be written"));
    else
        out(console::VerdictLine(outcome));
    return outcome.passed() && written ? ExitPass : ExitFail;
}

int runRegs(const Options& o, Platform& p, usb::Clock& clock) {
    CommandBoard board(o, p, clock);
    if (!board.setUp()) return ExitFail;
    console::HeadlessBench& bench = board.bench;
    const std::uint8_t demod = board.demodAddress();
    int status = ExitPass;
    const CommandOptions& c = o.commandOptions;
    if (!c.dump.empty()) {
        const auto rows = frontend::ReadAllRegisters(bench.bus, demod);
        int failed = 0;
        for (const auto& r : rows) failed += !r.read;
        if (!writeFile(c.dump, frontend::RegisterCsv(rows).toUtf8())) status = ExitFail;
        if (failed > 0) {
            err(QString::number(failed) + QStringLiteral(" register reads failed"));
            status = ExitFail;
        }
    } else {
        // --read or --write, its register already found in the catalogue.
        const auto& reg = *c.reg;
        const QString name = QString::fromLatin1(reg.Name.data(), reg.Name.size());
        if (!c.read.empty()) {
            std::uint8_t value = 0;
            if (bench.bus.ReadRegister(demod, reg.Address, value)) {
                out(frontend::RegisterLine(reg, value));
            } else {
                err(QStringLiteral("reading ") + name + QStringLiteral(" failed"));
                status = ExitFail;
            }
        } else if (bench.bus.WriteRegister(demod, reg.Address, c.writeValue)) {
            out(frontend::RegisterLine(reg, c.writeValue) + QStringLiteral(" written"));
        } else {
            err(QStringLiteral("writing ") + name + QStringLiteral(" failed"));
            status = ExitFail;
        }
    }
    return status;
}

}  // namespace

bool isHeadless(const Options& o) { return !o.command.empty() || o.listBoards; }

int runHeadless(const Options& o, int argc, char** argv) {
    exitOnStopSignals();
    // The monitor's signal window is the one window a command shows.
    const bool window = o.command == "monitor" && o.commandOptions.window;
    std::string noDisplay;
    if (window && !displayFound(argc, argv, &noDisplay)) {
        err(QString::fromStdString(noDisplay));
        return ExitFail;
    }
    std::unique_ptr<QCoreApplication> application =
        window ? std::make_unique<QApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vesperbox"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VESPER_VERSION));
    platform::SystemClock clock;
    std::string error;
    std::unique_ptr<Platform> platform = makePlatform(o, clock, &error);
    if (!platform) {
        err(QString::fromStdString(error));
        return ExitFail;
    }
    int status = ExitFail;
    if (o.listBoards) {
        status = listBoards(*platform);
    } else {
        reportMissingBoard(o, *platform);
        if (o.command == "check") status = runCheck(o, *platform, clock);
        else if (o.command == "regs") status = runRegs(o, *platform, clock);
        else status = runMonitor(o, *platform, clock);
    }
    if (!finishOutputs(*platform, &error)) {
        err(QString::fromStdString(error));
        status = ExitFail;
    }
    return status;
}

}  // namespace app
