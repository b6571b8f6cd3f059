// The instruments of the signal window, each painted from a cached layer at
// the screen's device pixel ratio: a lock lamp, a bar with its figure, a
// strip chart of C/N and error rate, and a constellation with fading
// persistence. None of them knows where its figures come from.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "frontend/signal_reader.h"

namespace ui {

// The look the instruments share: a dark front panel, light figures.
namespace signal_look {
inline const QColor Panel{0x1d, 0x21, 0x26};
inline const QColor Well{0x10, 0x13, 0x16};  // behind plots and bars
inline const QColor Frame{0x3a, 0x42, 0x4a};
inline const QColor Grid{0x2c, 0x34, 0x3c};
inline const QColor Caption{0x9a, 0xa6, 0xb2};
inline const QColor Figure{0xec, 0xf1, 0xf4};
inline const QColor Absent{0x6c, 0x76, 0x80};
inline const QColor Level{0x4a, 0x9e, 0xe8};
inline const QColor Cn{0x5c, 0xd6, 0x6e};
inline const QColor Errors{0xf0, 0xa0, 0x30};
inline const QColor Warning{0xf0, 0xa0, 0x30};
inline const QColor Unlocked{0x52, 0x1e, 0x22};  // chart band while the stream is not locked

// Pixel sizes, as everywhere in the program; the families are those the
// set-up installs.
QFont font(int pixels, bool bold = false);
QFont numberFont(int pixels, bool bold = true);  // fixed-width digits, so figures do not jitter

// What an absent figure shows.
inline const QString NoFigure = QStringLiteral("\u2014");
}  // namespace signal_look

// A front-panel lamp with its name under it.
class LockLamp : public QWidget {
public:
    enum class State { Unknown, Dark, Held };

    explicit LockLamp(const QString& name, QWidget* parent = nullptr);

    void setState(State state);
    State state() const { return state_; }
    QString name() const { return name_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override { cache_ = {}; }

private:
    QString name_;
    State state_ = State::Unknown;
    QPixmap cache_;
};

// A horizontal bar on a fixed scale with its figure in large digits above
// it. A figure beyond the scale fills the bar to its end and still shows
// its own number; an absent figure leaves the bar empty and says why.
class SignalBar : public QWidget {
public:
    // The figure is exact, or only a bound (the reading lay beyond the
    // chip's table, so the figure is the table's end).
    enum class Bound { Exact, AtMost, AtLeast };

    SignalBar(const QString& caption, const QString& unit, double minimum, double maximum, double tickStep,
              int decimals, const QColor& colour, QWidget* parent = nullptr);

    void setValue(std::optional<double> value, Bound bound = Bound::Exact);
    // What the bar says while its figure is absent ("no lock", "unread").
    void setAbsentNote(const QString& note);

    std::optional<double> value() const { return value_; }
    Bound bound() const { return bound_; }
    // The figure as shown: "-40.0 dBm", "<= -70.0 dBm", or a dash.
    QString text() const;
    // The small line under the figure: "beyond table", the absent note, or empty.
    QString note() const;
    // How much of the bar is filled, 0 to 1.
    double fill() const;
    double minimum() const { return minimum_; }
    double maximum() const { return maximum_; }

    QSize sizeHint() const override { return {300, 74}; }
    QSize minimumSizeHint() const override { return {200, 74}; }

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override { cache_ = {}; }

private:
    QString caption_, unit_;
    double minimum_, maximum_, tickStep_;
    int decimals_;
    QColor colour_;
    std::optional<double> value_;
    Bound bound_ = Bound::Exact;
    QString absentNote_;
    QPixmap cache_;
};

// One reading as the strip chart keeps it.
struct ChartReading {
    std::int64_t ms = 0;  // since the monitor started
    bool locked = false;
    std::optional<double> cnDb;
    std::optional<double> errorRate;  // absent while the stream does not flow
    bool packets = false;             // DVB-S2 counts packets, DVB-S bits
};

// C/N (left axis, dB) and error rate (right axis, log) over the last
// readings, against time; readings without lock shade the background.
class StripChart : public QWidget {
public:
    explicit StripChart(std::size_t capacity, QWidget* parent = nullptr);

    // How wide the time axis is: the capacity's worth of readings.
    void setSpanMs(std::int64_t spanMs);
    std::int64_t spanMs() const { return spanMs_; }

    // The oldest reading leaves once capacity readings are kept.
    void add(const ChartReading& reading);
    void clear();
    const std::deque<ChartReading>& readings() const { return readings_; }
    std::size_t capacity() const { return capacity_; }

    // Error rates at or below this sit on the axis's floor, zero among them.
    static constexpr double RateFloor = 1e-9;
    // C/N axis: 0 to 20 dB, higher when a reading needs it.
    static constexpr double CnAxisMinimum = 20.0;

    QSize sizeHint() const override { return {720, 200}; }
    QSize minimumSizeHint() const override { return {360, 150}; }

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override { cache_ = {}; }

private:
    void render(QPainter& p, const QRect& area) const;

    std::size_t capacity_;
    std::int64_t spanMs_ = 300'000;
    std::deque<ChartReading> readings_;
    QPixmap cache_;
};

// The I/Q points, signed 8-bit each, on a square plot. Every point adds
// light to its cell of the 256 x 256 the two bytes can take; each fade()
// takes a share of all light away, so that where points keep landing stays
// bright (the constellation's clusters) and where they landed once fades
// (the noise). The light is kept per cell, not per screen pixel, so that it
// outlives a resize and a move to a screen of another pixel ratio; it is
// scaled smoothly onto the plot, whose axes and grid are a cached layer
// painted at the screen's pixel ratio.
class ConstellationView : public QWidget {
public:
    explicit ConstellationView(QWidget* parent = nullptr);

    void addPoints(const std::vector<frontend::IqPoint>& points);
    // One refresh's fading.
    void fade();
    void clear();

    // What is left of the light after one fade: at one fade each 80 ms a
    // point fades to half in about half a second.
    static constexpr float FadeKeeps = 0.9f;
    static constexpr int Cells = 256;

    std::uint64_t pointsAdded() const { return pointsAdded_; }
    // The light of the cell of (i, q).
    float light(int i, int q) const;
    // The square the points are plotted in, in widget coordinates.
    QRect plotRect() const;

    QSize sizeHint() const override { return {420, 420}; }
    QSize minimumSizeHint() const override { return {240, 240}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int w) const override { return w; }

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override { frame_ = {}; }

private:
    void renderLayer();
    void renderFrame();
    // Where the centre of the cell of value v lies along the plot's side.
    double cellCentre(const QRect& plot, int v, bool vertical) const;

    // Light per cell, row 0 at the top (Q = 127), column 0 at the left (I = -128).
    std::vector<float> light_;
    // Light that shows at full brightness: the brightest cell's, and when
    // that falls (the points stop coming) it follows more slowly than the
    // light fades, so that the picture fades too.
    float gain_ = 0;
    QImage layer_;  // the light, coloured, with alpha, one pixel a cell
    bool layerDirty_ = true;
    QPixmap frame_;  // background, grid, axes and labels
    std::uint64_t pointsAdded_ = 0;
};

}  // namespace ui
