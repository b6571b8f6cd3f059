// Start-up, device detection and channel control: what the window does when
// it is first shown, and the buttons that open and close the two channels,
// recount the devices and leave the program.
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ui/main_window.h"
#include "ui/zonzoff.h"

namespace ui {

namespace {

// The driver hands out 8-bit text; serial numbers and descriptions are ASCII
// in practice, Latin-1 keeps any other byte visible instead of dropping it.
QString fromDriver(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void TForm1::FormShow() {
    Memo1->clear();
    Channels.ShowFTErrors = true;
    DevicePresent = false;
    Memo1->setEnabled(true);
    StreamOn = false;
    GetTSBtn->setEnabled(false);
    I2CErrorCount = 0;
    I2CReady = false;

    Channels.GetFTDeviceCount();
    setWindowTitle(windowTitle() + "    D2XX test - " + QString::number(Channels.FT_Device_Count) +
                   " USB Device(s) Present ...");

    if (Channels.FT_Device_Count == 1 || Channels.FT_Device_Count == 2) {
        DevicePresent = true;
        // Each copy is taken whatever the call gave: a failed query leaves the
        // text of the previous one, which is what the operator then sees.
        Channels.GetFTDeviceSerialNo(0);
        Serial0 = fromDriver(Channels.FT_Device_String);
        Channels.GetFTDeviceDescription(0);
        Description0 = fromDriver(Channels.FT_Device_String);
        Channels.GetFTDeviceSerialNo(1);
        Serial1 = fromDriver(Channels.FT_Device_String);
        Channels.GetFTDeviceDescription(1);
        Description1 = fromDriver(Channels.FT_Device_String);

        BtnOpenAClick();
        BtnOpenBClick();

        Channels.Create_USB_Device_Info_List();
        Channels.Get_USB_Device_Info_Detail(0);
        AppendLog(QString::fromUtf8("For I2C,we will use device N° ") + Serial0 + " named: " +
                  Description0);
        Channels.Get_USB_Device_Info_Detail(1);
        AppendLog(QString::fromUtf8("For TS,we will use device N° ") + Serial1 + " named: " +
                  Description1);

        BtnCloseBClick();
        InitUDP();
    } else {
        AppendLog("No FT2232H or no power on it");
    }
    AppendLog(QString(74, '='));
}

void TForm1::BtnRefreshClick() {
    Channels.GetFTDeviceCount();
    setWindowTitle("D2XX test - " + QString::number(Channels.FT_Device_Count) +
                   " Device(s) Present ...");
    // The window has no device list; the rows go to the button's tool tip.
    QStringList rows;
    for (std::uint32_t i = 0; i < Channels.FT_Device_Count; ++i) {
        Channels.GetFTDeviceSerialNo(i);
        const QString serial = fromDriver(Channels.FT_Device_String);
        Channels.GetFTDeviceDescription(i);
        const QString description = fromDriver(Channels.FT_Device_String);
        rows << QString("Device %1\t%2\t%3").arg(i + 1).arg(serial, description);
    }
    BtnRefresh->setToolTip(rows.join('\n'));
}

void TForm1::BtnOpenAClick() {
    if (Channels.Open_USB_Device_A() != usb::FT_OK) return;
    AppendLog("FT2232H  I2C is open");
    TestI2CBtn->setEnabled(true);
    BtnOpenA->setEnabled(false);
    BtnRefresh->setEnabled(false);
    BtnCloseA->setEnabled(true);
    BtnQuit->setEnabled(false);
    I2C.ChannelAOpen = true;
    I2C.ResetLink();  // a fresh handle: whatever cut the last link is gone
    I2Cstatus->setText("Open");
    I2Cstatus->adjustSize();
    if (I2CReady) {
        TestSharpBtn->setEnabled(true);
        TestEardaBtn->setEnabled(true);
    }
}

void TForm1::BtnCloseAClick() {
    Channels.Close_USB_Device_A();
    AppendLog("FT2232H  I2C is closed");
    I2C.ChannelAOpen = false;
    I2C.ResetLink();
    TestI2CBtn->setEnabled(false);
    BtnOpenA->setEnabled(true);
    BtnCloseA->setEnabled(false);
    BtnQuit->setEnabled(true);
    I2Cstatus->setText("Closed");
    I2Cstatus->adjustSize();
    TestSharpBtn->setEnabled(false);
    TestEardaBtn->setEnabled(false);
}

void TForm1::BtnOpenBClick() {
    if (Channels.Open_USB_Device_B() != usb::FT_OK) return;
    AppendLog("FT2232H FIFO open for TS");
    TsStatus->setText("Open");
    TsStatus->adjustSize();
    BtnOpenB->setEnabled(false);
    BtnRefresh->setEnabled(false);
    BtnCloseB->setEnabled(true);
    GetTSBtn->setEnabled(true);
    BtnQuit->setEnabled(false);
}

void TForm1::BtnCloseBClick() {
    Channels.Close_USB_Device_B();
    AppendLog("FT2232H FIFO closed for TS");
    TsStatus->setText("Closed");
    TsStatus->adjustSize();
    BtnOpenB->setEnabled(true);
    BtnCloseB->setEnabled(false);
    BtnQuit->setEnabled(true);
    GetTSBtn->setEnabled(false);
}

void TForm1::BtnQuitClick() { QCoreApplication::quit(); }

void TForm1::FTQuitExecute() {
    if (DevicePresent) {
        Channels.Close_USB_Device_A();
        Channels.Close_USB_Device_B();
    }
    close();
}

bool TForm1::Memo1KeyPress(QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress: {
        // Keys that would type, delete or insert are dropped; navigation and
        // window shortcuts (Ctrl+X is File > Exit) go on.
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
            return key->matches(QKeySequence::Paste) || key->matches(QKeySequence::Undo) ||
                   key->matches(QKeySequence::Redo);
        return !key->text().isEmpty() || key->key() == Qt::Key_Backspace ||
               key->key() == Qt::Key_Delete || key->key() == Qt::Key_Return ||
               key->key() == Qt::Key_Enter;
    }
    case QEvent::ShortcutOverride: {
        // The text view would claim Ctrl+X as Cut; leave it to the menu.
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Cut) ||
            (key->key() == Qt::Key_X && (key->modifiers() & Qt::ControlModifier))) {
            event->ignore();
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

}  // namespace ui
