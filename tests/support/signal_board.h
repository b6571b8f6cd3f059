// The simulated board made from the same options the command line gives
// (the signal at the demodulator's input among them), with the I2C master
// on channel A set up as the program sets it up.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "i2c/i2c_master.h"
#include "sim/board_setup.h"
#include "sim/ft2232h_board.h"
#include "support/test_support.h"
#include "usb/channel_layer.h"

namespace testing_support {

struct SignalBoard {
    FakeClock clock;
    RecordingDialogs dialogs;
    sim::Ft2232hBoard board{clock};
    usb::ChannelLayer channels{board, dialogs};
    i2c::I2cMaster master{channels, clock, dialogs};
    bool setUp = false;

    explicit SignalBoard(std::initializer_list<std::string> options) {
        // Every reading moves the clock on, so that bounded waits end.
        clock.stepUsPerReading = 1;
        sim::BoardSetup setup;
        setup.channelA.usbTiming = sim::UsbTiming::Ideal;
        std::string error, warning;
        for (const std::string& o : options)
            EXPECT_EQ(sim::parseBoardOption(o, setup, &error), sim::OptionParse::Accepted) << o;
        sim::BoardChannels made;
        EXPECT_TRUE(sim::makeBoardChannels(setup, clock, &made, &error, &warning)) << error;
        board.setChannelDevice(0, std::move(made.a));
        board.setChannelDevice(1, std::move(made.b));
        channels.Open_USB_Device_A();
        master.SetChannelAOpen(true);
        master.ClockDivisor = 149;
        setUp = master.InitI2CController();
    }
};

}  // namespace testing_support
