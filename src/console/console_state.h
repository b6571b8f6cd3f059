// The console's state in one place: the channels, the I2C master, the pump
// and what the operator has been shown of them. The start-up and channel
// handlers and the pump change it; the window turns it into the enabled
// state of each control and the captions of the status labels, and the
// headless commands and the tests read it as it is.
#pragma once

#include <cstdint>

namespace console {

enum class ChannelState {
    Unopened,  // never opened in this run (or every open failed)
    Open,
    Closed,    // closed by its Close handler (start-up closes channel B so)
};

// The transport-stream pump, one run per switching on of Get TS.
enum class PumpState {
    Idle,
    Waiting,     // for the first data, up to 5000 ms
    Streaming,
    Stuck,       // the purge or the queue query failed: Get TS still shows on, no pump runs
    DeviceLost,  // the queue query said the device is gone: Get TS is off for good
};

struct ConsoleState {
    bool shown = false;          // the window has been shown once (start-up ran)
    bool devicePresent = false;  // start-up counted one or two D2XX devices
    ChannelState channelA = ChannelState::Unopened;
    ChannelState channelB = ChannelState::Unopened;
    bool i2cReady = false;       // the I2C master was set up (survives closing channel A)
    bool streamOn = false;       // Get TS is on: a pump runs, or is stuck or lost
    bool recordOn = false;       // the Record switch as the pump last took it
    PumpState pump = PumpState::Idle;
    // Refresh recounts the devices only until a channel has been opened.
    bool channelOpenedOnce = false;
    // The last Open or Close handler decides Quit (open: off, close: on); a
    // lost device turns it on as the way out.
    bool quitEnabled = true;
    // Lamps turn green once their path works and stay green.
    bool i2cLampLit = false;
    bool udpLampLit = false;

    bool operator==(const ConsoleState&) const = default;
};

// The console's state with a listener told of every change.
class ConsoleModel {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void StateChanged(const ConsoleState& state) = 0;
    };

    explicit ConsoleModel(Listener* listener = nullptr) : listener_(listener) {}

    const ConsoleState& state() const { return state_; }

    // Changes the state through f(ConsoleState&) and tells the listener when
    // anything changed.
    template <class F>
    void update(F&& f) {
        ConsoleState next = state_;
        f(next);
        if (next == state_) return;
        state_ = next;
        if (listener_) listener_->StateChanged(state_);
    }

    void setListener(Listener* listener) { listener_ = listener; }

private:
    ConsoleState state_;
    Listener* listener_ = nullptr;
};

}  // namespace console
