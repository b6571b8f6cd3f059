#include "ui/signal_window.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QTime>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "ui/signal_widgets.h"

namespace ui {

namespace look = signal_look;

namespace {

QLabel* label(const QFont& font, const QColor& colour, QWidget* parent) {
    auto* l = new QLabel(parent);
    l->setFont(font);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    return l;
}

void setColour(QLabel* l, const QColor& colour) {
    QPalette p = l->palette();
    if (p.color(QPalette::WindowText) == colour) return;
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
}

// A figure in large digits, or the dash of an absent one in grey.
void showFigure(QLabel* l, const std::optional<QString>& text) {
    l->setText(text ? *text : look::NoFigure);
    setColour(l, text ? look::Figure : look::Absent);
}

QString fixed(double v, int decimals) { return QString::number(v, 'f', decimals); }

// Whether a level the AGC put beyond the table lies below its lowest figure
// (the level is at most that) or above its highest (at least that).
SignalBar::Bound levelBound(const frontend::SignalReading& r) {
    switch (console::LevelBoundOf(r)) {
    case console::LevelBound::AtMost: return SignalBar::Bound::AtMost;
    case console::LevelBound::AtLeast: return SignalBar::Bound::AtLeast;
    case console::LevelBound::Exact: break;
    }
    return SignalBar::Bound::Exact;
}

QString thousands(std::uint64_t n) {
    QString digits = QString::number(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, QChar(0x2009));
    return digits;
}

}  // namespace

SignalWindow::SignalWindow(SignalSource& source, int intervalMs, QWidget* parent)
    : QWidget(parent), source_(source), intervalMs_(std::max(intervalMs, 1)) {
    setWindowTitle(QStringLiteral("Vesperbox signal"));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, look::Panel);
    pal.setColor(QPalette::WindowText, look::Figure);
    setPalette(pal);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(14, 12, 14, 8);
    root->setSpacing(10);

    // The front panel's top row: the four lamps, then what was found.
    auto* top = new QHBoxLayout;
    top->setSpacing(4);
    const char* names[] = {"CARRIER", "HEADER", "FEC", "TS"};
    for (int k = 0; k < 4; ++k) {
        lamps_[k] = new LockLamp(QString::fromLatin1(names[k]), this);
        top->addWidget(lamps_[k]);
    }
    top->addSpacing(18);
    auto* found = new QVBoxLayout;
    found->setSpacing(0);
    lockLabel_ = label(look::font(15, true), look::Caption, this);
    systemLabel_ = label(look::font(26, true), look::Figure, this);
    found->addStretch();
    found->addWidget(lockLabel_);
    found->addWidget(systemLabel_);
    found->addStretch();
    top->addLayout(found, 1);
    root->addLayout(top);

