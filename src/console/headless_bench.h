// The program's cores without a window, for the commands that check a
// board from the command line: the same start-up, I2C set-up, link test and
// register access the window uses, with an operator panel that keeps the
// states the cores set and hands their log lines to a sink.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "console/network.h"
#include "console/operator_panel.h"
#include "console/startup.h"
#include "console/ts_pump.h"
#include "console/udp_output.h"
#include "frontend/link_test.h"
#include "i2c/i2c_master.h"
#include "i2c/queued_i2c.h"
#include "usb/channel_layer.h"

namespace console {

using LineSink = std::function<void(const QString&)>;

class HeadlessPanel : public OperatorPanel, public frontend::LinkTestView {
public:
    explicit HeadlessPanel(LineSink sink) : sink_(std::move(sink)) {}

    void ClearLog() override {}
    void AppendLog(const QString& line) override {
        if (sink_) sink_(line);
    }
    void SetStatusText(const QString&) override {}
    QString Caption() const override { return caption_; }
    void SetCaption(const QString& caption) override { caption_ = caption; }
    void ShowDeviceRows(const QStringList&) override {}
    void StateChanged(const ConsoleState&) override {}
    bool SwitchOn(Switch s) const override {
        const auto it = switches_.find(s);
        return it != switches_.end() && it->second;
    }
    void SetSwitchOn(Switch s, bool on) override { switches_[s] = on; }
    // What the operator would do between two passes of the pump.
    void ProcessMessages() override {
        if (onMessages) onMessages();
    }
    void QuitProgram() override {}
    void CloseWindow() override {}
    void ShowErrorTotal(const QString&) override {}

    std::function<void()> onMessages;

private:
    LineSink sink_;
    QString caption_;
    std::map<Switch, bool> switches_;
};

// Dialogs are printed to the sink (when there is one) instead of waiting for
// OK: nobody is there to press it. The check reads what failed from the
// cores' results, not from dialogs.
class LoggedDialogs : public usb::Dialogs {
public:
    explicit LoggedDialogs(LineSink sink) : sink_(std::move(sink)) {}
    void errorDialog(const std::string& message) override { print(message); }
    void messageBox(const std::string& text) override { print(text); }

private:
    void print(const std::string& text) {
        if (sink_) sink_(QStringLiteral("dialog: ") + QString::fromStdString(text));
    }
    LineSink sink_;
};

// How the commands reach the registers: the window's byte-by-byte master,
// or the queued engine that sends many transactions per USB round trip.
enum class I2cEngine { Byte, Queued };

// The cores wired as the window wires them, the register access excepted:
// the I2C master sets the engine up either way, and the engine chosen
// carries the link test, the register dumps and the signal readings.
// Nothing here sends a datagram: the UDP output is set up only by the
// window's start-up.
struct HeadlessBench {
    HeadlessBench(usb::D2xxLibrary& library, usb::Clock& clock, Network& network, LineSink sink,
                  I2cEngine engine = I2cEngine::Queued)
        : panel(sink), dialogs(sink), channels(library, dialogs), i2c(channels, clock, dialogs),
          queued(channels, clock), bus(engine == I2cEngine::Byte ? static_cast<i2c::RegisterAccess&>(i2c) : queued),
          link(bus, panel), udp(network, UdpDestination{}), model(&panel), pump(channels, clock, udp, model, panel),
          startup(channels, i2c, pump, udp, model, panel), library_(library), clock_(clock) {}

    usb::D2xxLibrary& library() { return library_; }
    usb::Clock& clock() { return clock_; }

    // "Test + init FT2232H", and the queued engine taking the set-up's pins.
    I2cSetupReport InitI2C() {
        I2cSetupReport r = startup.InitI2C();
        if (r.ok) queued.Restart(i2c.LowBytePins);
        return r;
    }

    HeadlessPanel panel;
    LoggedDialogs dialogs;
    usb::ChannelLayer channels;
    i2c::I2cMaster i2c;
    i2c::QueuedI2c queued;
    i2c::RegisterAccess& bus;
    frontend::LinkTest link;
    UdpOutput udp;
    ConsoleModel model;
    TsPump pump;
    Startup startup;

private:
    usb::D2xxLibrary& library_;
    usb::Clock& clock_;
};

}  // namespace console
