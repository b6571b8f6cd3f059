// The main window: the log, the status labels and lamps of the I2C, TS and
// UDP paths, the channel and test buttons, the three light switches that
// steer the transport-stream pump, a status bar and a small menu.
//
// The window owns the cores and shows what they do. Its handlers keep the
// names the bench engineers know them by and are short calls into the core
// that owns the logic: console::Startup (start-up, channels, I2C set-up),
// console::TsPump and console::UdpOutput (the stream), frontend::LinkTest
// (link test, default image, tuners).
#pragma once

#include <QMainWindow>
#include <QString>
#include <functional>
#include <vector>

#include "console/network.h"
#include "console/operator_panel.h"
#include "console/startup.h"
#include "console/ts_pump.h"
#include "console/udp_output.h"
#include "frontend/link_test.h"
#include "i2c/i2c_master.h"
#include "usb/channel_layer.h"
#include "usb/d2xx.h"
#include "usb/platform_services.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QFrame;

namespace ui {

class TzcLightOnOff;

// Everything the window needs from the platform, chosen by main() or a test.
struct Services {
    usb::D2xxLibrary& library;
    usb::Clock& clock;
    usb::Dialogs& dialogs;
    console::Network& network;
    // Lets the message loop handle what is pending, from inside a handler.
    std::function<void()> processMessages;
    // Where the UDP output sends the stream.
    console::UdpDestination udp = {};
};

class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    explicit TForm1(const Services& services, QWidget* parent = nullptr);
    ~TForm1() override;

    // Appends one whole line to the log (and announces it, see lineAppended).
    void AppendLog(const QString& line);
    QString LogText() const;
    // Status bar panel 0; an empty text clears it.
    void SetStatusText(const QString& text);
    QString StatusText() const;
    // Gives a lamp a copy of the hidden green lamp's picture.
    void LightLamp(QLabel* lamp);
    bool LampIsGreen(const QLabel* lamp) const;
    // Lets the message loop handle what is pending, from inside a handler.
    void ProcessMessages();

    // Handlers (console: start-up and channels).
    void FormShow();
    void BtnRefreshClick();
    void BtnOpenAClick();
    void BtnCloseAClick();
    void BtnOpenBClick();
    void BtnCloseBClick();
    void BtnQuitClick();
    void FTQuitExecute();
    // True when the key event is to be discarded.
    bool Memo1KeyPress(QEvent* event);

    // Console: UDP output and the transport-stream pump.
    void InitUDP();
    void GetTSBtnClick();
    void RecordOnOffClick();
    void ReceiveTS();

    // I2C master set-up.
    void InitI2CBtnClick();

    // Front end: link test, default image, tuners.
    void TestSharpBtnClick();
    void TestEardaBtnClick();
    bool TestDemod();
    void InitSTV903BtnClick();
    void InitSTB6100BtnClick();
    void InitSTV6110BtnClick();

    // Controls, under their designed names.
    QFrame* Panel1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* I2Cstatus = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* NbI2CerrorsTxt = nullptr;
    QLabel* LedI2C = nullptr;
    QPushButton* TestI2CBtn = nullptr;
    QPushButton* BtnOpenA = nullptr;
    QPushButton* TestSharpBtn = nullptr;
    QPushButton* TestEardaBtn = nullptr;
    QPushButton* BtnCloseA = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* TsStatus = nullptr;
    QPushButton* BtnOpenB = nullptr;
    TzcLightOnOff* GetTSBtn = nullptr;
    TzcLightOnOff* RecordOnOff = nullptr;
    QPushButton* BtnCloseB = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* LedUDP = nullptr;
    TzcLightOnOff* UDPOnOff = nullptr;
    QPushButton* BtnRefresh = nullptr;
    QPushButton* BtnQuit = nullptr;
    QLabel* LedVerte = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusPanels[3] = {};
    QMenu* File1 = nullptr;
    QAction* N1 = nullptr;
    QAction* N2 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* Help1 = nullptr;
    QAction* About1 = nullptr;

private:
    // The window as the cores see it.
    class Panel : public console::OperatorPanel, public frontend::LinkTestView {
    public:
        explicit Panel(TForm1& form) : form_(form) {}
        void ClearLog() override;
        void AppendLog(const QString& line) override;
        void SetStatusText(const QString& text) override;
        QString Caption() const override;
        void SetCaption(const QString& caption) override;
        void ShowDeviceRows(const QStringList& rows) override;
        void StateChanged(const console::ConsoleState& state) override;
        bool SwitchOn(console::Switch s) const override;
        void SetSwitchOn(console::Switch s, bool on) override;
        void ProcessMessages() override;
        void QuitProgram() override;
        void CloseWindow() override;
        void ShowErrorTotal(const QString& text) override;

    private:
        TzcLightOnOff* switchOf(console::Switch s) const;
        TForm1& form_;
    };

    Services services_;
    Panel panel_{*this};

public:
    // Shows the console's state: enabled controls, status labels, lamps.
    void ShowState(const console::ConsoleState& state);
    QWidget* controlOf(console::Control control) const;

    // Subsystems the window owns.
    console::ConsoleModel Model{&panel_};
    usb::ChannelLayer Channels;
    i2c::I2cMaster I2C;
    frontend::LinkTest Link;
    console::UdpOutput Udp;
    console::TsPump Pump;
    console::Startup Console;

signals:
    void lineAppended(const QString& line);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void buildControls();

    bool shown_ = false;
    std::vector<QLabel*> textLabels_;
};

}  // namespace ui
