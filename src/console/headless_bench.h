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

// Dialogs keep their texts instead of waiting for OK; a check reports the
// newest as the reason a step failed.
class KeptDialogs : public usb::Dialogs {
public:
    explicit KeptDialogs(LineSink sink) : sink_(std::move(sink)) {}
    void errorDialog(const std::string& message) override { keep(message); }
    void messageBox(const std::string& text) override { keep(text); }
    std::vector<std::string> texts;

private:
    void keep(const std::string& text) {
        texts.push_back(text);
        if (sink_) sink_(QStringLiteral("dialog: ") + QString::fromStdString(text));
    }
    LineSink sink_;
};

// The cores wired as the window wires them. Nothing here sends a datagram:
// the UDP output is set up only by the window's start-up.
struct HeadlessBench {
    HeadlessBench(usb::D2xxLibrary& library, usb::Clock& clock, Network& network, LineSink sink)
        : panel(sink), dialogs(sink), channels(library, dialogs), i2c(channels, clock, dialogs),
          link(i2c, panel), udp(network, UdpDestination{}), model(&panel), pump(channels, clock, udp, model, panel),
          startup(channels, i2c, pump, udp, model, panel), library_(library), clock_(clock) {}

    usb::D2xxLibrary& library() { return library_; }
    usb::Clock& clock() { return clock_; }

    HeadlessPanel panel;
    KeptDialogs dialogs;
    usb::ChannelLayer channels;
    i2c::I2cMaster i2c;
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
