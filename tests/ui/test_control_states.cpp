// The enabling rules of the main window, from the console's state alone:
// the start values of the design, each channel handler's effect, and the
// pump's states, including the two it can stay in without running.
#include <gtest/gtest.h>

#include "support/qt_support.h"
#include "ui/control_states.h"

namespace {

using console::ChannelState;
using console::ConsoleState;
using console::Control;
using console::PumpState;

// The controls enabled, as a set, for compact comparisons.
std::set<Control> enabled(const ConsoleState& s) {
    std::set<Control> on;
    for (const auto& [c, e] : ui::ControlsFor(s).enabled)
        if (e) on.insert(c);
    return on;
}

// After a start-up with the board present: A open, B opened and closed.
ConsoleState afterStartUp() {
    ConsoleState s;
    s.shown = true;
    s.devicePresent = true;
    s.channelA = ChannelState::Open;
    s.channelB = ChannelState::Closed;
    s.channelOpenedOnce = true;
    s.quitEnabled = true;  // Close TS fifo was the last handler
    return s;
}

TEST(ControlStates, TheDesignBeforeTheWindowIsShown) {
    const ui::ControlStates c = ui::ControlsFor(ConsoleState{});
    EXPECT_EQ(enabled(ConsoleState{}), (std::set<Control>{Control::Memo1, Control::GetTSBtn, Control::BtnRefresh,
                                                          Control::BtnQuit}));
    EXPECT_EQ(c.i2cStatus, "unknown");
    EXPECT_EQ(c.tsStatus, "closed");
    EXPECT_FALSE(c.ledI2C || c.ledUDP);
}

TEST(ControlStates, StartUpWithAndWithoutABoard) {
    ConsoleState none;
    none.shown = true;  // no device: only Refresh, Quit and the log act
    EXPECT_EQ(enabled(none), (std::set<Control>{Control::Memo1, Control::BtnRefresh, Control::BtnQuit}));

    const ConsoleState s = afterStartUp();
    EXPECT_EQ(enabled(s), (std::set<Control>{Control::Memo1, Control::TestI2CBtn, Control::BtnCloseA,
                                             Control::BtnOpenB, Control::BtnQuit}));
    EXPECT_EQ(ui::ControlsFor(s).i2cStatus, "Open");
    EXPECT_EQ(ui::ControlsFor(s).tsStatus, "Closed");

    // A failed open of A at start-up leaves Open I2C out of reach for good:
    // only Close I2C offers it.
    ConsoleState failedA = s;
    failedA.channelA = ChannelState::Unopened;
    EXPECT_FALSE(ui::ControlsFor(failedA).isEnabled(Control::BtnOpenA));
    EXPECT_EQ(ui::ControlsFor(failedA).i2cStatus, "unknown");
}

TEST(ControlStates, TheNimTestsNeedChannelAAndASetUpThatSurvivesClosingIt) {
    ConsoleState s = afterStartUp();
    s.i2cReady = true;
    s.i2cLampLit = true;
    EXPECT_TRUE(ui::ControlsFor(s).isEnabled(Control::TestSharpBtn));
    EXPECT_TRUE(ui::ControlsFor(s).isEnabled(Control::TestEardaBtn));
    s.channelA = ChannelState::Closed;
    EXPECT_FALSE(ui::ControlsFor(s).isEnabled(Control::TestEardaBtn));
    EXPECT_TRUE(ui::ControlsFor(s).isEnabled(Control::BtnOpenA));
    EXPECT_TRUE(ui::ControlsFor(s).ledI2C) << "a lit lamp stays lit";
    s.channelA = ChannelState::Open;
    EXPECT_TRUE(ui::ControlsFor(s).isEnabled(Control::TestEardaBtn));
}

TEST(ControlStates, ThePumpHoldsChannelBWhileGetTsIsOnEvenWhenStuckOrLost) {
    ConsoleState s = afterStartUp();
    s.channelB = ChannelState::Open;
    s.quitEnabled = false;
    EXPECT_TRUE(ui::ControlsFor(s).isEnabled(Control::GetTSBtn));
    EXPECT_TRUE(ui::ControlsFor(s).isEnabled(Control::BtnCloseB));
    EXPECT_FALSE(ui::ControlsFor(s).isEnabled(Control::RecordOnOff));

    for (const PumpState p : {PumpState::Waiting, PumpState::Streaming, PumpState::Stuck}) {
        s.streamOn = true;
        s.pump = p;
        const ui::ControlStates c = ui::ControlsFor(s);
        EXPECT_TRUE(c.isEnabled(Control::GetTSBtn)) << int(p);
        EXPECT_TRUE(c.isEnabled(Control::RecordOnOff) && c.isEnabled(Control::UDPOnOff)) << int(p);
        EXPECT_FALSE(c.isEnabled(Control::BtnCloseB)) << int(p);
        EXPECT_FALSE(c.isEnabled(Control::BtnOpenB)) << int(p);
    }
    // The device gone while waiting: Get TS off for good, Quit the way out,
    // and the rest as Get TS left it.
    s.pump = PumpState::DeviceLost;
    s.quitEnabled = true;
    ui::ControlStates c = ui::ControlsFor(s);
    EXPECT_FALSE(c.isEnabled(Control::GetTSBtn));
    EXPECT_TRUE(c.isEnabled(Control::BtnQuit));
    EXPECT_TRUE(c.isEnabled(Control::UDPOnOff));
    EXPECT_FALSE(c.isEnabled(Control::BtnCloseB));
    // Gone at the end of a stream: the run ended, Close TS fifo is back.
    s.streamOn = false;
    c = ui::ControlsFor(s);
    EXPECT_FALSE(c.isEnabled(Control::GetTSBtn));
    EXPECT_TRUE(c.isEnabled(Control::BtnCloseB));
    EXPECT_FALSE(c.isEnabled(Control::RecordOnOff));
}

}  // namespace
