// The signal window: the demodulator's signal as a bench engineer watches
// it, live. Lock lamps for each stage of the lock, the delivery system,
// level and C/N as bars, the error rate and the carrier's figures as
// numbers, a strip chart of C/N and errors over the last minutes, and a
// constellation of the I/Q points with fading persistence.
//
// The window only shows: it asks a SignalSource for readings on one timer
// and for I/Q points on another, as often as the source keeps up without
// holding up the event loop. The main window never shows it.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "console/signal_monitor.h"
#include "frontend/signal_reader.h"

class QLabel;

namespace ui {

class LockLamp;
class SignalBar;
class StripChart;
class ConstellationView;

// Where the window's figures come from: the monitor in the program, a fake in tests.
class SignalSource {
public:
    virtual ~SignalSource() = default;
    virtual console::SignalSample Read() = 0;                                     // one reading of every figure
    virtual std::vector<frontend::IqPoint> Constellation(std::size_t count) = 0;  // count I/Q pairs, one batch
};

// The program's monitor as the window's source.
class MonitorSignalSource : public SignalSource {
public:
    explicit MonitorSignalSource(console::SignalMonitor& monitor) : monitor_(monitor) {}
    console::SignalSample Read() override { return monitor_.Read(); }
    std::vector<frontend::IqPoint> Constellation(std::size_t count) override { return monitor_.Constellation(count); }

private:
    console::SignalMonitor& monitor_;
};

class SignalWindow : public QWidget {
public:
    // Reads every intervalMs, and asks for I/Q points in between: batches of
    // MinBatch to MaxBatch points, the size following how long a batch
    // takes, so that a tick stays near TargetTickMs and the event loop keeps
    // up; a fast source is asked no more than MaxPointsPerSecond.
    SignalWindow(SignalSource& source, int intervalMs, QWidget* parent = nullptr);
    ~SignalWindow() override;

    // What the timers call, public so that tests drive the window without timers:
    void showSample(const console::SignalSample& sample);
    void addPoints(const std::vector<frontend::IqPoint>& points);
    // One refresh: the constellation fades a step, the status line catches up.
    void refresh();
    void start();  // the timers
    void stop();
    bool running() const { return running_; }

    static constexpr std::size_t ChartReadings = 300;
    static constexpr int RefreshMs = 80;
    static constexpr std::size_t MinBatch = 32;
    static constexpr std::size_t MaxBatch = 512;
    static constexpr std::size_t FirstBatch = 64;
    static constexpr int TargetTickMs = 10;
    static constexpr int MaxPointsPerSecond = 20000;
    // A source that gives no points (a lost link) is asked again after this.
    static constexpr int EmptyRetryMs = 200;

    // What the window shows, for the tests and for a look from outside.
    enum class Stage { Carrier, Header, Fec, Ts };
    const LockLamp& lamp(Stage stage) const;
    const SignalBar& levelBar() const { return *level_; }
    const SignalBar& cnBar() const { return *cn_; }
    const StripChart& chart() const { return *chart_; }
    const ConstellationView& constellation() const { return *constellation_; }
    QString lockText() const;    // "locked", "no lock: carrier", "unread"
    QString systemText() const;  // "DVB-S2 8PSK 2/3", "searching", a dash
    QString errorsText() const;  // "PER 1.2e-05" or a dash
    QString errorsDetail() const;
    QString offsetText() const;
    QString symbolRateText() const;
    QString bitRateText() const;
    QString statusText() const;
    // C/N and level over the readings so far, and how the lock held.
    QString summaryText() const;
    // Points asked for in the next batch.
    std::size_t batchSize() const { return batch_; }

private:
    void readNow();
    void pullPoints();
    void updateStatus();
    void updateSummary();

    SignalSource& source_;
    int intervalMs_;
    bool running_ = false;
    QTimer readTimer_, pointsTimer_, refreshTimer_;
    std::size_t batch_ = FirstBatch;

    LockLamp* lamps_[4] = {};
    QLabel* lockLabel_ = nullptr;
    QLabel* systemLabel_ = nullptr;
    SignalBar* level_ = nullptr;
    SignalBar* cn_ = nullptr;
    QLabel* errors_ = nullptr;
    QLabel* errorsDetail_ = nullptr;
    QLabel* offset_ = nullptr;
    QLabel* symbolRate_ = nullptr;
    QLabel* bitRate_ = nullptr;
    StripChart* chart_ = nullptr;
    ConstellationView* constellation_ = nullptr;
    QLabel* summary_ = nullptr;
    QLabel* pointsRate_ = nullptr;
    QLabel* status_ = nullptr;

    // For the status line.
    QElapsedTimer sinceStart_;
    QElapsedTimer sinceReading_;
    std::optional<std::int64_t> lastStampMs_;
    QString lastReadingClock_;
    // What the readings so far came to, added up as the monitor adds them.
    console::SignalSummary sofar_;
    QElapsedTimer rateWindow_;
    std::uint64_t pointsAtRateStart_ = 0;
    std::optional<double> pointsPerSecond_;
};

}  // namespace ui
