// Start-up, device detection and channel control: what happens when the
// window is first shown, the buttons that open and close the two channels,
// set the I2C master up, recount the devices and leave the program.
#pragma once

#include <QString>

#include "console/operator_panel.h"
#include "console/ts_pump.h"
#include "console/udp_output.h"
#include "frontend/link_test.h"
#include "i2c/i2c_master.h"
#include "usb/channel_layer.h"

namespace console {

// The driver hands out 8-bit text; serial numbers and descriptions are ASCII
// in practice, Latin-1 keeps any other byte visible instead of dropping it.
inline QString fromDriver(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

class Startup {
public:
    Startup(usb::ChannelLayer& channels, i2c::I2cMaster& i2c, frontend::LinkTest& linkTest,
            TsPump& pump, UdpOutput& udp, OperatorPanel& panel)
        : channels_(channels), i2c_(i2c), linkTest_(linkTest), pump_(pump), udp_(udp),
          panel_(panel) {}

    void FormShow();
    void Refresh();
    void OpenA();
    void CloseA();
    void OpenB();
    void CloseB();
    // "Test + init FT2232H": channel A's engine as the I2C master.
    void InitI2C();
    // Quit: the message loop ends (a running pump stops first).
    void Quit();
    // File > Exit: a running pump stops, both channels are closed, then the
    // window.
    void Exit();

    bool DevicePresent = false;
    bool I2CReady = false;
    QString Serial0, Description0, Serial1, Description1;

private:
    void listBoards();

    usb::ChannelLayer& channels_;
    i2c::I2cMaster& i2c_;
    frontend::LinkTest& linkTest_;
    TsPump& pump_;
    UdpOutput& udp_;
    OperatorPanel& panel_;
};

}  // namespace console
