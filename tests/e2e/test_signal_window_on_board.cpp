// The signal window fed by the program's monitor on the simulated board:
// the queued I2C engine reading the demodulator that the command line's
// signal options make, as `monitor --window` runs it. The screenshots are
// kept in the build tree.
#include <gtest/gtest.h>

#include <QTest>

#include "console/signal_monitor.h"
#include "i2c/queued_i2c.h"
#include "support/qt_app.h"
#include "support/signal_board.h"
#include "ui/signal_widgets.h"
#include "ui/signal_window.h"
#include "ui/test_signal_window_shots.h"

namespace {

using State = ui::LockLamp::State;
using Stage = ui::SignalWindow::Stage;

struct WindowOnBoard : testing_support::SignalBoard {
    std::unique_ptr<i2c::QueuedI2c> queued;
    std::unique_ptr<console::SignalMonitor> monitor;
    std::unique_ptr<ui::MonitorSignalSource> source;
    std::unique_ptr<ui::SignalWindow> window;

    explicit WindowOnBoard(std::initializer_list<std::string> options) : SignalBoard(options) {
        testing_support::qtApp();
        EXPECT_TRUE(setUp);
        queued = std::make_unique<i2c::QueuedI2c>(channels, clock);
        monitor = std::make_unique<console::SignalMonitor>(*queued, 0xD4);
        source = std::make_unique<ui::MonitorSignalSource>(*monitor);
        window = std::make_unique<ui::SignalWindow>(*source, 1000);
    }

    // What the timers would do over `seconds`: a reading each second, and
    // over the last four seconds batches of points with a refresh after
    // each (earlier points would have faded anyway).
    void run(int seconds) {
        for (int s = 0; s < seconds; ++s) {
            clock.advanceMs(1000);
            window->showSample(source->Read());
            for (int k = 0; k < (seconds - s <= 4 ? 8 : 0); ++k) {
                const std::vector<frontend::IqPoint> points = source->Constellation(256);
                EXPECT_EQ(points.size(), 256u);
                window->addPoints(points);
                window->refresh();
            }
        }
    }

    // Then the window's own timers for a while, as the program runs it:
    // the points come as fast as the board and the event loop allow.
    void live(int ms) {
        window->show();
        window->start();
        QTest::qWait(ms);
        window->stop();
    }

    QImage shot(const QString& name) {
        const QImage image = window->grab().toImage();
        EXPECT_FALSE(testing_support::saveSignalShot(image, name).isEmpty());
        return image;
    }
    int clusters(const QImage& image) {
        return testing_support::countClusters(image, testing_support::plotInWindow(*window));
    }
    std::vector<State> lamps() const {
        return {window->lamp(Stage::Carrier).state(), window->lamp(Stage::Header).state(),
                window->lamp(Stage::Fec).state(), window->lamp(Stage::Ts).state()};
    }
};

TEST(SignalWindowOnBoard, EightPskAtTwelveDecibelsShowsEightClusters) {
    WindowOnBoard b({"--system=dvbs2", "--modcod=8psk-2/3", "--cn=12"});
    b.run(40);
    b.live(1000);
    EXPECT_TRUE(b.window->statusText().startsWith("Running 0:00:0")) << b.window->statusText().toStdString();
    EXPECT_EQ(b.lamps(), std::vector<State>(4, State::Held));
    EXPECT_EQ(b.window->systemText(), "DVB-S2 8PSK 2/3");
    ASSERT_TRUE(b.window->cnBar().value());
    EXPECT_NEAR(*b.window->cnBar().value(), 12, 0.3);
    EXPECT_GE(b.window->chart().readings().size(), 41u);
    EXPECT_EQ(b.clusters(b.shot("signal_window_8psk_cn12")), 8);
}

TEST(SignalWindowOnBoard, ThreeDecibelsBlurTheClustersTogether) {
    WindowOnBoard b({"--system=dvbs2", "--modcod=8psk-2/3", "--cn=3"});
    b.run(40);
    b.live(1000);
    EXPECT_EQ(b.lamps(), std::vector<State>(4, State::Held));
    ASSERT_TRUE(b.window->cnBar().value());
    EXPECT_NEAR(*b.window->cnBar().value(), 3, 0.3);
    const QImage blurred = b.shot("signal_window_8psk_cn3");
    WindowOnBoard clear({"--system=dvbs2", "--modcod=8psk-2/3", "--cn=12"});
    clear.run(4);
    const QImage sharp = clear.window->grab().toImage();
    // The noise fills the ring's middle and spreads far wider than the
    // eight clusters at 12 dB.
    const QRect plot = testing_support::plotInWindow(*b.window);
    const QRect middle = testing_support::aroundPoint(plot, 0, 0, 16);
    EXPECT_GT(testing_support::litShare(blurred, middle), 0.7);
    EXPECT_LT(testing_support::litShare(sharp, middle), 0.05);
    EXPECT_GT(testing_support::litShare(blurred, plot), 1.5 * testing_support::litShare(sharp, plot));
}

TEST(SignalWindowOnBoard, WithoutASignalTheLampsAreDarkAndTheNoiseIsOneBlob) {
    WindowOnBoard b({"--signal=none"});
    b.run(40);
    b.live(1000);
    EXPECT_EQ(b.lamps(), std::vector<State>(4, State::Dark));
    EXPECT_EQ(b.window->lockText(), "no lock");
    EXPECT_EQ(b.window->cnBar().value(), std::nullopt);
    EXPECT_EQ(b.window->cnBar().note(), "no lock");
    EXPECT_EQ(b.window->errorsText(), "\u2014");
    for (const ui::ChartReading& r : b.window->chart().readings()) EXPECT_FALSE(r.locked);
    const QImage image = b.shot("signal_window_unlocked");
    const QRect plot = testing_support::plotInWindow(*b.window);
    // One blob round the origin, thinning out towards the corners.
    EXPECT_GT(testing_support::litShare(image, testing_support::aroundPoint(plot, 0, 0, 16)), 0.8);
    EXPECT_LT(testing_support::litShare(image, testing_support::aroundPoint(plot, 100, 100, 16)), 0.3);
    EXPECT_LT(testing_support::litShare(image, testing_support::aroundPoint(plot, -100, -100, 16)), 0.3);
    EXPECT_GT(b.window->constellation().light(0, 0), b.window->constellation().light(60, 60));
}

}  // namespace

