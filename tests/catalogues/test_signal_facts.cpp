// The STV0903's signal facts: lookup tables at their own points, between
// them and beyond their ends, both ways; the fixed-point figures that scale
// with the master clock; the code numbers of MODCODs and puncture rates.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "catalogues/stv0903_signal.h"

namespace {

namespace S = STV0903Signal;

struct NamedTable {
    const char* name;
    const S::LookupTable* table;
};
const NamedTable Tables[] = {
    {"DVB-S C/N", &S::DvbsCnTable}, {"DVB-S2 C/N", &S::Dvbs2CnTable}, {"RF level", &S::RfLevelTable}};

TEST(SignalTables, EveryPointConvertsToItsFigureAndBack) {
    for (const auto& [name, table] : Tables) {
        for (const S::LookupPoint& p : table->points) {
            EXPECT_DOUBLE_EQ(S::Lookup(*table, p.raw), p.real * table->unit) << name << " raw " << p.raw;
            EXPECT_DOUBLE_EQ(S::InverseLookup(*table, p.real * table->unit), p.raw) << name << " " << p.real;
            EXPECT_TRUE(S::WithinTable(*table, p.raw)) << name;
        }
    }
}

TEST(SignalTables, BetweenPointsTheFigureIsLinear) {
    // DVB-S2: 5727 is 7.5 dB, 5437 is 8.0 dB.
    EXPECT_DOUBLE_EQ(S::Lookup(S::Dvbs2CnTable, (5727 + 5437) / 2.0), 7.75);
    EXPECT_NEAR(S::Lookup(S::Dvbs2CnTable, 5727 - 29), 7.55, 1e-9);
    EXPECT_DOUBLE_EQ(S::InverseLookup(S::Dvbs2CnTable, 7.75), (5727 + 5437) / 2.0);
    // DVB-S: 4417 is 10.0 dB, 4186 is 10.5 dB.
    EXPECT_NEAR(S::Lookup(S::DvbsCnTable, 4417 - 231 * 0.4), 10.2, 1e-9);
    // RF level: 0x8389 is -40 dBm, 0x59BE is -45 dBm.
    EXPECT_DOUBLE_EQ(S::Lookup(S::RfLevelTable, (0x8389 + 0x59BE) / 2.0), -42.5);
    // Every figure in range comes back from its raw value.
    for (const auto& [name, table] : Tables) {
        const double first = table->points.front().real * table->unit;
        const double last = table->points.back().real * table->unit;
        for (int k = 1; k < 200; ++k) {
            const double figure = first + (last - first) * k / 200.0;
            EXPECT_NEAR(S::Lookup(*table, S::InverseLookup(*table, figure)), figure, 1e-9) << name;
        }
    }
}

TEST(SignalTables, BeyondTheEndsTheEndsHold) {
    EXPECT_DOUBLE_EQ(S::Lookup(S::Dvbs2CnTable, 13349), -3.0);
    EXPECT_DOUBLE_EQ(S::Lookup(S::Dvbs2CnTable, 65535), -3.0);
    EXPECT_DOUBLE_EQ(S::Lookup(S::Dvbs2CnTable, 480), 50.0);
    EXPECT_DOUBLE_EQ(S::Lookup(S::Dvbs2CnTable, 0), 50.0);
    EXPECT_DOUBLE_EQ(S::Lookup(S::DvbsCnTable, 9000), 0.0);
    EXPECT_DOUBLE_EQ(S::Lookup(S::DvbsCnTable, 376), 50.0);
    EXPECT_DOUBLE_EQ(S::Lookup(S::RfLevelTable, 0xCAA2), -5.0);
    EXPECT_DOUBLE_EQ(S::Lookup(S::RfLevelTable, 0x07A9), -70.0);
    EXPECT_FALSE(S::WithinTable(S::Dvbs2CnTable, 13349));
    EXPECT_FALSE(S::WithinTable(S::Dvbs2CnTable, 480));
    EXPECT_FALSE(S::WithinTable(S::RfLevelTable, 0x07A9));
    EXPECT_DOUBLE_EQ(S::InverseLookup(S::Dvbs2CnTable, -10), 13348);
    EXPECT_DOUBLE_EQ(S::InverseLookup(S::Dvbs2CnTable, 60), 481);
    EXPECT_DOUBLE_EQ(S::InverseLookup(S::RfLevelTable, -90), 0x07AA);
    EXPECT_DOUBLE_EQ(S::InverseLookup(S::RfLevelTable, 0), 0xCAA1);
}

// The level table keeps falling where the stv090x driver's -65 dBm entry
// (0xA14F) would have broken it.
TEST(SignalTables, LevelTableFallsThroughMinus65dBm) {
    EXPECT_DOUBLE_EQ(S::Lookup(S::RfLevelTable, 0x114F), -65.0);
    EXPECT_NEAR(S::Lookup(S::RfLevelTable, (0x210D + 0x114F) / 2.0), -62.5, 1e-9);
    double previous = 0;
    for (int raw = 0x07AA; raw <= 0xCAA1; raw += 0x40) {
        const double level = S::Lookup(S::RfLevelTable, raw);
        if (raw > 0x07AA) {
            EXPECT_GT(level, previous) << raw;
        }
        previous = level;
    }
}

TEST(SignalClock, MasterClockFollowsThePllSettings) {
    EXPECT_DOUBLE_EQ(S::DefaultMasterClockHz, 135e6);
    // Without SELX1RATIO the crystal is divided by 6, not 4.
    EXPECT_DOUBLE_EQ(S::MasterClockHz(0x13, 0x02, 27e6), 90e6);
    EXPECT_DOUBLE_EQ(S::MasterClockHz(0x00, 0x20, 27e6), 6.75e6);
}

TEST(SignalClock, SymbolRateCarrierOffsetAndTsRateScaleWithTheClock) {
    EXPECT_DOUBLE_EQ(S::SymbolRateHz(0x80000000u), 67.5e6);
    EXPECT_DOUBLE_EQ(S::SymbolRateHz(0x80000000u, 90e6), 45e6);
    for (double rate : {1e6, 4e6, 27.5e6, 45e6})
        EXPECT_NEAR(S::SymbolRateHz(S::SfrForSymbolRate(rate)), rate, 135e6 / 4294967296.0) << rate;
    EXPECT_EQ(S::SfrForSymbolRate(-1), 0u);
    EXPECT_EQ(S::SfrForSymbolRate(200e6), 0xFFFFFFFFu);

    // 24 bits, two's complement.
    EXPECT_DOUBLE_EQ(S::CarrierOffsetHz(0x000001), 135e6 / 16777216.0);
    EXPECT_DOUBLE_EQ(S::CarrierOffsetHz(0xFFFFFF), -135e6 / 16777216.0);
    EXPECT_DOUBLE_EQ(S::CarrierOffsetHz(0x800000), -67.5e6);
    EXPECT_DOUBLE_EQ(S::CarrierOffsetHz(0x7FFFFF), 67.5e6 - 135e6 / 16777216.0);
    EXPECT_DOUBLE_EQ(S::CarrierOffsetHz(0xFF000001), S::CarrierOffsetHz(0x000001));  // only 24 bits count
    for (double hz : {-5e6, -1234.0, 0.0, 1500.0, 3.25e6})
        EXPECT_NEAR(S::CarrierOffsetHz(S::CfrForCarrierOffset(hz)), hz, 135e6 / 16777216.0) << hz;
    EXPECT_EQ(S::CfrForCarrierOffset(-100e6), 0x800000u);
    EXPECT_EQ(S::CfrForCarrierOffset(100e6), 0x7FFFFFu);

    EXPECT_DOUBLE_EQ(S::TsBitRate(16384), 135e6);
    EXPECT_DOUBLE_EQ(S::TsBitRate(16384, 90e6), 90e6);
    EXPECT_EQ(S::TsBitRateRaw(38.015e6), 4614);
    EXPECT_EQ(S::TsBitRateRaw(1e9), 0xFFFF);
}

TEST(SignalCodes, ModcodsAreNumberedOnceFromOneToTwentyEight) {
    std::set<int> codes;
    for (const S::Dvbs2Modcod& m : S::Dvbs2Modcods) {
        EXPECT_TRUE(codes.insert(m.code).second);
        EXPECT_EQ(S::Dvbs2ModcodFor(m.modulation, m.rate)->code, m.code);
    }
    EXPECT_EQ(codes.size(), 28u);
    EXPECT_EQ(*codes.begin(), 1);
    EXPECT_FALSE(S::Dvbs2ModcodFromCode(0));
    EXPECT_FALSE(S::Dvbs2ModcodFromCode(29));
    EXPECT_FALSE(S::Dvbs2ModcodFor(S::Modulation::Psk8, {1, 2}));
    EXPECT_FALSE(S::ViterbiRate(0));
}

}  // namespace
