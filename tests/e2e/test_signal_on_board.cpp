// The signal core end to end: the I2C master on the simulated board, whose
// demodulator is made from the same options the command line gives.
#include <gtest/gtest.h>

#include "catalogues/stv0903_signal.h"
#include "frontend/signal_reader.h"
#include "support/signal_board.h"

namespace {

namespace S = STV0903Signal;
using frontend::DeliverySystem;
using frontend::SignalReader;

// The whole road: the I2C master on the simulated board, its demodulator
// made from the same options the command line gives. Ticks step by a
// millisecond per reading here, as the byte master's bounded waits expect.
struct SignalBench : testing_support::SignalBoard {
    explicit SignalBench(std::initializer_list<std::string> options) : SignalBoard(options) {
        clock.stepUsPerTickReading = 1000;
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
