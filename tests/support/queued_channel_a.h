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

}  // namespace testing_support