    // Figures on the left, the constellation on the right.
    auto* middle = new QHBoxLayout;
    middle->setSpacing(18);
    auto* figures = new QVBoxLayout;
    figures->setSpacing(12);
    level_ = new SignalBar(QStringLiteral("RF level"), QStringLiteral("dBm"), -100, 0, 20, 1, look::Level, this);
    cn_ = new SignalBar(QStringLiteral("C/N"), QStringLiteral("dB"), 0, 20, 5, 1, look::Cn, this);
    figures->addWidget(level_);
    figures->addWidget(cn_);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(24);
    grid->setVerticalSpacing(2);
    auto caption = [&](int row, int column, const QString& text) {
        QLabel* l = label(look::font(13, true), look::Caption, this);
        l->setText(text);
        grid->addWidget(l, row, column);
    };
    auto value = [&](int row, int column) {
        QLabel* l = label(look::numberFont(22), look::Figure, this);
        grid->addWidget(l, row, column);
        return l;
    };
    caption(0, 0, QStringLiteral("Errors"));
    errors_ = value(1, 0);
    caption(0, 1, QStringLiteral("TS bit rate"));
    bitRate_ = value(1, 1);
    errorsDetail_ = label(look::font(11), look::Caption, this);
    grid->addWidget(errorsDetail_, 2, 0, 1, 2);
    grid->setRowMinimumHeight(3, 14);
    caption(4, 0, QStringLiteral("Carrier offset"));
    offset_ = value(5, 0);
    caption(4, 1, QStringLiteral("Symbol rate"));
    symbolRate_ = value(5, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    figures->addSpacing(4);
    figures->addLayout(grid);
    figures->addSpacing(14);
    QLabel* summaryCaption = label(look::font(13, true), look::Caption, this);
    summaryCaption->setText(QStringLiteral("Since start"));
    figures->addWidget(summaryCaption);
    summary_ = label(look::numberFont(13, false), look::Figure, this);
    figures->addWidget(summary_);
    figures->addStretch();
    middle->addLayout(figures, 1);

    auto* plot = new QVBoxLayout;
    plot->setSpacing(0);
    auto* plotHead = new QHBoxLayout;
    QLabel* plotCaption = label(look::font(13, true), look::Caption, this);
    plotCaption->setText(QStringLiteral("Constellation"));
    pointsRate_ = label(look::font(11), look::Caption, this);
    pointsRate_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    plotHead->addWidget(plotCaption);
    plotHead->addWidget(pointsRate_, 1);
    plot->addLayout(plotHead);
    constellation_ = new ConstellationView(this);
    plot->addWidget(constellation_, 1);
    middle->addLayout(plot, 1);
    root->addLayout(middle, 1);

    chart_ = new StripChart(ChartReadings, this);
    chart_->setSpanMs(static_cast<std::int64_t>(ChartReadings) * intervalMs_);
    root->addWidget(chart_);

    status_ = label(look::font(12), look::Caption, this);
    root->addWidget(status_);

    for (LockLamp* l : lamps_) l->setState(LockLamp::State::Unknown);
    lockLabel_->setText(QStringLiteral("no reading yet"));
    showFigure(systemLabel_, std::nullopt);
    level_->setAbsentNote(QStringLiteral("no reading yet"));
    cn_->setAbsentNote(QStringLiteral("no reading yet"));
    for (QLabel* l : {errors_, offset_, symbolRate_, bitRate_}) showFigure(l, std::nullopt);
    updateSummary();
    updateStatus();

    readTimer_.setInterval(intervalMs_);
    connect(&readTimer_, &QTimer::timeout, this, &SignalWindow::readNow);
    pointsTimer_.setSingleShot(true);
    connect(&pointsTimer_, &QTimer::timeout, this, &SignalWindow::pullPoints);
    refreshTimer_.setInterval(RefreshMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &SignalWindow::refresh);

    resize(980, 760);
}

SignalWindow::~SignalWindow() { stop(); }

const LockLamp& SignalWindow::lamp(Stage stage) const { return *lamps_[static_cast<int>(stage)]; }

void SignalWindow::start() {
    if (running_) return;
    running_ = true;
    sinceStart_.start();
    rateWindow_.start();
    pointsAtRateStart_ = constellation_->pointsAdded();
    // The first reading at once, not an interval later.
    QTimer::singleShot(0, this, [this] {
        if (running_) readNow();
    });
    readTimer_.start();
    pointsTimer_.start(0);
    refreshTimer_.start();
}

void SignalWindow::stop() {
    running_ = false;
    readTimer_.stop();
    pointsTimer_.stop();
    refreshTimer_.stop();
}

void SignalWindow::readNow() { showSample(source_.Read()); }

void SignalWindow::pullPoints() {
    if (!running_) return;
    QElapsedTimer took;
    took.start();
    const std::vector<frontend::IqPoint> points = source_.Constellation(batch_);
    const double ms = static_cast<double>(took.nsecsElapsed()) / 1e6;
    addPoints(points);
    if (points.empty()) {
        // Nothing came (the link is gone, or the reads failed): asking
        // again at once would only keep the bus and the loop busy.
        pointsTimer_.start(EmptyRetryMs);
        return;
    }
    if (ms < TargetTickMs / 2.0 && batch_ < MaxBatch)
        batch_ *= 2;
    else if (ms > TargetTickMs * 2.0 && batch_ > MinBatch)
        batch_ /= 2;
    // The plot needs no more than MaxPointsPerSecond; a source faster than
    // that waits between batches instead of taking the processor.
    const double dueMs = 1000.0 * static_cast<double>(points.size()) / MaxPointsPerSecond;
    pointsTimer_.start(std::max(0, static_cast<int>(std::ceil(dueMs - ms))));
}

void SignalWindow::showSample(const console::SignalSample& sample) {
    const frontend::SignalReading& r = sample.reading;
    using State = LockLamp::State;
    if (r.stages) {
        const frontend::LockStages& s = *r.stages;
        const bool held[] = {s.carrier, s.header, s.fec, s.ts};
        for (int k = 0; k < 4; ++k) lamps_[k]->setState(held[k] ? State::Held : State::Dark);
    } else {
        for (LockLamp* l : lamps_) l->setState(State::Unknown);
    }
    lockLabel_->setText(console::LockText(r.stages));
    setColour(lockLabel_, r.locked() ? look::Cn : (r.stages ? look::Warning : look::Absent));
    const QString system = console::SystemText(r);
    if (!system.isEmpty()) {
        showFigure(systemLabel_, system);
    } else if (r.stages) {
        // The status was read and holds no delivery system yet.
        systemLabel_->setText(QStringLiteral("searching"));
        setColour(systemLabel_, look::Absent);
    } else {
        showFigure(systemLabel_, std::nullopt);
    }

    level_->setAbsentNote(QStringLiteral("unread"));
    level_->setValue(r.levelDbm, levelBound(r));
    // C/N needs a final lock; without one there is nothing to measure.
    cn_->setAbsentNote(!r.stages ? QStringLiteral("unread")
                                 : (r.stages->header ? QStringLiteral("unread") : QStringLiteral("no lock")));
    cn_->setValue(r.cnDb);

    if (r.errors) {
        const frontend::ErrorCount& e = *r.errors;
        showFigure(errors_, console::ErrorRateText(e.packets, e.rate(), e.saturated));
        errorsDetail_->setText(QStringLiteral("%1 in %2 %3 since the reading before")
                                   .arg(thousands(e.errors), thousands(e.counted),
                                        e.packets ? QStringLiteral("packets") : QStringLiteral("bits")));
    } else {
        showFigure(errors_, std::nullopt);
        errorsDetail_->setText(r.locked() ? QStringLiteral("counters unread")
                                          : QStringLiteral("counted while the stream flows"));
    }
    auto figure = [](const std::optional<double>& v, QString (*text)(double)) -> std::optional<QString> {
        if (!v) return std::nullopt;
        return text(*v);
    };
    showFigure(offset_, figure(r.carrierOffsetKhz, console::CarrierOffsetText));
    showFigure(symbolRate_, figure(r.symbolRateMsps, console::SymbolRateText));
    showFigure(bitRate_, figure(r.tsBitRateMbit, console::TsBitRateText));

    ChartReading c;
    c.ms = sample.elapsedMs;
    c.locked = r.locked();
    c.cnDb = r.cnDb;
    if (r.errors) {
        c.errorRate = r.errors->rate();
        c.packets = r.errors->packets;
    }
    chart_->add(c);

    sofar_.add(r);
    updateSummary();
    lastStampMs_ = sample.elapsedMs;
    lastReadingClock_ = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    sinceReading_.start();
    updateStatus();
}

void SignalWindow::addPoints(const std::vector<frontend::IqPoint>& points) { constellation_->addPoints(points); }

void SignalWindow::refresh() {
    constellation_->fade();
    if (rateWindow_.isValid() && rateWindow_.elapsed() >= 500) {
        const std::uint64_t added = constellation_->pointsAdded() - pointsAtRateStart_;
        pointsPerSecond_ = static_cast<double>(added) * 1000.0 / static_cast<double>(rateWindow_.restart());
        pointsAtRateStart_ = constellation_->pointsAdded();
    }
    updateStatus();
}

void SignalWindow::updateStatus() {
    const std::uint64_t total = constellation_->pointsAdded();
    QString points =
        pointsPerSecond_
            ? QStringLiteral("%1 points/s").arg(thousands(static_cast<std::uint64_t>(std::lround(*pointsPerSecond_))))
            : QStringLiteral("%1 points").arg(thousands(total));
    pointsRate_->setText(points);

    QStringList parts;
    if (sinceStart_.isValid()) {
        const qint64 s = sinceStart_.elapsed() / 1000;
        parts << QStringLiteral("Running %1:%2:%3")
                     .arg(s / 3600)
                     .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                     .arg(s % 60, 2, 10, QLatin1Char('0'));
    }
    bool stale = false;
    if (lastStampMs_) {
        parts << QStringLiteral("last reading at %1 s (%2)")
                     .arg(fixed(static_cast<double>(*lastStampMs_) / 1000.0, 1), lastReadingClock_);
        // Readings that stop coming while the window runs are worth a word.
        const qint64 quiet = sinceReading_.elapsed();
        if (running_ && quiet > 3 * static_cast<qint64>(intervalMs_) + 1000) {
            parts << QStringLiteral("no reading for %1 s").arg(quiet / 1000);
            stale = true;
        }
    } else {
        parts << QStringLiteral("no reading yet");
    }
    parts << QStringLiteral("reading every %1 ms").arg(intervalMs_);
    status_->setText(parts.join(QStringLiteral("   \u00b7   ")));
    setColour(status_, stale ? look::Warning : look::Caption);
}

void SignalWindow::updateSummary() {
    const console::SignalSummary& m = sofar_;
    QStringList lines;
    lines << (m.readings == 0
                  ? QStringLiteral("no reading yet")
                  : QStringLiteral("%1 %2, locked in %3, lock lost %4")
                        .arg(m.readings)
                        .arg(m.readings == 1 ? QStringLiteral("reading") : QStringLiteral("readings"))
                        .arg(m.locked)
                        .arg(m.lockLosses == 1 ? QStringLiteral("once") : QStringLiteral("%1 times").arg(m.lockLosses)));
    auto range = [&](const char* name, const console::FigureRange& f, const char* unit) {
        QString line = QString::fromLatin1(name).leftJustified(7);
        if (f.count == 0) return line + look::NoFigure;
        return line + QStringLiteral("%1 / %2 / %3 %4 (min / mean / max)")
                          .arg(fixed(f.min, 1), fixed(*f.mean(), 1), fixed(f.max, 1), QString::fromLatin1(unit));
    };
    lines << range("C/N", m.cn, "dB") << range("Level", m.level, "dBm");
    summary_->setText(lines.join(QLatin1Char('\n')));
}

QString SignalWindow::summaryText() const { return summary_->text(); }

QString SignalWindow::lockText() const { return lockLabel_->text(); }
QString SignalWindow::systemText() const { return systemLabel_->text(); }
QString SignalWindow::errorsText() const { return errors_->text(); }
QString SignalWindow::errorsDetail() const { return errorsDetail_->text(); }
QString SignalWindow::offsetText() const { return offset_->text(); }
QString SignalWindow::symbolRateText() const { return symbolRate_->text(); }
QString SignalWindow::bitRateText() const { return bitRate_->text(); }
QString SignalWindow::statusText() const { return status_->text(); }

}  // namespace ui
