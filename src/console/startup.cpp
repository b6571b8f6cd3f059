#include "console/startup.h"

#include "usb/board_filter.h"

namespace console {

const StartupReport& Startup::FormShow() {
    report_ = StartupReport{};
    panel_.ClearLog();
    channels_.ShowFTErrors = true;
    model_.update([](ConsoleState& s) {
        s.shown = true;
        s.devicePresent = false;
        s.streamOn = false;
        s.i2cReady = false;
    });

    channels_.GetFTDeviceCount();
    report_.deviceCount = channels_.FT_Device_Count;
    panel_.SetCaption(panel_.Caption() + "    D2XX test - " +
                      QString::number(channels_.FT_Device_Count) + " USB Device(s) Present ...");

    if (channels_.FT_Device_Count == 1 || channels_.FT_Device_Count == 2) {
        report_.devicePresent = true;
        model_.update([](ConsoleState& s) { s.devicePresent = true; });
        // Each copy is taken whatever the call gave: a failed query leaves the
        // text of the previous one, which is what the operator then sees.
        channels_.GetFTDeviceSerialNo(0);
        report_.serial0 = fromDriver(channels_.FT_Device_String);
        channels_.GetFTDeviceDescription(0);
        report_.description0 = fromDriver(channels_.FT_Device_String);
        channels_.GetFTDeviceSerialNo(1);
        report_.serial1 = fromDriver(channels_.FT_Device_String);
        channels_.GetFTDeviceDescription(1);
        report_.description1 = fromDriver(channels_.FT_Device_String);

        report_.channelAOpened = OpenA() == usb::FT_OK;
        report_.channelBOpened = OpenB() == usb::FT_OK;

        channels_.Create_USB_Device_Info_List();
        channels_.Get_USB_Device_Info_Detail(0);
        panel_.AppendLog(QString::fromUtf8("For I2C,we will use device N° ") + report_.serial0 + " named: " +
                         report_.description0);
        channels_.Get_USB_Device_Info_Detail(1);
        panel_.AppendLog(QString::fromUtf8("For TS,we will use device N° ") + report_.serial1 + " named: " +
                         report_.description1);

        CloseB();
        report_.udp = InitUDP();
    } else {
        listBoards();
        if (report_.boards.isEmpty()) panel_.AppendLog("No FT2232H or no power on it");
    }
    panel_.AppendLog(QString(74, '='));
    return report_;
}

// With several boards plugged in start-up cannot know which to use; the
// operator picks one by its serial number on the command line.
void Startup::listBoards() {
    if (channels_.FT_Device_Count <= 2) return;
    std::vector<std::string> serials;
    for (std::uint32_t i = 0; i < channels_.FT_Device_Count; ++i) {
        serials.push_back(channels_.GetFTDeviceSerialNo(i) == usb::FT_OK ? channels_.FT_Device_String
                                                                        : std::string());
    }
    const std::vector<std::string> boards = usb::BoardSerials(serials);
    if (boards.size() < 2) return;
    for (const std::string& b : boards) report_.boards << fromDriver(b);
    panel_.AppendLog(QStringLiteral("Several boards present: ") + report_.boards.join(QStringLiteral(", ")) +
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

usb::FT_STATUS Startup::OpenA() {
    const usb::FT_STATUS status = channels_.Open_USB_Device_A();
    if (status != usb::FT_OK) return status;
    panel_.AppendLog("FT2232H  I2C is open");
    i2c_.SetChannelAOpen(true);
    model_.update([](ConsoleState& s) {
        s.channelA = ChannelState::Open;
        s.channelOpenedOnce = true;
        s.quitEnabled = false;
    });
    return status;
}

usb::FT_STATUS Startup::CloseA() {
    const usb::FT_STATUS status = channels_.Close_USB_Device_A();
    panel_.AppendLog("FT2232H  I2C is closed");
    i2c_.SetChannelAOpen(false);
    model_.update([](ConsoleState& s) {
        s.channelA = ChannelState::Closed;
        s.quitEnabled = true;
    });
    return status;
}

usb::FT_STATUS Startup::OpenB() {
    const usb::FT_STATUS status = channels_.Open_USB_Device_B();
    if (status != usb::FT_OK) return status;
    panel_.AppendLog("FT2232H FIFO open for TS");
    model_.update([](ConsoleState& s) {
        s.channelB = ChannelState::Open;
        s.channelOpenedOnce = true;
        s.quitEnabled = false;
    });
    return status;
}

usb::FT_STATUS Startup::CloseB() {
    const usb::FT_STATUS status = channels_.Close_USB_Device_B();
    panel_.AppendLog("FT2232H FIFO closed for TS");
    model_.update([](ConsoleState& s) {
        s.channelB = ChannelState::Closed;
        s.quitEnabled = true;
    });
    return status;
}

I2cSetupReport Startup::InitI2C() {
    I2cSetupReport r;
    panel_.AppendLog(QStringLiteral("****************** I2C controler INIT  *******************"));
    i2c_.ClockDivisor = 149;  // 200 kHz SCL
    if (!i2c_.InitI2CController()) {
        panel_.AppendLog(QStringLiteral("I2C controler INIT NOT OK"));
        // A call that failed on the way cut the link: one line says which.
        if (i2c_.LinkLost()) {
            r.linkLoss = i2c_.linkLoss();
            panel_.AppendLog(QStringLiteral("ERROR : I2C link lost at ") + QString::fromStdString(r.linkLoss->text()) +
                             QStringLiteral(" set-up stopped"));
        }
        return r;
    }
    r.ok = true;
    panel_.AppendLog(QStringLiteral("I2C controler INIT OK"));

    // The set-up asks for no answer, so anything waiting now is stray.
    channels_.Get_USB_Device_QueueStatus_A();
    r.mpsseEmpty = channels_.FT_Q_Bytes == 0;
    panel_.AppendLog(r.mpsseEmpty ? QStringLiteral("OK MPSSE is empty") : QStringLiteral("ERROR _ MPSSE should be empty"));
    i2c_.clock().sleepMs(30);
    panel_.AppendLog(QStringLiteral("Init MPSSE I2C done!"));
    panel_.AppendLog(QString(59, QLatin1Char('*')));

    model_.update([](ConsoleState& s) {
        s.i2cReady = true;
        s.i2cLampLit = true;
    });
    return r;
}

UdpSetup Startup::InitUDP() {
    UdpSetup setup = udp_.InitUDP(panel_);
    if (setup.connected) model_.update([](ConsoleState& s) { s.udpLampLit = true; });
    return setup;
}

void Startup::Quit() {
    // The message loop ends only once the handler running it returns: a
    // running pump must end first.
    pump_.RequestStop();
    panel_.QuitProgram();
}

void Startup::Exit() {
    pump_.RequestStop();
    // A channel that is closed already is not closed again: the second close
    // of a closed handle fails, and its dialog would read as a bridge fault.
    // (With no device present no channel was ever opened.)
    const ConsoleState& s = model_.state();
    if (s.channelA == ChannelState::Open) channels_.Close_USB_Device_A();
    if (s.channelB == ChannelState::Open) channels_.Close_USB_Device_B();
    panel_.CloseWindow();
}

}  // namespace console
