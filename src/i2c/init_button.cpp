// "Test + init FT2232H": sets channel A's engine up as the I2C master and,
// when that worked, opens the way to the NIM tests.
#include <QLabel>
#include <QPushButton>

#include "ui/main_window.h"

namespace ui {

void TForm1::InitI2CBtnClick() {
    AppendLog(QStringLiteral("****************** I2C controler INIT  *******************"));
    I2C.ClockDivisor = 149;  // 200 kHz SCL
    if (!I2C.InitI2CController()) {
        AppendLog(QStringLiteral("I2C controler INIT NOT OK"));
        return;
    }
    AppendLog(QStringLiteral("I2C controler INIT OK"));

    // The set-up asks for no answer, so anything waiting now is stray.
    usb::ChannelLayer& channels = I2C.channels();
    channels.Get_USB_Device_QueueStatus_A();
    AppendLog(channels.FT_Q_Bytes != 0 ? QStringLiteral("ERROR _ MPSSE should be empty")
                                       : QStringLiteral("OK MPSSE is empty"));
    I2C.clock().sleepMs(30);
    AppendLog(QStringLiteral("Init MPSSE I2C done!"));
    AppendLog(QString(59, QLatin1Char('*')));

    TestSharpBtn->setEnabled(true);
    TestEardaBtn->setEnabled(true);
    LightLamp(LedI2C);
    I2CReady = true;
    I2Cstatus->setText(QStringLiteral("Open"));
}

}  // namespace ui
