// The signal core end to end: the I2C master on the simulated board, whose
// demodulator is made from the same options the command line gives.
#include <gtest/gtest.h>

#include "catalogues/stv0903_signal.h"
#include "frontend/signal_reader.h"
#include "i2c/i2c_master.h"
#include "sim/board_setup.h"
#include "sim/ft2232h_board.h"
#include "support/test_support.h"
#include "usb/channel_layer.h"

namespace {

namespace S = STV0903Signal;
using frontend::DeliverySystem;
using frontend::SignalReader;

// The whole road: the I2C master on the simulated board, its demodulator
// made from the same options the command line gives.
struct SignalBench {
    testing_support::FakeClock clock;
    testing_support::RecordingDialogs dialogs;
    sim::Ft2232hBoard board{clock};
    usb::ChannelLayer channels{board, dialogs};
    i2c::I2cMaster master{channels, clock, dialogs};
    bool setUp = false;

    explicit SignalBench(std::initializer_list<std::string> options) {
        // Every reading moves the clock on, so that bounded waits end.
        clock.stepUsPerReading = 1;
        clock.stepUsPerTickReading = 1000;
        sim::BoardSetup setup;
        setup.channelA.usbTiming = sim::UsbTiming::Ideal;
        std::string error, warning;
        for (const std::string& o : options) EXPECT_EQ(sim::parseBoardOption(o, setup, &error), sim::OptionParse::Accepted) << o;
        sim::BoardChannels made;
        EXPECT_TRUE(sim::makeBoardChannels(setup, clock, &made, &error, &warning)) << error;
        board.setChannelDevice(0, std::move(made.a));
        board.setChannelDevice(1, std::move(made.b));
        channels.Open_USB_Device_A();
        master.ChannelAOpen = true;
        master.ClockDivisor = 149;
        setUp = master.InitI2CController();
    }
};

TEST(SignalReaderOnSimulatedBoard, FiguresAreTheOptionsGiven) {
    SignalBench b({"--modcod=8psk-2/3", "--cn=7.5", "--level=-52", "--carrier-offset=750", "--symbol-rate=30",
                   "--ber=1e-6"});
    ASSERT_TRUE(b.setUp);
    SignalReader reader(b.master, 0xD4);
    b.clock.advanceMs(500);
    reader.Read();  // restarts the counters
    b.clock.advanceMs(1000);
    const frontend::SignalReading r = reader.Read();
    EXPECT_TRUE(r.locked());
    EXPECT_EQ(r.system, DeliverySystem::DvbS2);
    EXPECT_EQ(r.modulation, S::Modulation::Psk8);
    EXPECT_EQ(r.codeRate, (S::CodeRate{2, 3}));
    EXPECT_NEAR(*r.cnDb, 7.5, 0.2);
    EXPECT_NEAR(*r.levelDbm, -52, 0.05);
    EXPECT_NEAR(*r.carrierOffsetKhz, 750, 0.01);
    EXPECT_NEAR(*r.symbolRateMsps, 30, 1e-6);
    EXPECT_NEAR(*r.tsBitRateMbit, 30 * 42960.0 / 21690, 0.01);
    ASSERT_TRUE(r.errors);
    // At least the second between the readings (the readings themselves
    // take time on this clock) of packets, 1504 bits each at 1e-6.
    const double perSecond = 30e6 * 42960.0 / 21690 / 1504;
    EXPECT_GT(static_cast<double>(r.errors->counted), perSecond);
    EXPECT_LT(static_cast<double>(r.errors->counted), 2 * perSecond);
    EXPECT_NEAR(r.errors->rate(), 1 - std::pow(1 - 1e-6, 1504), 3e-4);

    // Twelve dB of 8PSK: the points gather in eight clusters on one ring.
    SignalBench clear({"--modcod=8psk-2/3", "--cn=12"});
    const auto points = SignalReader(clear.master, 0xD4).ReadConstellation(400);
    ASSERT_EQ(points.size(), 400u);
    std::map<int, int> sectors;
    int onAxis = 0;
    for (const frontend::IqPoint& p : points) {
        const double sector = std::atan2(p.q, p.i) / (std::acos(-1.0) / 4);
        onAxis += std::abs(sector - std::round(sector)) < 0.45;
        ++sectors[static_cast<int>(std::lround(sector) + 8) % 8];
    }
    EXPECT_GT(onAxis, 360);
    ASSERT_EQ(sectors.size(), 8u);
    for (const auto& [sector, n] : sectors) EXPECT_GT(n, 25) << sector;
}

TEST(SignalReaderOnSimulatedBoard, TheLockArrivesAndLeavesOnTime) {
    SignalBench b({"--signal=locks-after=1000"});
    ASSERT_TRUE(b.setUp);
    SignalReader reader(b.master, 0xD4);
    frontend::SignalReading r = reader.Read();
    EXPECT_FALSE(r.locked());
    EXPECT_FALSE(r.cnDb);
    EXPECT_NEAR(*r.levelDbm, -40, 0.05);
    b.clock.advanceMs(1200);
    r = reader.Read();
    EXPECT_TRUE(r.locked());
    EXPECT_NEAR(*r.cnDb, 10, 0.2);

    SignalBench drops({"--signal=drops-after=1500", "--system=dvbs"});
    SignalReader dropping(drops.master, 0xD4);
    EXPECT_TRUE(dropping.ReadLock()->locked());
    drops.clock.advanceMs(1500);
    EXPECT_EQ(dropping.ReadLock(), frontend::LockStages{});
    EXPECT_TRUE(dropping.Read().levelBeyondTable);
}

}  // namespace
