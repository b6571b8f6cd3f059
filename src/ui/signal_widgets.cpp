#include "ui/signal_widgets.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cmath>

namespace ui {

namespace signal_look {

QFont font(int pixels, bool bold) {
    QFont f;
    f.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QFont numberFont(int pixels, bool bold) {
    QFont f;
    f.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Liberation Mono")});
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

}  // namespace signal_look

namespace look = signal_look;

namespace {

// A pixmap the size of the widget in device pixels, for a cached layer.
QPixmap devicePixmap(const QWidget& w) {
    const qreal dpr = w.devicePixelRatioF();
    QPixmap pm(w.size() * dpr);
    pm.setDevicePixelRatio(dpr);
    return pm;
}

bool cacheFits(const QPixmap& cache, const QWidget& w) {
    return !cache.isNull() && cache.devicePixelRatio() == w.devicePixelRatioF() &&
           cache.size() == w.size() * w.devicePixelRatioF();
}

}  // namespace

// ---------------------------------------------------------------------------
// LockLamp

LockLamp::LockLamp(const QString& name, QWidget* parent) : QWidget(parent), name_(name) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void LockLamp::setState(State state) {
    if (state == state_) return;
    state_ = state;
    cache_ = {};
    update();
}

QSize LockLamp::sizeHint() const { return {70, 58}; }

void LockLamp::paintEvent(QPaintEvent*) {
    if (!cacheFits(cache_, *this)) {
        cache_ = devicePixmap(*this);
        QPainter p(&cache_);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(rect(), look::Panel);

        constexpr double radius = 11;
        const QPointF c(width() / 2.0, 4 + radius + 2);
        QColor hot, mid, edge;
        switch (state_) {
            case State::Held:
                hot = QColor(0xe6, 0xff, 0xe6), mid = QColor(0x40, 0xe8, 0x60), edge = QColor(0x14, 0x8a, 0x2c);
                break;
            case State::Dark:
                hot = QColor(0x2c, 0x4a, 0x32), mid = QColor(0x16, 0x2c, 0x1a), edge = QColor(0x0c, 0x18, 0x0e);
                break;
            case State::Unknown:
                hot = QColor(0x4a, 0x50, 0x56), mid = QColor(0x2a, 0x2e, 0x33), edge = QColor(0x18, 0x1b, 0x1e);
                break;
        }
        if (state_ == State::Held) {
            // The glow a lit lamp throws on the panel around it.
            QRadialGradient glow(c, radius * 2.1);
            glow.setColorAt(0.0, QColor(0x40, 0xe8, 0x60, 150));
            glow.setColorAt(0.5, QColor(0x40, 0xe8, 0x60, 40));
            glow.setColorAt(1.0, QColor(0x40, 0xe8, 0x60, 0));
            p.setPen(Qt::NoPen);
            p.setBrush(glow);
            p.drawEllipse(c, radius * 2.1, radius * 2.1);
        }
        QRadialGradient body(c - QPointF(radius * 0.35, radius * 0.35), radius * 1.3);
        body.setColorAt(0.0, hot);
        body.setColorAt(0.45, mid);
        body.setColorAt(1.0, edge);
        p.setBrush(body);
        p.setPen(QPen(QColor(0x08, 0x0a, 0x0c), 2));
        p.drawEllipse(c, radius, radius);

        p.setFont(look::font(11, true));
        p.setPen(state_ == State::Held ? look::Figure : look::Caption);
        p.drawText(QRectF(0, c.y() + radius + 4, width(), 16), Qt::AlignHCenter | Qt::AlignTop, name_);
    }
    QPainter(this).drawPixmap(0, 0, cache_);
}

// ---------------------------------------------------------------------------
// SignalBar

SignalBar::SignalBar(const QString& caption, const QString& unit, double minimum, double maximum, double tickStep,
                     int decimals, const QColor& colour, QWidget* parent)
    : QWidget(parent),
      caption_(caption),
      unit_(unit),
      minimum_(minimum),
      maximum_(maximum),
      tickStep_(tickStep),
      decimals_(decimals),
      colour_(colour) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void SignalBar::setValue(std::optional<double> value, Bound bound) {
    if (!value) bound = Bound::Exact;
    if (value == value_ && bound == bound_) return;
    value_ = value;
    bound_ = bound;
    cache_ = {};
    update();
}

void SignalBar::setAbsentNote(const QString& note) {
    if (note == absentNote_) return;
    absentNote_ = note;
    cache_ = {};
    update();
}

QString SignalBar::text() const {
    if (!value_) return look::NoFigure;
    QString prefix;
    if (bound_ == Bound::AtMost) prefix = QStringLiteral("\u2264 ");
    if (bound_ == Bound::AtLeast) prefix = QStringLiteral("\u2265 ");
    return prefix + QString::number(*value_, 'f', decimals_) + QLatin1Char(' ') + unit_;
}

QString SignalBar::note() const {
    if (!value_) return absentNote_;
    return bound_ == Bound::Exact ? QString() : QStringLiteral("beyond table");
}

double SignalBar::fill() const {
    if (!value_) return 0;
    return std::clamp((*value_ - minimum_) / (maximum_ - minimum_), 0.0, 1.0);
}

void SignalBar::paintEvent(QPaintEvent*) {
    if (!cacheFits(cache_, *this)) {
        cache_ = devicePixmap(*this);
        QPainter p(&cache_);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(rect(), look::Panel);
        const int w = width();

        p.setFont(look::font(13, true));
        p.setPen(look::Caption);
        p.drawText(QRect(0, 0, w, 18), Qt::AlignLeft | Qt::AlignVCenter, caption_);
        const QString n = note();
        if (!n.isEmpty()) {
            p.setFont(look::font(11));
            p.setPen(value_ ? look::Warning : look::Absent);
            p.drawText(QRect(0, 18, w, 14), Qt::AlignLeft | Qt::AlignVCenter, n);
        }
        p.setFont(look::numberFont(26));
        p.setPen(value_ ? look::Figure : look::Absent);
        p.drawText(QRect(0, 0, w, 32), Qt::AlignRight | Qt::AlignVCenter, text());

        const QRectF track(0.5, 37.5, w - 1.0, 14);
        p.setPen(QPen(look::Frame, 1));
        p.setBrush(look::Well);
        p.drawRoundedRect(track, 3, 3);
        const QColor& colour = colour_;
        if (value_) {
            const QRectF bar(track.left() + 1.5, track.top() + 1.5, (track.width() - 3) * fill(), track.height() - 3);
            QLinearGradient g(bar.topLeft(), bar.bottomLeft());
            g.setColorAt(0, colour.lighter(135));
            g.setColorAt(1, colour.darker(130));
            p.setPen(Qt::NoPen);
            p.setBrush(g);
            p.drawRoundedRect(bar, 2, 2);
            if (bound_ != Bound::Exact) {
                // The figure is only a bound: the bar's end is marked so.
                p.setBrush(look::Warning);
                const double x = bar.right();
                p.drawRect(QRectF(std::max(bar.left(), x - 3), bar.top(), 3, bar.height()));
            }
        }

        // The scale: a tick at each step, labelled.
        p.setFont(look::numberFont(10, false));
        const int steps = static_cast<int>(std::lround((maximum_ - minimum_) / tickStep_));
        for (int k = 0; k <= steps; ++k) {
            const double v = minimum_ + k * tickStep_;
            const double x = track.left() + 1.5 + (track.width() - 3) * (v - minimum_) / (maximum_ - minimum_);
            p.setPen(QPen(look::Caption, 1));
            p.drawLine(QPointF(x, track.bottom() + 1), QPointF(x, track.bottom() + 5));
            const QString label = QString::number(v, 'f', 0);
            const int half = 20;
            Qt::Alignment a = Qt::AlignHCenter;
            QRectF r(x - half, track.bottom() + 5, 2 * half, 13);
            // The end labels stay inside the widget.
            if (k == 0) {
                a = Qt::AlignLeft;
                r.moveLeft(0);
            } else if (k == steps) {
                a = Qt::AlignRight;
                r.moveRight(w);
            }
            p.drawText(r, a | Qt::AlignTop, label);
        }
    }
    QPainter(this).drawPixmap(0, 0, cache_);
}

// ---------------------------------------------------------------------------
// StripChart

StripChart::StripChart(std::size_t capacity, QWidget* parent)
    : QWidget(parent), capacity_(std::max<std::size_t>(capacity, 2)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void StripChart::setSpanMs(std::int64_t spanMs) {
    spanMs_ = std::max<std::int64_t>(spanMs, 1000);
    cache_ = {};
    update();
}

void StripChart::add(const ChartReading& reading) {
    readings_.push_back(reading);
    while (readings_.size() > capacity_) readings_.pop_front();
    cache_ = {};
    update();
}

void StripChart::clear() {
    readings_.clear();
    cache_ = {};
    update();
}

namespace {

QString minutesSeconds(std::int64_t ms) {
    const std::int64_t s = ms / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// A step for the time axis that gives at most about eight labels.
std::int64_t timeStepMs(std::int64_t spanMs) {
    static constexpr std::int64_t steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1200, 1800, 3600};
    for (std::int64_t s : steps)
        if (spanMs / (s * 1000) <= 8) return s * 1000;
    return 3600'000;
}

}  // namespace

void StripChart::render(QPainter& p, const QRect& area) const {
    p.fillRect(area, look::Panel);
    const QRectF plot = QRectF(area).adjusted(42, 24, -54, -22);
    p.setPen(QPen(look::Frame, 1));
    p.setBrush(look::Well);
    p.drawRect(plot);

    const std::int64_t newest = readings_.empty() ? 0 : readings_.back().ms;
    const std::int64_t t1 = std::max(spanMs_, newest);
    const std::int64_t t0 = t1 - spanMs_;
    auto xAt = [&](std::int64_t ms) {
        return plot.left() + plot.width() * static_cast<double>(ms - t0) / static_cast<double>(t1 - t0);
    };
    double cnTop = CnAxisMinimum;
    for (const ChartReading& r : readings_)
        if (r.cnDb) cnTop = std::max(cnTop, std::ceil(*r.cnDb / 5.0) * 5.0);
    auto yCn = [&](double db) { return plot.bottom() - plot.height() * std::clamp(db, 0.0, cnTop) / cnTop; };
    const double decades = -std::log10(RateFloor);
    auto yRate = [&](double rate) {
        const double l = std::log10(std::max(rate, RateFloor));
        return plot.top() + plot.height() * (-std::min(l, 0.0)) / decades;
    };

    p.save();
    p.setClipRect(plot.adjusted(1, 1, -1, -1));
    // Without lock: the time since the reading before, shaded.
    for (std::size_t k = 0; k < readings_.size(); ++k) {
        const ChartReading& r = readings_[k];
        if (r.locked) continue;
        std::int64_t from =
            k > 0 ? readings_[k - 1].ms : r.ms - (readings_.size() > 1 ? readings_[1].ms - readings_[0].ms : 1000);
        p.fillRect(QRectF(QPointF(xAt(from), plot.top()), QPointF(xAt(r.ms), plot.bottom())), look::Unlocked);
    }
    p.restore();

    // Grid and axes.
    p.setFont(look::numberFont(10, false));
    const std::int64_t step = timeStepMs(spanMs_);
    for (std::int64_t t = (t0 + step - 1) / step * step; t <= t1; t += step) {
        const double x = xAt(t);
        p.setPen(QPen(look::Grid, 1));
        p.drawLine(QPointF(x, plot.top() + 1), QPointF(x, plot.bottom() - 1));
        p.setPen(look::Caption);
        p.drawText(QRectF(x - 30, plot.bottom() + 4, 60, 14), Qt::AlignHCenter | Qt::AlignTop, minutesSeconds(t));
    }
    for (double db = 0; db <= cnTop + 1e-9; db += 5) {
        const double y = yCn(db);
        if (db > 0 && db < cnTop) {
            p.setPen(QPen(look::Grid, 1));
            p.drawLine(QPointF(plot.left() + 1, y), QPointF(plot.right() - 1, y));
        }
        p.setPen(look::Cn);
        p.drawText(QRectF(area.left(), y - 7, 36, 14), Qt::AlignRight | Qt::AlignVCenter, QString::number(db, 'f', 0));
    }
    for (int e = 0; e <= static_cast<int>(decades); e += 3) {
        const double y = yRate(std::pow(10.0, -e));
        p.setPen(look::Errors);
        QString label = e == 0 ? QStringLiteral("1") : QStringLiteral("1e-%1").arg(e);
        if (e == static_cast<int>(decades)) label = QStringLiteral("\u2264") + label;
        p.drawText(QRectF(plot.right() + 5, y - 7, 50, 14), Qt::AlignLeft | Qt::AlignVCenter, label);
    }

    // Legend.
    bool packets = false;
    for (const ChartReading& r : readings_)
        if (r.errorRate) packets = r.packets;
    const bool anyRate =
        std::any_of(readings_.begin(), readings_.end(), [](const ChartReading& r) { return r.errorRate.has_value(); });
    p.setFont(look::font(12, true));
    double x = plot.left();
    auto legend = [&](const QColor& c, const QString& text) {
        p.fillRect(QRectF(x, area.top() + 8, 14, 4), c);
        p.setPen(c);
        const QRectF r(x + 18, area.top() + 2, 220, 16);
        p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter, text);
        x += 26 + p.fontMetrics().horizontalAdvance(text);
    };
    legend(look::Cn, QStringLiteral("C/N dB"));
    legend(look::Errors, anyRate ? (packets ? QStringLiteral("PER (log)") : QStringLiteral("BER (log)"))
                                 : QStringLiteral("error rate (log)"));
    legend(look::Unlocked.lighter(180), QStringLiteral("no lock"));
    p.setPen(look::Caption);
    p.setFont(look::font(11));
    p.drawText(QRectF(plot.left(), area.top() + 2, plot.width(), 16), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("last %1 (%2 of %3 readings)")
                   .arg(minutesSeconds(spanMs_))
                   .arg(readings_.size())
                   .arg(capacity_));

    if (readings_.empty()) {
        p.setPen(look::Absent);
        p.setFont(look::font(13));
        p.drawText(plot, Qt::AlignCenter, QStringLiteral("waiting for the first reading"));
        return;
    }

    // The series: a line through the readings that have the figure, broken
    // where one lacks it, and a dot on each.
    p.save();
    p.setClipRect(plot.adjusted(1, 1, -1, -1));
    p.setRenderHint(QPainter::Antialiasing);
    auto series = [&](const QColor& colour, auto value, auto y) {
        QPainterPath path;
        bool drawing = false;
        for (const ChartReading& r : readings_) {
            const std::optional<double> v = value(r);
            if (!v) {
                drawing = false;
                continue;
            }
            const QPointF at(xAt(r.ms), y(*v));
            if (drawing)
                path.lineTo(at);
            else
                path.moveTo(at);
            drawing = true;
        }
        p.setPen(QPen(colour, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(path);
        if (readings_.size() <= 120) {
            p.setPen(Qt::NoPen);
            p.setBrush(colour);
            for (const ChartReading& r : readings_)
                if (const auto v = value(r)) p.drawEllipse(QPointF(xAt(r.ms), y(*v)), 2.5, 2.5);
        }
    };
    series(
        look::Errors, [](const ChartReading& r) { return r.errorRate; }, yRate);
    series(
        look::Cn, [](const ChartReading& r) { return r.cnDb; }, yCn);
    p.restore();
}

void StripChart::paintEvent(QPaintEvent*) {
    if (!cacheFits(cache_, *this)) {
        cache_ = devicePixmap(*this);
        QPainter p(&cache_);
        render(p, rect());
    }
    QPainter(this).drawPixmap(0, 0, cache_);
}

// ---------------------------------------------------------------------------
// ConstellationView

namespace {

// Brightness 0..1 to a premultiplied colour: deep blue for a trace of
// light, through cyan and yellow to white where points crowd.
QRgb heat(double b) {
    struct Stop {
        double at;
        int r, g, b, a;
    };
    static constexpr Stop stops[] = {
        {0.0, 0x10, 0x20, 0x80, 0},    {0.08, 0x18, 0x38, 0xb0, 170}, {0.35, 0x20, 0xb8, 0xe8, 255},
        {0.70, 0xf4, 0xe0, 0x50, 255}, {1.0, 0xff, 0xff, 0xf0, 255},
    };
    b = std::clamp(b, 0.0, 1.0);
    std::size_t k = 1;
    while (k + 1 < std::size(stops) && b > stops[k].at) ++k;
    const Stop& lo = stops[k - 1];
    const Stop& hi = stops[k];
    const double f = (b - lo.at) / (hi.at - lo.at);
    auto mix = [f](int x, int y) { return static_cast<int>(std::lround(x + (y - x) * f)); };
    const int a = mix(lo.a, hi.a);
    return qPremultiply(qRgba(mix(lo.r, hi.r), mix(lo.g, hi.g), mix(lo.b, hi.b), a));
}

// Light relative to the gain, in steps of 1/LutScale, to a colour.
constexpr int LutScale = 256;
constexpr double SpotSigma = 1.1;
// Brightness follows the light in proportion, so that the thin light
// between two clusters stays dark blue, and is full from this share of the
// gain up: the crowded middle of a cluster, not only its one brightest cell.
constexpr double FullAt = 0.8;
constexpr int LutSize = 4 * LutScale;

const std::array<QRgb, LutSize>& heatTable() {
    static const std::array<QRgb, LutSize> table = [] {
        std::array<QRgb, LutSize> t{};
        for (int k = 0; k < LutSize; ++k) t[k] = heat(static_cast<double>(k) / LutScale / FullAt);
        return t;
    }();
    return table;
}

// How one point spreads its light over its cell and the cells around it: a
// Gaussian a cell wide, so that many points make a smooth density rather
// than a speckle of single cells.
constexpr int SpotReach = 2;
constexpr int SpotSide = 2 * SpotReach + 1;
const std::array<float, SpotSide * SpotSide>& spot() {
    static const std::array<float, SpotSide* SpotSide> weights = [] {
        std::array<float, SpotSide * SpotSide> w{};
        for (int dr = -SpotReach; dr <= SpotReach; ++dr)
            for (int dc = -SpotReach; dc <= SpotReach; ++dc)
                w[static_cast<std::size_t>((dr + SpotReach) * SpotSide + dc + SpotReach)] =
                    static_cast<float>(std::exp(-(dr * dr + dc * dc) / (2.0 * SpotSigma * SpotSigma)));
        return w;
    }();
    return weights;
}
// The gain never falls below a few points' worth, so that a lone point
// shows faint, not white.
constexpr float GainFloor = 4.0f;
// How slowly the gain follows the light down.
constexpr float GainKeeps = 0.97f;

}  // namespace

ConstellationView::ConstellationView(QWidget* parent)
    : QWidget(parent),
      light_(static_cast<std::size_t>(Cells * Cells), 0.0f),
      layer_(Cells, Cells, QImage::Format_ARGB32_Premultiplied) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void ConstellationView::addPoints(const std::vector<frontend::IqPoint>& points) {
    if (points.empty()) return;
    const auto& weights = spot();
    for (const frontend::IqPoint& pt : points) {
        const int col = pt.i + 128;
        const int row = 127 - pt.q;
        for (int dr = -SpotReach; dr <= SpotReach; ++dr) {
            const int r = row + dr;
            if (r < 0 || r >= Cells) continue;
            float* line = light_.data() + static_cast<std::size_t>(r) * Cells;
            const float* w = weights.data() + static_cast<std::size_t>((dr + SpotReach) * SpotSide + SpotReach);
            for (int dc = -SpotReach; dc <= SpotReach; ++dc) {
                const int c = col + dc;
                if (c < 0 || c >= Cells) continue;
                line[c] += w[dc];
            }
        }
    }
    pointsAdded_ += points.size();
    layerDirty_ = true;
    update();
}

void ConstellationView::fade() {
    for (float& l : light_) l *= FadeKeeps;
    gain_ *= GainKeeps;
    layerDirty_ = true;
    update();
}

void ConstellationView::clear() {
    std::fill(light_.begin(), light_.end(), 0.0f);
    gain_ = 0;
    pointsAdded_ = 0;
    layerDirty_ = true;
    update();
}

float ConstellationView::light(int i, int q) const {
    if (i < -128 || i > 127 || q < -128 || q > 127) return 0;
    return light_[static_cast<std::size_t>(127 - q) * Cells + static_cast<std::size_t>(i + 128)];
}

QRect ConstellationView::plotRect() const {
    constexpr int left = 34, right = 18, top = 20, bottom = 26;
    const int side = std::max(16, std::min(width() - left - right, height() - top - bottom));
    const int x = left + std::max(0, (width() - left - right - side) / 2);
    const int y = top + std::max(0, (height() - top - bottom - side) / 2);
    return {x, y, side, side};
}

double ConstellationView::cellCentre(const QRect& plot, int v, bool vertical) const {
    const double cell = static_cast<double>(plot.width()) / Cells;
    return vertical ? plot.top() + (127 - v + 0.5) * cell : plot.left() + (v + 128 + 0.5) * cell;
}

void ConstellationView::renderLayer() {
    float peak = 0;
    for (float l : light_) peak = std::max(peak, l);
    gain_ = std::max({gain_, peak, GainFloor});
    const auto& table = heatTable();
    const float scale = LutScale / gain_;
    for (int r = 0; r < Cells; ++r) {
        const float* in = light_.data() + static_cast<std::size_t>(r) * Cells;
        auto* out = reinterpret_cast<QRgb*>(layer_.scanLine(r));
        for (int c = 0; c < Cells; ++c) out[c] = table[std::min(LutSize - 1, static_cast<int>(in[c] * scale))];
    }
    layerDirty_ = false;
}

void ConstellationView::renderFrame() {
    frame_ = devicePixmap(*this);
    QPainter p(&frame_);
    p.fillRect(rect(), look::Panel);
    const QRect plot = plotRect();
    p.fillRect(plot, look::Well);

    // Grid each 32 steps, the axes through zero brighter.
    p.setFont(look::numberFont(10, false));
    for (int v = -128; v <= 127; v += 32) {
        const QColor c = v == 0 ? look::Frame.lighter(130) : look::Grid;
        const double x = cellCentre(plot, v, false);
        const double y = cellCentre(plot, v, true);
        p.setPen(QPen(c, 1));
        p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
    }
    p.setPen(QPen(look::Frame, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(plot).adjusted(-0.5, -0.5, 0.5, 0.5));
    p.setPen(look::Caption);
    for (int v : {-128, -64, 0, 64, 127}) {
        const QString label = QString::number(v);
        const double x = cellCentre(plot, v, false);
        p.drawText(QRectF(x - 20, plot.bottom() + 3, 40, 12), Qt::AlignHCenter | Qt::AlignTop, label);
        const double y = cellCentre(plot, v, true);
        p.drawText(QRectF(0, y - 6, plot.left() - 4, 12), Qt::AlignRight | Qt::AlignVCenter, label);
    }
    p.setFont(look::font(12, true));
    const double iAxis = cellCentre(plot, 0, true);
    p.drawText(QRectF(plot.right() + 4, iAxis - 16, 14, 14), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("I"));
    const double axis = cellCentre(plot, 0, false);
    p.drawText(QRectF(axis + 5, plot.top() - 18, 30, 14), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("Q"));
}

void ConstellationView::paintEvent(QPaintEvent*) {
    if (!cacheFits(frame_, *this)) renderFrame();
    if (layerDirty_) renderLayer();
    QPainter p(this);
    p.drawPixmap(0, 0, frame_);
    // The cells scaled smoothly onto the plot, at the device's own pixels.
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRectF(plotRect()), layer_);
}

}  // namespace ui
