#include "console/startup.h"

#include "usb/board_filter.h"

namespace console {

void Startup::FormShow() {
    panel_.ClearLog();
    channels_.ShowFTErrors = true;
    DevicePresent = false;
    panel_.SetEnabled(Control::Memo1, true);
    pump_.StreamOn = false;
    panel_.SetEnabled(Control::GetTSBtn, false);
    linkTest_.I2CErrorCount = 0;
    I2CReady = false;

    channels_.GetFTDeviceCount();
    panel_.SetCaption(panel_.Caption() + "    D2XX test - " +
                      QString::number(channels_.FT_Device_Count) + " USB Device(s) Present ...");

    if (channels_.FT_Device_Count == 1 || channels_.FT_Device_Count == 2) {
        DevicePresent = true;
        // Each copy is taken whatever the call gave: a failed query leaves the
        // text of the previous one, which is what the operator then sees.
        channels_.GetFTDeviceSerialNo(0);
        Serial0 = fromDriver(channels_.FT_Device_String);
        channels_.GetFTDeviceDescription(0);
        Description0 = fromDriver(channels_.FT_Device_String);
        channels_.GetFTDeviceSerialNo(1);
        Serial1 = fromDriver(channels_.FT_Device_String);
        channels_.GetFTDeviceDescription(1);
        Description1 = fromDriver(channels_.FT_Device_String);

        OpenA();
        OpenB();

        channels_.Create_USB_Device_Info_List();
        channels_.Get_USB_Device_Info_Detail(0);
        panel_.AppendLog(QString::fromUtf8("For I2C,we will use device N° ") + Serial0 + " named: " +
                         Description0);
        channels_.Get_USB_Device_Info_Detail(1);
        panel_.AppendLog(QString::fromUtf8("For TS,we will use device N° ") + Serial1 + " named: " +
                         Description1);

        CloseB();
        udp_.InitUDP(panel_);
    } else {
        panel_.AppendLog("No FT2232H or no power on it");
        if (channels_.FT_Device_Count > 2) listBoards();
    }
    panel_.AppendLog(QString(74, '='));
}

// With several boards plugged in start-up cannot know which to use; the
// operator picks one by its serial number on the command line.
void Startup::listBoards() {
    std::vector<std::string> serials;
    for (std::uint32_t i = 0; i < channels_.FT_Device_Count; ++i) {
        serials.push_back(channels_.GetFTDeviceSerialNo(i) == usb::FT_OK ? channels_.FT_Device_String
                                                                        : std::string());
    }
    const std::vector<std::string> boards = usb::BoardSerials(serials);
    if (boards.size() < 2) return;
    QStringList names;
    for (const std::string& b : boards) names << fromDriver(b);
    panel_.AppendLog(QStringLiteral("Boards present: ") + names.join(QStringLiteral(", ")) +
                     QStringLiteral(" - choose one with --board=SERIAL"));
}

void Startup::Refresh() {
    channels_.GetFTDeviceCount();
    panel_.SetCaption("D2XX test - " + QString::number(channels_.FT_Device_Count) +
                      " Device(s) Present ...");
    QStringList rows;
    for (std::uint32_t i = 0; i < channels_.FT_Device_Count; ++i) {
        channels_.GetFTDeviceSerialNo(i);
        const QString serial = fromDriver(channels_.FT_Device_String);
        channels_.GetFTDeviceDescription(i);
        const QString description = fromDriver(channels_.FT_Device_String);
        rows << QString("Device %1\t%2\t%3").arg(i + 1).arg(serial, description);
    }
    panel_.ShowDeviceRows(rows);
}

void Startup::OpenA() {
    if (channels_.Open_USB_Device_A() != usb::FT_OK) return;
    panel_.AppendLog("FT2232H  I2C is open");
    panel_.SetEnabled(Control::TestI2CBtn, true);
    panel_.SetEnabled(Control::BtnOpenA, false);
    panel_.SetEnabled(Control::BtnRefresh, false);
    panel_.SetEnabled(Control::BtnCloseA, true);
    panel_.SetEnabled(Control::BtnQuit, false);
    i2c_.SetChannelAOpen(true);
    panel_.SetLabel(Label::I2Cstatus, "Open");
    if (I2CReady) {
        panel_.SetEnabled(Control::TestSharpBtn, true);
        panel_.SetEnabled(Control::TestEardaBtn, true);
    }
}

void Startup::CloseA() {
    channels_.Close_USB_Device_A();
    panel_.AppendLog("FT2232H  I2C is closed");
    i2c_.SetChannelAOpen(false);
    panel_.SetEnabled(Control::TestI2CBtn, false);
    panel_.SetEnabled(Control::BtnOpenA, true);
    panel_.SetEnabled(Control::BtnCloseA, false);
    panel_.SetEnabled(Control::BtnQuit, true);
    panel_.SetLabel(Label::I2Cstatus, "Closed");
    panel_.SetEnabled(Control::TestSharpBtn, false);
    panel_.SetEnabled(Control::TestEardaBtn, false);
}

void Startup::OpenB() {
    if (channels_.Open_USB_Device_B() != usb::FT_OK) return;
    panel_.AppendLog("FT2232H FIFO open for TS");
    panel_.SetLabel(Label::TsStatus, "Open");
    panel_.SetEnabled(Control::BtnOpenB, false);
    panel_.SetEnabled(Control::BtnRefresh, false);
    panel_.SetEnabled(Control::BtnCloseB, true);
    panel_.SetEnabled(Control::GetTSBtn, true);
    panel_.SetEnabled(Control::BtnQuit, false);
}

void Startup::CloseB() {
    channels_.Close_USB_Device_B();
    panel_.AppendLog("FT2232H FIFO closed for TS");
    panel_.SetLabel(Label::TsStatus, "Closed");
    panel_.SetEnabled(Control::BtnOpenB, true);
    panel_.SetEnabled(Control::BtnCloseB, false);
    panel_.SetEnabled(Control::BtnQuit, true);
    panel_.SetEnabled(Control::GetTSBtn, false);
}

void Startup::InitI2C() {
    panel_.AppendLog(QStringLiteral("****************** I2C controler INIT  *******************"));
    i2c_.ClockDivisor = 149;  // 200 kHz SCL
    if (!i2c_.InitI2CController()) {
        panel_.AppendLog(QStringLiteral("I2C controler INIT NOT OK"));
        return;
    }
    panel_.AppendLog(QStringLiteral("I2C controler INIT OK"));

    // The set-up asks for no answer, so anything waiting now is stray.
    channels_.Get_USB_Device_QueueStatus_A();
    panel_.AppendLog(channels_.FT_Q_Bytes != 0 ? QStringLiteral("ERROR _ MPSSE should be empty")
                                               : QStringLiteral("OK MPSSE is empty"));
    i2c_.clock().sleepMs(30);
    panel_.AppendLog(QStringLiteral("Init MPSSE I2C done!"));
    panel_.AppendLog(QString(59, QLatin1Char('*')));

    panel_.SetEnabled(Control::TestSharpBtn, true);
    panel_.SetEnabled(Control::TestEardaBtn, true);
    panel_.LightLamp(Lamp::LedI2C);
    I2CReady = true;
    panel_.SetLabel(Label::I2Cstatus, QStringLiteral("Open"));
}

void Startup::Quit() {
    // The message loop ends only once the handler running it returns: a
    // running pump must end first.
    pump_.RequestStop();
    panel_.QuitProgram();
}

void Startup::Exit() {
    pump_.RequestStop();
    if (DevicePresent) {
        channels_.Close_USB_Device_A();
        channels_.Close_USB_Device_B();
    }
    panel_.CloseWindow();
}

}  // namespace console
