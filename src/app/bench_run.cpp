#include "app/bench_run.h"

#include <QAction>
#include <QPushButton>

#include "app/options.h"
#include "ui/main_window.h"
#include "ui/zonzoff.h"

namespace app {

BenchRun::BenchRun(ui::TForm1& form, std::vector<std::string> steps,
                   std::function<void(const std::string&)> report)
    : form_(form), steps_(std::move(steps)), report_(std::move(report)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { runNext(); });
}

void BenchRun::start() {
    if (!steps_.empty()) timer_.start(StepIntervalMs);
}

void BenchRun::runNext() {
    if (finished()) return;
    const std::string step = steps_[next_++];
    int delay = StepIntervalMs;
    if (step.rfind("wait", 0) == 0) {
        int value = 0;
        if (parseWaitStep(step, &value)) delay = value;
        else report_("step '" + step + "': wait takes milliseconds, e.g. 'wait 500'");
    }
    // Arm the next step before acting: a handler that runs the message loop
    // (the pump) then still sees the following steps.
    if (!finished()) timer_.start(delay);
    if (step == "close") {
        // The window's close box: the window manager asks it to close.
        form_.close();
        return;
    }
    if (step.rfind("wait", 0) != 0 && !click(step))
        report_("step '" + step + "': no control of that name");
}

bool BenchRun::click(const std::string& name) {
    const QString objectName = QString::fromStdString(name);
    if (auto* sw = form_.findChild<ui::TzcLightOnOff*>(objectName)) {
        if (!sw->isEnabled()) report_("step '" + name + "': the switch is disabled, click ignored");
        sw->operatorClick();
        return true;
    }
    if (auto* button = form_.findChild<QPushButton*>(objectName)) {
        if (!button->isEnabled()) report_("step '" + name + "': the button is disabled, click ignored");
        button->click();
        return true;
    }
    if (auto* action = form_.findChild<QAction*>(objectName)) {
        if (!action->isEnabled()) report_("step '" + name + "': the menu item is disabled, ignored");
        action->trigger();
        return true;
    }
    return false;
}

}  // namespace app
