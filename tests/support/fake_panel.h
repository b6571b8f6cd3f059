// The operator's side of the cores without a window: what they log and show
// is kept for the test (the console's state as last told), switches are set
// by the test, and the message loop is whatever the test wants to happen
// between two passes.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <map>

#include "console/operator_panel.h"
#include "frontend/link_test.h"

namespace testing_support {

class FakePanel : public console::OperatorPanel, public frontend::LinkTestView {
public:
    QStringList log;
    QString status, caption = QStringLiteral("Test My Vesperbox v1.0a"), errorTotal;
    QStringList deviceRows;
    console::ConsoleState state;
    int stateChanges = 0;
    std::map<console::Switch, bool> switches;
    std::function<void()> onMessages;
    int quits = 0, closes = 0;

    void ClearLog() override { log.clear(); }
    void AppendLog(const QString& line) override { log << line; }
    void SetStatusText(const QString& text) override { status = text; }
    QString Caption() const override { return caption; }
    void SetCaption(const QString& c) override { caption = c; }
    void ShowDeviceRows(const QStringList& rows) override { deviceRows = rows; }
    void StateChanged(const console::ConsoleState& s) override {
        state = s;
        ++stateChanges;
    }
    bool SwitchOn(console::Switch s) const override {
        const auto it = switches.find(s);
        return it != switches.end() && it->second;
    }
    void SetSwitchOn(console::Switch s, bool on) override { switches[s] = on; }
    void ProcessMessages() override {
        if (onMessages) onMessages();
    }
    void QuitProgram() override { ++quits; }
    void CloseWindow() override { ++closes; }
    void ShowErrorTotal(const QString& text) override { errorTotal = text; }
};

}  // namespace testing_support
