// The signal window fed by a source the test controls: what each widget
// holds after a reading, how the chart rolls, what the constellation shows,
// and how the timers ask the source.
#include <gtest/gtest.h>

#include <QTest>
#include <QThread>
#include <deque>

#include "support/qt_app.h"
#include "ui/signal_widgets.h"
#include "ui/signal_window.h"
#include "ui/test_signal_window_shots.h"

namespace {

using frontend::LockStages;
using frontend::SignalReading;
using State = ui::LockLamp::State;
using Stage = ui::SignalWindow::Stage;
namespace S = STV0903Signal;

class FakeSource : public ui::SignalSource {
public:
    console::SignalSample Read() override {
        ++reads;
        console::SignalSample s;
        s.elapsedMs = reads * 1000;
        s.reading = reading;
        return s;
    }
    std::vector<frontend::IqPoint> Constellation(std::size_t count) override {
        asked.push_back(count);
        if (slowMs) QThread::msleep(static_cast<unsigned long>(slowMs));
        if (empty) return {};
        return testing_support::pskPoints(random, count, 8, 64, 6);
    }

    SignalReading reading;
    int reads = 0;
    std::vector<std::size_t> asked;
    int slowMs = 0;
    bool empty = false;
    std::mt19937 random{7};
};

SignalReading lockedReading() {
    SignalReading r;
    r.stages = LockStages{true, true, true, true};
    r.system = frontend::DeliverySystem::DvbS2;
    r.modulation = S::Modulation::Psk8;
    r.codeRate = S::CodeRate{2, 3};
    r.levelDbm = -40;
    r.cnDb = 12.0;
    r.errors = frontend::ErrorCount{true, 3, 300'000, false};
    r.carrierOffsetKhz = 750;
    r.symbolRateMsps = 27.5;
    r.tsBitRateMbit = 49.39;
    return r;
}

console::SignalSample sample(const SignalReading& r, std::int64_t ms) { return {ms, r}; }

class SignalWindowTest : public testing::Test {
protected:
    void SetUp() override { testing_support::qtApp(); }

    std::vector<State> lamps() const {
        return {window.lamp(Stage::Carrier).state(), window.lamp(Stage::Header).state(),
                window.lamp(Stage::Fec).state(), window.lamp(Stage::Ts).state()};
    }

    FakeSource source;
    ui::SignalWindow window{source, 1000};
};

TEST_F(SignalWindowTest, ALockedReadingLightsEveryLampAndFillsEveryFigure) {
    window.showSample(sample(lockedReading(), 83'000));
    EXPECT_EQ(lamps(), std::vector<State>(4, State::Held));
    EXPECT_EQ(window.lamp(Stage::Fec).name(), "FEC");
    EXPECT_EQ(window.lockText(), "locked");
    EXPECT_EQ(window.systemText(), "DVB-S2 8PSK 2/3");

    EXPECT_EQ(window.levelBar().value(), -40.0);
    EXPECT_EQ(window.levelBar().text(), "-40.0 dBm");
    EXPECT_DOUBLE_EQ(window.levelBar().fill(), 0.6);
    EXPECT_EQ(window.levelBar().note(), "");
    EXPECT_EQ(window.cnBar().text(), "12.0 dB");
    EXPECT_DOUBLE_EQ(window.cnBar().fill(), 0.6);

    EXPECT_EQ(window.errorsText(), "PER 1.0e-05");
    EXPECT_TRUE(window.errorsDetail().startsWith("3 in 300")) << window.errorsDetail().toStdString();
    EXPECT_TRUE(window.errorsDetail().contains("packets"));
    EXPECT_EQ(window.offsetText(), "+750.0 kHz");
    EXPECT_EQ(window.symbolRateText(), "27.500 Msym/s");
    EXPECT_EQ(window.bitRateText(), "49.39 Mbit/s");
    EXPECT_TRUE(window.statusText().contains("last reading at 83.0 s")) << window.statusText().toStdString();
    EXPECT_TRUE(window.summaryText().startsWith("1 reading, locked in 1, lock lost 0 times"))
        << window.summaryText().toStdString();
    EXPECT_TRUE(window.summaryText().contains("C/N    12.0 / 12.0 / 12.0 dB"));
}

TEST_F(SignalWindowTest, FiguresThatCannotBeHadShowAsAbsentNeverAsZero) {
    // Before any reading.
    EXPECT_EQ(lamps(), std::vector<State>(4, State::Unknown));
    EXPECT_EQ(window.levelBar().text(), "\u2014");
    EXPECT_TRUE(window.statusText().contains("no reading yet"));
    EXPECT_TRUE(window.summaryText().contains("C/N    \u2014"));

    // A carrier without a final lock: level yes, C/N and the stream's figures no.
    SignalReading r;
    r.stages = LockStages{true, false, false, false};
    r.levelDbm = -52.5;
    r.carrierOffsetKhz = -1200;
    r.symbolRateMsps = 27.5;
    window.showSample(sample(r, 1000));
    EXPECT_EQ(lamps(), (std::vector<State>{State::Held, State::Dark, State::Dark, State::Dark}));
    EXPECT_EQ(window.lockText(), "no lock: carrier");
    EXPECT_EQ(window.systemText(), "searching");
    EXPECT_EQ(window.cnBar().value(), std::nullopt);
    EXPECT_EQ(window.cnBar().text(), "\u2014");
    EXPECT_EQ(window.cnBar().note(), "no lock");
    EXPECT_EQ(window.cnBar().fill(), 0.0);
    EXPECT_EQ(window.errorsText(), "\u2014");
    EXPECT_EQ(window.bitRateText(), "\u2014");
    EXPECT_EQ(window.offsetText(), "-1200.0 kHz");

    // The status registers unread: nothing is known, and the lamps say so
    // rather than showing a lock lost.
    window.showSample(sample(SignalReading{}, 2000));
    EXPECT_EQ(lamps(), std::vector<State>(4, State::Unknown));
    EXPECT_EQ(window.lockText(), "unread");
    EXPECT_EQ(window.systemText(), "\u2014");
    EXPECT_EQ(window.levelBar().text(), "\u2014");
    EXPECT_EQ(window.levelBar().note(), "unread");
    EXPECT_EQ(window.offsetText(), "\u2014");
    EXPECT_EQ(window.symbolRateText(), "\u2014");
}

TEST_F(SignalWindowTest, ALevelBeyondTheTableIsABoundAndAFigureBeyondTheScaleFillsTheBar) {
    SignalReading r = lockedReading();
    r.levelDbm = -70;  // the table's weakest point
    r.levelBeyondTable = true;
    window.showSample(sample(r, 1000));
    EXPECT_EQ(window.levelBar().bound(), ui::SignalBar::Bound::AtMost);
    EXPECT_EQ(window.levelBar().text(), "\u2264 -70.0 dBm");
    EXPECT_EQ(window.levelBar().note(), "beyond table");

    r.levelDbm = -5;  // the strongest
    r.cnDb = 26.5;
    window.showSample(sample(r, 2000));
    EXPECT_EQ(window.levelBar().bound(), ui::SignalBar::Bound::AtLeast);
    EXPECT_EQ(window.levelBar().text(), "\u2265 -5.0 dBm");
    EXPECT_DOUBLE_EQ(window.cnBar().fill(), 1.0);
    EXPECT_EQ(window.cnBar().text(), "26.5 dB");

    // A saturated counter is a lower bound too.
    r.errors = frontend::ErrorCount{false, S::ErrorCounterMax, 10'000'000, true};
    r.system = frontend::DeliverySystem::DvbS;
    window.showSample(sample(r, 3000));
    EXPECT_EQ(window.errorsText(), "BER >=8.4e-01");
    EXPECT_TRUE(window.errorsDetail().contains("bits"));
}

TEST_F(SignalWindowTest, TheChartKeepsTheLastReadingsAndTheirGaps) {
    EXPECT_EQ(window.chart().spanMs(), 300'000);
    const std::size_t n = ui::SignalWindow::ChartReadings;
    for (std::size_t k = 1; k <= n + 50; ++k) {
        SignalReading r = lockedReading();
        r.cnDb = 10.0 + static_cast<double>(k % 5);
        if (k % 10 == 0) {  // the lock lost now and then
            r = SignalReading{};
            r.stages = LockStages{};
        }
        window.showSample(sample(r, static_cast<std::int64_t>(k) * 1000));
    }
    const auto& kept = window.chart().readings();
    ASSERT_EQ(kept.size(), n);
    EXPECT_EQ(kept.front().ms, 51'000);
    EXPECT_EQ(kept.back().ms, static_cast<std::int64_t>(n + 50) * 1000);
    const ui::ChartReading& lost = kept[9];  // reading 60
    EXPECT_EQ(lost.ms, 60'000);
    EXPECT_FALSE(lost.locked);
    EXPECT_FALSE(lost.cnDb);
    EXPECT_FALSE(lost.errorRate);
    EXPECT_EQ(kept[10].cnDb, 11.0);
    EXPECT_DOUBLE_EQ(*kept[10].errorRate, 1e-5);
    EXPECT_TRUE(kept[10].packets);
    EXPECT_TRUE(window.summaryText().startsWith("350 readings, locked in 315, lock lost 35 times"))
        << window.summaryText().toStdString();
    // The lost readings had no C/N: they are not in its range.
    EXPECT_TRUE(window.summaryText().contains("C/N    10.0 / 12.2 / 14.0 dB")) << window.summaryText().toStdString();
}

TEST_F(SignalWindowTest, EightPhasesShowAsEightClustersThatFadeAway) {
    window.showSample(sample(lockedReading(), 12'000));
    std::mt19937 random(3);
    for (int k = 0; k < 16; ++k) {
        window.addPoints(testing_support::pskPoints(random, 256, 8, 64, 6));
        window.refresh();
    }
    EXPECT_EQ(window.constellation().pointsAdded(), 16u * 256);
    // Light lands where the points are: the ring, not the centre.
    EXPECT_GT(window.constellation().light(59, 24), window.constellation().light(0, 0) + 1);

    const QImage shot = window.grab().toImage();
    EXPECT_FALSE(testing_support::saveSignalShot(shot, "signal_window_8psk_synthetic").isEmpty());
    const QRect plot = testing_support::plotInWindow(window);
    EXPECT_GT(plot.width(), 200);
    EXPECT_EQ(plot.width(), plot.height());
    EXPECT_EQ(testing_support::countClusters(shot, plot), 8);
    // The panel around it is not lit: the eight are on the plot only.
    EXPECT_EQ(testing_support::countClusters(shot, QRect(plot.left(), plot.top(), plot.width() / 4, plot.height() / 4)),
              0);

    // Noise alone: one blob round the centre, the corners dark.
    ui::SignalWindow noisy(source, 1000);
    for (int k = 0; k < 16; ++k) noisy.addPoints(testing_support::pskPoints(random, 256, 0, 0, 25));
    const QImage blob = noisy.grab().toImage();
    const QRect noisyPlot = testing_support::plotInWindow(noisy);
    EXPECT_GT(testing_support::litShare(blob, testing_support::aroundPoint(noisyPlot, 0, 0, 10)), 0.9);
    EXPECT_LT(testing_support::litShare(blob, testing_support::aroundPoint(noisyPlot, 100, -100, 16)), 0.05);
    // Where the eight were, the centre stays dark.
    EXPECT_LT(testing_support::litShare(shot, testing_support::aroundPoint(plot, 0, 0, 10)), 0.01);

    // With no more points the picture goes dark.
    for (int k = 0; k < 60; ++k) window.refresh();
    EXPECT_EQ(testing_support::litShare(window.grab().toImage(), plot), 0);
}

TEST_F(SignalWindowTest, TheTimersReadAtOnceThenEachIntervalAndKeepThePointsComing) {
    ui::SignalWindow fast(source, 100);
    fast.start();
    EXPECT_TRUE(fast.running());
    QTest::qWait(20);
    EXPECT_EQ(source.reads, 1);  // the first reading does not wait an interval
    QTest::qWait(400);
    fast.stop();
    EXPECT_GE(source.reads, 3);
    EXPECT_LE(source.reads, 7);
    ASSERT_GT(source.asked.size(), 4u);
    // A fast source gets ever larger batches, up to the largest.
    EXPECT_EQ(source.asked.front(), ui::SignalWindow::FirstBatch);
    EXPECT_EQ(fast.batchSize(), ui::SignalWindow::MaxBatch);
    EXPECT_GT(fast.constellation().pointsAdded(), 1000u);
    // ... but no more points than the plot wants: 20000 a second at most.
    EXPECT_LT(fast.constellation().pointsAdded(),
              1.1 * 0.42 * ui::SignalWindow::MaxPointsPerSecond + 2 * ui::SignalWindow::MaxBatch);
    EXPECT_TRUE(fast.statusText().startsWith("Running 0:00:00")) << fast.statusText().toStdString();

    // Stopped, nothing more is asked.
    const std::size_t asked = source.asked.size();
    const int reads = source.reads;
    QTest::qWait(250);
    EXPECT_EQ(source.asked.size(), asked);
    EXPECT_EQ(source.reads, reads);
}

TEST_F(SignalWindowTest, ASlowSourceGetsSmallBatchesAndAnEmptyOneIsNotHammered) {
    source.slowMs = 30;
    window.start();
    QTest::qWait(300);
    window.stop();
    EXPECT_EQ(window.batchSize(), ui::SignalWindow::MinBatch);

    FakeSource empty;
    empty.empty = true;
    ui::SignalWindow idle(empty, 1000);
    idle.start();
    QTest::qWait(500);
    idle.stop();
    // One at once, then one each EmptyRetryMs.
    EXPECT_GE(empty.asked.size(), 2u);
    EXPECT_LE(empty.asked.size(), 4u);
}

}  // namespace
