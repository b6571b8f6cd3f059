// What the console's cores need from the operator's side: the log, the
// status line, the caption, the switches, the message loop, and the
// console's state to show. The main window implements it; tests and
// headless commands implement it too, so the start-up, channel control and
// the pump run without a widget.
#pragma once

#include <QString>
#include <QStringList>

#include "console/console_state.h"

namespace console {

// The controls the console's state enables and disables, under their
// window names.
enum class Control {
    Memo1,
    TestI2CBtn,
    BtnOpenA,
    TestSharpBtn,
    TestEardaBtn,
    BtnCloseA,
    BtnOpenB,
    GetTSBtn,
    RecordOnOff,
    BtnCloseB,
    UDPOnOff,
    BtnRefresh,
    BtnQuit,
};

// The three light switches that steer the pump.
enum class Switch { GetTSBtn, RecordOnOff, UDPOnOff };

class OperatorPanel : public ConsoleModel::Listener {
public:
    virtual void ClearLog() = 0;
    // One whole line at the end of the log.
    virtual void AppendLog(const QString& line) = 0;
    // Status bar panel 0; an empty text clears it.
    virtual void SetStatusText(const QString& text) = 0;

    virtual QString Caption() const = 0;
    virtual void SetCaption(const QString& caption) = 0;
    // The device rows that Refresh lists.
    virtual void ShowDeviceRows(const QStringList& rows) = 0;

    // The switches are the operator's: a click flips one before its handler
    // runs. The pump reads them on every pass and sets them from code (no
    // click handler runs then).
    virtual bool SwitchOn(Switch s) const = 0;
    virtual void SetSwitchOn(Switch s, bool on) = 0;

    // Lets the message loop handle what is pending, from inside a handler.
    virtual void ProcessMessages() = 0;
    // Ends the message loop (Quit), or closes the main window (File > Exit).
    virtual void QuitProgram() = 0;
    virtual void CloseWindow() = 0;
};

}  // namespace console
