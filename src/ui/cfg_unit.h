// Serial settings dialog: lets the operator pick baud rate, framing, flow
// control, the RTS/DTR lines and the four special characters of an FTDI
// channel, and turns the choices into D2XX codes in a usb::SerialSettings on
// OK. Cancel leaves the settings alone. The dialog object is meant to live for
// the whole run, so a second showing presents the previous choices.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

#include "usb/serial_settings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;

namespace ui {

// Two hexadecimal digits (either case) to a byte. On anything else, a short
// text included, returns false and leaves out at 0.
bool HexPairToByte(const QString& text, std::uint8_t& out);

class TSetupForm : public QDialog {
    Q_OBJECT

public:
    explicit TSetupForm(usb::SerialSettings& settings, QWidget* parent = nullptr);

    // Handlers; the sender is unused but kept so they can be called the way a
    // control would call them.
    void Button1Click(QObject* Sender);  // OK: parse everything, then accept
    void Button2Click(QObject* Sender);  // Cancel
    void Event_OnClick(QObject* Sender);
    void Error_OnClick(QObject* Sender);

    // Each compares its list's text with the choices exactly; on no match it
    // raises SerialSettingsError and leaves its setting as it was.
    void ParseBaudRate();
    void ParseDataBits();
    void ParseStopBits();
    void ParseParity();
    void ParseFlowControl();

    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* BaudSelect = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* DataBits = nullptr;
    QLabel* Label3 = nullptr;
    QComboBox* StopBits = nullptr;
    QLabel* Label4 = nullptr;
    QComboBox* Parity = nullptr;

    QGroupBox* GroupBox2 = nullptr;
    QLabel* Label5 = nullptr;
    QComboBox* FlowControl = nullptr;
    QLabel* Label6 = nullptr;
    QCheckBox* RTS_On = nullptr;
    QLabel* Label7 = nullptr;
    QCheckBox* DTR_On = nullptr;

    QGroupBox* GroupBox3 = nullptr;
    QLabel* Label8 = nullptr;
    QLineEdit* XON_Val = nullptr;
    QLabel* Label11 = nullptr;
    QLineEdit* XOFF_Val = nullptr;
    QLabel* Label9 = nullptr;
    QLineEdit* Event_Val = nullptr;
    QCheckBox* Event_On = nullptr;
    QLabel* Label10 = nullptr;
    QLineEdit* Error_Val = nullptr;
    QCheckBox* Error_On = nullptr;

    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;

protected:
    // Neither button is a default or cancel button: Enter and Escape are
    // swallowed here instead of pressing one or rejecting the dialog.
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    usb::SerialSettings& settings_;
};

}  // namespace ui
