// What the console's cores need from the operator's side: the log, the
// status line, the captions, lamps, switches and enable states of the
// controls, and the message loop. The main window implements it; tests and
// headless commands implement it too, so the start-up, channel control and
// the pump run without a widget.
#pragma once

#include <QString>
#include <QStringList>

namespace console {

// The controls whose enable state the console sets, under their window names.
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

// Text labels the console writes (each sizes itself to its text).
enum class Label { I2Cstatus, TsStatus };

// Lamps that turn green once their path works; nothing turns them red again.
enum class Lamp { LedI2C, LedUDP };

class OperatorPanel {
public:
    virtual ~OperatorPanel() = default;

    virtual void ClearLog() = 0;
    // One whole line at the end of the log.
    virtual void AppendLog(const QString& line) = 0;
    // Status bar panel 0; an empty text clears it.
    virtual void SetStatusText(const QString& text) = 0;

    virtual QString Caption() const = 0;
    virtual void SetCaption(const QString& caption) = 0;
    // The device rows that Refresh lists.
    virtual void ShowDeviceRows(const QStringList& rows) = 0;

    virtual void SetEnabled(Control control, bool enabled) = 0;
    virtual void SetLabel(Label label, const QString& text) = 0;
    virtual void LightLamp(Lamp lamp) = 0;

    virtual bool SwitchOn(Switch s) const = 0;
    // Sets a switch from code: no click handler runs.
    virtual void SetSwitchOn(Switch s, bool on) = 0;

    // Lets the message loop handle what is pending, from inside a handler.
    virtual void ProcessMessages() = 0;
    // Ends the message loop (Quit), or closes the main window (File > Exit).
    virtual void QuitProgram() = 0;
    virtual void CloseWindow() = 0;
};

}  // namespace console
