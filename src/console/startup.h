// Start-up, device detection and channel control: what happens when the
// window is first shown, the buttons that open and close the two channels,
// set the I2C master up, recount the devices and leave the program. Every
// change goes into the console's state, which the window shows.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "console/console_state.h"
#include "console/operator_panel.h"
#include "console/ts_pump.h"
#include "console/udp_output.h"
#include "i2c/i2c_master.h"
#include "usb/channel_layer.h"

namespace console {

// The driver hands out 8-bit text; serial numbers and descriptions are ASCII
// in practice, Latin-1 keeps any other byte visible instead of dropping it.
inline QString fromDriver(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// What start-up found and opened.
struct StartupReport {
    std::uint32_t deviceCount = 0;
    bool devicePresent = false;  // one or two devices: the device branch ran
    QString serial0, description0, serial1, description1;
    bool channelAOpened = false;
    bool channelBOpened = false;  // and closed again at the end of start-up
    std::optional<UdpSetup> udp;  // none when the UDP set-up did not run
    QStringList boards;           // several boards plugged in: their serials
};

// What "Test + init FT2232H" found.
struct I2cSetupReport {
    bool ok = false;
    bool mpsseEmpty = true;  // nothing stray waiting after the set-up
    std::optional<i2c::LinkLoss> linkLoss;
};

class Startup {
public:
    Startup(usb::ChannelLayer& channels, i2c::I2cMaster& i2c, TsPump& pump, UdpOutput& udp, ConsoleModel& model,
            OperatorPanel& panel)
        : channels_(channels), i2c_(i2c), pump_(pump), udp_(udp), model_(model), panel_(panel) {}

    const StartupReport& FormShow();
    void Refresh();
    // Each returns the D2XX status of its open or close.
    usb::FT_STATUS OpenA();
    usb::FT_STATUS CloseA();
    usb::FT_STATUS OpenB();
    usb::FT_STATUS CloseB();
    // "Test + init FT2232H": channel A's engine as the I2C master.
    I2cSetupReport InitI2C();
    // The UDP output, set up once at start-up; the lamp turns green when the
    // client connected.
    UdpSetup InitUDP();
    // Quit: the message loop ends (a running pump stops first).
    void Quit();
    // File > Exit: a running pump stops, the open channels are closed, then
    // the window.
    void Exit();

    bool DevicePresent() const { return model_.state().devicePresent; }
    bool I2CReady() const { return model_.state().i2cReady; }
    const StartupReport& Report() const { return report_; }

private:
    void listBoards();

    usb::ChannelLayer& channels_;
    i2c::I2cMaster& i2c_;
    TsPump& pump_;
    UdpOutput& udp_;
    ConsoleModel& model_;
    OperatorPanel& panel_;
    StartupReport report_;
};

}  // namespace console
