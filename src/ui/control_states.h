// What the main window shows of the console's state: which controls are
// enabled, the captions of the two status labels and the two lamps. One
// function decides all of it, so the enabling rules live in one place; it
// uses no widget, so it is tested on its own.
#pragma once

#include <QString>
#include <map>

#include "console/console_state.h"
#include "console/operator_panel.h"

namespace ui {

struct ControlStates {
    std::map<console::Control, bool> enabled;
    QString i2cStatus;  // beside "I2C status:"
    QString tsStatus;   // beside "TS status:"
    bool ledI2C = false;
    bool ledUDP = false;

    bool isEnabled(console::Control c) const { return enabled.at(c); }
};

ControlStates ControlsFor(const console::ConsoleState& state);

}  // namespace ui
