// The queued I2C engine on the simulated channel A, set up the way the
// headless commands do it: the byte-by-byte master's set-up first, then the
// queued engine on the same channel.
#pragma once

#include "i2c/queued_i2c.h"
#include "support/simulated_channel_a.h"

namespace testing_support {

struct QueuedRig : I2cRig {
    i2c::QueuedI2c queued{channels, clock};

    explicit QueuedRig(const sim::ChannelAOptions& options = {}) : I2cRig(options) {}
};

// Channel A at the given USB timing, with the host's latency on every packet.
inline sim::ChannelAOptions withTiming(sim::UsbTiming timing, std::uint32_t hostLatencyUs = 0) {
    sim::ChannelAOptions o;
    o.usbTiming = timing;
    o.usbLatencyUs = hostLatencyUs;
    return o;
}

}  // namespace testing_support
