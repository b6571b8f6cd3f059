// The simulated board with channel A's chips as the device under the I2C
// master, seen through the tools a bench engineer would put on it: a
// protocol analyser on the bus and a recorder on the D2XX calls.
#pragma once

#include <cstdint>
#include <string>

#include "i2c/i2c_master.h"
#include "sim/channel_a.h"
#include "sim/ft2232h_board.h"
#include "support/i2c_monitor.h"
#include "support/recording_d2xx.h"
#include "support/test_support.h"
#include "usb/channel_layer.h"

namespace testing_support {

inline sim::ChannelAOptions nimAt(std::uint8_t demodAddress) {
    sim::ChannelAOptions o;
    o.nim = demodAddress == 0xD0 ? sim::Nim::Sharp : sim::Nim::Earda;
    return o;
}

// A chip that takes writes but refuses its read address, so every read fails.
template <class Chip>
struct WriteOnly : Chip {
    using Chip::Chip;
    bool acceptsAddress(std::uint8_t byte) const override {
        return (byte & 1) == 0 && Chip::acceptsAddress(byte);
    }
};

// The board alone: whoever drives it opens channel A through lib.
struct SimulatedChannelA {
    FakeClock clock;
    RecordingDialogs dialogs;
    sim::Ft2232hBoard board{clock};
    sim::ChannelA* channelA = nullptr;
    I2cMonitor monitor;
    RecordingD2xx lib{board};
    std::string traceError;  // why the bus trace file could not be made

    explicit SimulatedChannelA(const sim::ChannelAOptions& options = {}) {
        // Every reading moves the clock on, so that bounded waits end: a
        // microsecond per counter reading, a millisecond per tick reading.
        clock.stepUsPerReading = 1;
        clock.stepUsPerTickReading = 1000;
        auto device = sim::makeChannelA(options, clock, &traceError);
        channelA = static_cast<sim::ChannelA*>(device.get());
        monitor.attach(channelA->bus());
        board.setChannelDevice(0, std::move(device));
    }

    sim::Demodulator& demod() { return *channelA->demodulator(); }
    sim::RegisterFile8Slave& tuner() { return *channelA->tuner(); }
    void clearRecords() {
        lib.clear();
        monitor.clear();
    }
};

// The I2C master on channel A, open and set up for 200 kHz, records cleared.
struct I2cRig : SimulatedChannelA {
    usb::ChannelLayer channels{lib, dialogs};
    i2c::I2cMaster master{channels, clock, dialogs};

    explicit I2cRig(const sim::ChannelAOptions& options = {}) : SimulatedChannelA(options) {
        channels.Open_USB_Device_A();
        master.ChannelAOpen = true;
        master.ClockDivisor = 149;
        setUp = master.InitI2CController();
        clearRecords();
    }
    bool setUp = false;
};

// An injected status for every call of `call` on channel A from the n-th
// one after now on.
inline void failFrom(SimulatedChannelA& rig, const std::string& call, std::uint32_t n,
                     usb::FT_STATUS status = usb::FT_IO_ERROR) {
    rig.board.addFault(sim::CallFault{call, 0, status, rig.board.callCount(call) + n});
}

}  // namespace testing_support
