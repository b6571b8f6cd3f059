// What the monitor makes of the signal core's readings: the line an
// operator reads (absent figures left out, never shown as 0), the summary
// over a run, and the JSON a script keeps.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "console/signal_monitor.h"
#include "support/qt_support.h"

namespace {

using frontend::DeliverySystem;
using frontend::LockStages;
using frontend::SignalReading;
namespace S = STV0903Signal;

SignalReading locked(double cn, double level, std::uint32_t errors = 0, std::uint64_t counted = 10000) {
    SignalReading r;
    r.stages = LockStages{true, true, true, true};
    r.system = DeliverySystem::DvbS2;
    r.modulation = S::Modulation::Psk8;
    r.codeRate = S::CodeRate{2, 3};
    r.levelDbm = level;
    r.cnDb = cn;
    r.errors = frontend::ErrorCount{true, errors, counted, false};
    r.carrierOffsetKhz = -1.2;
    r.symbolRateMsps = 27.5;
    r.tsBitRateMbit = 49.39;
    return r;
}

SignalReading unlocked() {
    SignalReading r;
    r.stages = LockStages{true, false, false, false};
    r.levelDbm = -70;
    r.levelBeyondTable = true;
    return r;
}

TEST(SignalLines, EveryFigureThatIsThereAndNothingThatIsNot) {
    EXPECT_EQ(console::SignalLine({1500, locked(12.04, -40.5, 3, 1000000)}).toStdString(),
              "   1.5 s  locked    DVB-S2 8PSK 2/3  -40.5 dBm  C/N 12.0 dB  PER 3.0e-06  -1.2 kHz  27.500 Msym/s  "
              "49.39 Mbit/s");
    // Unlocked: the stages that hold, the level as a bound past the table's
    // end, and no C/N, rate or offset at all.
    EXPECT_EQ(console::SignalLine({2000, unlocked()}).toStdString(), "   2.0 s  no lock: carrier  < -70.0 dBm");
    SignalReading unread;
    EXPECT_EQ(console::SignalLine({3000, unread}).toStdString(), "   3.0 s  unread  ");
    EXPECT_EQ(console::LockText(LockStages{}), "no lock");
    EXPECT_EQ(console::ErrorRateText(false, 1.5e-3, true), "BER >=1.5e-03");
}

TEST(SignalSummary, RangesLossesAndTheErrorRateOverTheRun) {
    console::SignalSummary m;
    m.add(locked(7.4, -40, 1, 10000));
    m.add(unlocked());
    m.add(locked(7.6, -41, 3, 30000));
    m.add(locked(7.5, -40, 0, 10000));
    EXPECT_EQ(m.readings, 4);
    EXPECT_EQ(m.locked, 3);
    EXPECT_EQ(m.lockLosses, 1);
    EXPECT_FALSE(m.lockedThroughout());
    EXPECT_DOUBLE_EQ(m.cn.min, 7.4);
    EXPECT_DOUBLE_EQ(m.cn.max, 7.6);
    EXPECT_NEAR(*m.cn.mean(), 7.5, 1e-12);
    EXPECT_EQ(m.level.count, 4) << "the level is read with or without a lock";
    EXPECT_DOUBLE_EQ(*m.errorRate(), 4.0 / 50000);
    EXPECT_EQ(console::SignalSummaryLine(m),
              "monitor: 4 readings, locked in 3, lock lost once, C/N 7.4 / 7.5 / 7.6 dB, level -70.0 / -47.8 / -40.0 "
              "dBm (min / mean / max), PER 8.0e-05");

    console::SignalSummary none;
    EXPECT_FALSE(none.lockedThroughout()) << "no reading proves no lock";
    EXPECT_EQ(console::SignalSummaryLine(none), "monitor: 0 readings, locked in 0");
}

TEST(SignalJson, AbsentFiguresAreNullAndTheSummaryIsItsOwnObject) {
    const QJsonObject o = QJsonDocument::fromJson(console::SignalJson({250, unlocked()})).object();
    EXPECT_DOUBLE_EQ(o["t"].toDouble(), 0.25);
    EXPECT_FALSE(o["locked"].toBool());
    EXPECT_TRUE(o["stages"].toObject()["carrier"].toBool());
    EXPECT_TRUE(o["cnDb"].isNull());
    EXPECT_TRUE(o["system"].isNull());
    EXPECT_TRUE(o["errors"].isNull());
    EXPECT_TRUE(o["levelBeyondTable"].toBool());

    console::SignalSummary m;
    m.add(locked(10, -40));
    const QJsonObject s = QJsonDocument::fromJson(console::SignalSummaryJson(m)).object()["summary"].toObject();
    EXPECT_TRUE(s["lockedThroughout"].toBool());
    EXPECT_DOUBLE_EQ(s["cnDb"].toObject()["mean"].toDouble(), 10);
}

}  // namespace
