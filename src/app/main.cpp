// vesperbox: the bench tool's entry point. Chooses the board (simulated or
// real) and the dialogs (on screen, or printed for an unattended run), builds
// the windows and runs the message loop.
#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <memory>
#include <string>

#include "app/bench_run.h"
#include "app/commands.h"
#include "app/display.h"
#include "app/options.h"
#include "app/platform_choice.h"
#include "app/stop_signals.h"
#include "app/version.h"
#include "platform/qt_services.h"
#include "ui/cfg_unit.h"
#include "ui/main_window.h"
#include "usb/serial_settings.h"

namespace {

void printLine(std::FILE* stream, const std::string& line) {
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
    app::Options options;
    std::string error;
    if (!app::parseOptions(argc, argv, options, &error)) {
        printLine(stderr, "vesperbox: " + error);
        printLine(stderr, "Try 'vesperbox --help'.");
        return app::ExitUsage;
    }
    if (options.version) {
        std::fputs(app::versionText().c_str(), stdout);
        return 0;
    }
    if (options.help) {
        std::fputs(app::helpText().c_str(), stdout);
        return 0;
    }
    if (!app::checkOutputFiles(options, &error)) {
        printLine(stderr, "vesperbox: " + error);
        return app::ExitUsage;
    }
    if (app::isHeadless(options)) return app::runHeadless(options, argc, argv);
    if (!app::displayFound(argc, argv, &error)) {
        printLine(stderr, "vesperbox: " + error);
        return app::ExitFail;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName("Test My Vesperbox");

    platform::SystemClock clock;
    std::unique_ptr<app::Platform> platform = app::makePlatform(options, clock, &error);
    if (!platform) {
        printLine(stderr, "vesperbox: " + error);
        return app::ExitFail;
    }
    app::reportMissingBoard(options, *platform);

    platform::QtDialogs screenDialogs;
    platform::PrintedDialogs printedDialogs([](const std::string& text) { printLine(stderr, text); });
    usb::Dialogs& dialogs =
        options.steps.empty() ? static_cast<usb::Dialogs&>(screenDialogs) : printedDialogs;

    const ui::Services services{*platform->library, clock, dialogs, *platform->network,
                                [] { QCoreApplication::processEvents(); }, options.udp};
    ui::TForm1 form(services);
    QObject::connect(&form, &ui::TForm1::lineAppended,
                     [](const QString& line) { printLine(stdout, line.toStdString()); });

    // The serial settings dialog exists beside the main window but nothing in
    // it opens the dialog; --show-serial-settings does, for a look at it. As a
    // child of the main window it does not keep the program alive on Exit.
    usb::SerialSettings serialSettings;
    ui::TSetupForm setupForm(serialSettings, &form);

    QWidget* screenshotTarget = options.showSerialSettings ? static_cast<QWidget*>(&setupForm) : &form;
    if (!options.screenshot.empty()) {
        QObject::connect(&application, &QCoreApplication::aboutToQuit, [&] {
            if (!screenshotTarget->grab().save(QString::fromStdString(options.screenshot), "PNG"))
                printLine(stderr, "vesperbox: could not save the screenshot to " + options.screenshot);
        });
    }

    // A stop signal closes every window as their close boxes would: a running
    // stream stops and its recording is closed whole.
    app::WindowStopSignals stopSignals([](int signal) {
        printLine(stderr, std::string("vesperbox: ") + app::stopSignalName(signal) + ": closing the window");
        QApplication::closeAllWindows();
    });

    form.show();
    app::BenchRun run(form, options.steps, [](const std::string& text) { printLine(stderr, text); });
    run.start();
    if (options.showSerialSettings) setupForm.show();
    int status = QApplication::exec();
    if (platform->endReport) {
        if (const std::string report = platform->endReport(); !report.empty()) printLine(stderr, "vesperbox: " + report);
    }
    // The window is done with the board: no more calls to trace.
    if (!app::finishOutputs(*platform, &error)) {
        printLine(stderr, "vesperbox: " + error);
        status = app::ExitFail;
    }
    return status;
}
