#include "ui/control_states.h"

namespace ui {

using console::ChannelState;
using console::Control;
using console::PumpState;

ControlStates ControlsFor(const console::ConsoleState& s) {
    const bool aOpen = s.channelA == ChannelState::Open;
    const bool bOpen = s.channelB == ChannelState::Open;
    ControlStates c;
    auto& e = c.enabled;
    e[Control::Memo1] = true;
    // Channel A: Open I2C is offered only after Close I2C (a failed open at
    // start-up leaves it closed for the run); the NIM tests once the I2C
    // master was set up, which survives closing the channel.
    e[Control::BtnOpenA] = s.channelA == ChannelState::Closed;
    e[Control::BtnCloseA] = aOpen;
    e[Control::TestI2CBtn] = aOpen;
    e[Control::TestSharpBtn] = aOpen && s.i2cReady;
    e[Control::TestEardaBtn] = aOpen && s.i2cReady;
    // Channel B: Get TS while it is open (before the window is first shown
    // it stands as designed, enabled) and until the device is lost; Close
    // TS fifo and Open TS fifo out of reach while Get TS is on, also when
    // the pump is stuck or lost its device.
    e[Control::BtnOpenB] = s.channelB == ChannelState::Closed;
    e[Control::BtnCloseB] = bOpen && !s.streamOn;
    e[Control::GetTSBtn] = s.pump != PumpState::DeviceLost &&
                           (bOpen || (!s.shown && s.channelB == ChannelState::Unopened));
    e[Control::RecordOnOff] = s.streamOn;
    e[Control::UDPOnOff] = s.streamOn;
    e[Control::BtnRefresh] = !s.channelOpenedOnce;
    e[Control::BtnQuit] = s.quitEnabled;

    auto status = [](ChannelState state, const char* unopened) {
        switch (state) {
        case ChannelState::Open: return QStringLiteral("Open");
        case ChannelState::Closed: return QStringLiteral("Closed");
        case ChannelState::Unopened: break;
        }
        return QString::fromLatin1(unopened);
    };
    c.i2cStatus = status(s.channelA, "unknown");
    c.tsStatus = status(s.channelB, "closed");
    c.ledI2C = s.i2cLampLit;
    c.ledUDP = s.udpLampLit;
    return c;
}

}  // namespace ui
