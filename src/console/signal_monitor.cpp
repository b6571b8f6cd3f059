#include "console/signal_monitor.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

#include "i2c/register_access.h"

namespace console {

void FigureRange::add(double v) {
    if (count == 0) {
        min = max = v;
    } else {
        min = std::min(min, v);
        max = std::max(max, v);
    }
    sum += v;
    ++count;
}

std::optional<double> FigureRange::mean() const {
    if (count == 0) return std::nullopt;
    return sum / count;
}

std::optional<double> SignalSummary::errorRate() const {
    if (counted == 0) return std::nullopt;
    return static_cast<double>(errors) / static_cast<double>(counted);
}

SignalMonitor::SignalMonitor(i2c::RegisterAccess& bus, std::uint8_t demodAddress)
    : bus_(bus), clock_(bus.clock()), reader_(bus, demodAddress), startTick_(clock_.tickCount()) {}

SignalSample SignalMonitor::Read() {
    SignalSample s;
    s.reading = reader_.Read();
    s.elapsedMs = static_cast<std::uint32_t>(clock_.tickCount() - startTick_);
    summary_.add(s.reading);
    return s;
}

void SignalSummary::add(const frontend::SignalReading& r) {
    ++readings;
    const bool isLocked = r.locked();
    if (isLocked) ++locked;
    if (lastLocked_ && !isLocked) ++lockLosses;
    lastLocked_ = isLocked;
    if (r.cnDb) cn.add(*r.cnDb);
    if (r.levelDbm) level.add(*r.levelDbm);
    if (r.errors) {
        packets = r.errors->packets;
        errors += r.errors->errors;
        counted += r.errors->counted;
        saturated = saturated || r.errors->saturated;
    }
}

std::optional<frontend::LockStages> SignalMonitor::WaitForLock(std::uint32_t timeoutMs) {
    const std::uint32_t start = clock_.tickCount();
    for (;;) {
        const std::optional<frontend::LockStages> stages = reader_.ReadLock();
        if (stages && stages->locked()) return stages;
        // A link that is gone will not lock.
        if (bus_.LinkLost()) return stages;
        if (static_cast<std::uint32_t>(clock_.tickCount() - start) >= timeoutMs) return stages;
        clock_.sleepMs(LockPollMs);
    }
}

namespace {

QString fixed(double v, int decimals) { return QString::number(v, 'f', decimals); }

QString withSign(double v, int decimals) { return (v >= 0 ? QStringLiteral("+") : QString()) + fixed(v, decimals); }

}  // namespace

QString LockText(const std::optional<frontend::LockStages>& stages) {
    if (!stages) return QStringLiteral("unread");
    if (stages->locked()) return QStringLiteral("locked");
    QStringList held;
    if (stages->carrier) held << QStringLiteral("carrier");
    if (stages->header) held << QStringLiteral("header");
    if (stages->fec) held << QStringLiteral("FEC");
    return held.isEmpty() ? QStringLiteral("no lock") : QStringLiteral("no lock: ") + held.join(QStringLiteral(", "));
}

QString SystemText(const frontend::SignalReading& r) {
    if (!r.system) return {};
    QString text = *r.system == frontend::DeliverySystem::DvbS2 ? QStringLiteral("DVB-S2") : QStringLiteral("DVB-S");
    if (r.modulation) {
        const std::string_view name = STV0903Signal::ModulationName(*r.modulation);
        text += QLatin1Char(' ') + QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
    }
    if (r.codeRate) text += QStringLiteral(" %1/%2").arg(r.codeRate->num).arg(r.codeRate->den);
    return text;
}

LevelBound LevelBoundOf(const frontend::SignalReading& r) {
    if (!r.levelBeyondTable || !r.levelDbm) return LevelBound::Exact;
    // Beyond the table the level is only known to lie past one of its ends.
    double lowest = 0;
    bool first = true;
    for (const STV0903Signal::LookupPoint& p : STV0903Signal::RfLevelTable.points) {
        const double dbm = p.real * STV0903Signal::RfLevelTable.unit;
        lowest = first ? dbm : std::min(lowest, dbm);
        first = false;
    }
    return *r.levelDbm <= lowest + 1e-9 ? LevelBound::AtMost : LevelBound::AtLeast;
}

QString LevelText(const frontend::SignalReading& r) {
    if (!r.levelDbm) return {};
    const LevelBound bound = LevelBoundOf(r);
    return (bound == LevelBound::AtMost ? QStringLiteral("< ") : bound == LevelBound::AtLeast ? QStringLiteral("> ") : QString()) +
           QString::number(*r.levelDbm, 'f', 1) + QStringLiteral(" dBm");
}

QString ErrorRateText(bool packets, double rate, bool saturated) {
    return (packets ? QStringLiteral("PER ") : QStringLiteral("BER ")) + (saturated ? QStringLiteral(">=") : QString()) +
           QString::number(rate, 'e', 1);
}

QString CnText(double db) { return QStringLiteral("C/N ") + fixed(db, 1) + QStringLiteral(" dB"); }
QString CarrierOffsetText(double khz) { return withSign(khz, 1) + QStringLiteral(" kHz"); }
QString SymbolRateText(double msps) { return fixed(msps, 3) + QStringLiteral(" Msym/s"); }
QString TsBitRateText(double mbit) { return fixed(mbit, 2) + QStringLiteral(" Mbit/s"); }

QStringList FigureTexts(const frontend::SignalReading& r) {
    QStringList parts;
    if (const QString system = SystemText(r); !system.isEmpty()) parts << system;
    if (r.levelDbm) parts << LevelText(r);
    if (r.cnDb) parts << CnText(*r.cnDb);
    if (r.errors) parts << ErrorRateText(r.errors->packets, r.errors->rate(), r.errors->saturated);
    if (r.carrierOffsetKhz) parts << CarrierOffsetText(*r.carrierOffsetKhz);
    if (r.symbolRateMsps) parts << SymbolRateText(*r.symbolRateMsps);
    return parts;
}

QString SignalLine(const SignalSample& s) {
    const frontend::SignalReading& r = s.reading;
    QStringList parts;
    parts << QStringLiteral("%1 s").arg(fixed(static_cast<double>(s.elapsedMs) / 1000.0, 1), 6);
    parts << LockText(r.stages).leftJustified(8);
    parts << FigureTexts(r);
    if (r.tsBitRateMbit) parts << TsBitRateText(*r.tsBitRateMbit);
    return parts.join(QStringLiteral("  "));
}

QString SignalSummaryLine(const SignalSummary& m) {
    QString line = QStringLiteral("monitor: %1 %2, locked in %3")
                       .arg(m.readings)
                       .arg(m.readings == 1 ? QStringLiteral("reading") : QStringLiteral("readings"))
                       .arg(m.locked);
    if (m.lockLosses == 1) line += QStringLiteral(", lock lost once");
    if (m.lockLosses > 1) line += QStringLiteral(", lock lost %1 times").arg(m.lockLosses);
    auto range = [](const FigureRange& f, const char* unit) {
        return fixed(f.min, 1) + QStringLiteral(" / ") + fixed(*f.mean(), 1) + QStringLiteral(" / ") + fixed(f.max, 1) +
               QLatin1Char(' ') + QString::fromLatin1(unit);
    };
    if (m.cn.count > 0) line += QStringLiteral(", C/N ") + range(m.cn, "dB");
    if (m.level.count > 0) line += QStringLiteral(", level ") + range(m.level, "dBm");
    if (m.cn.count > 0 || m.level.count > 0) line += QStringLiteral(" (min / mean / max)");
    if (const auto rate = m.errorRate()) line += QStringLiteral(", ") + ErrorRateText(m.packets, *rate, m.saturated);
    return line;
}

namespace {

QJsonValue optional(const std::optional<double>& v) { return v ? QJsonValue(*v) : QJsonValue(); }

QJsonObject rangeJson(const FigureRange& f) {
    if (f.count == 0) return {};
    return {{"min", f.min}, {"mean", *f.mean()}, {"max", f.max}};
}

}  // namespace

QJsonObject SignalReadingJson(const frontend::SignalReading& r) {
    QJsonObject o;
    o["locked"] = r.locked();
    if (r.stages)
        o["stages"] = QJsonObject{{"carrier", r.stages->carrier},
                                  {"header", r.stages->header},
                                  {"fec", r.stages->fec},
                                  {"ts", r.stages->ts}};
    else
        o["stages"] = QJsonValue();
    o["system"] = r.system ? QJsonValue(*r.system == frontend::DeliverySystem::DvbS2 ? "dvbs2" : "dvbs") : QJsonValue();
    if (r.modulation) {
        const std::string_view name = STV0903Signal::ModulationName(*r.modulation);
        o["modulation"] = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
    } else {
        o["modulation"] = QJsonValue();
    }
    o["codeRate"] = r.codeRate ? QJsonValue(QStringLiteral("%1/%2").arg(r.codeRate->num).arg(r.codeRate->den)) : QJsonValue();
    o["levelDbm"] = optional(r.levelDbm);
    o["levelBeyondTable"] = r.levelBeyondTable;
    o["cnDb"] = optional(r.cnDb);
    if (r.errors)
        o["errors"] = QJsonObject{{"kind", r.errors->packets ? "packets" : "bits"},
                                  {"errors", static_cast<double>(r.errors->errors)},
                                  {"counted", static_cast<double>(r.errors->counted)},
                                  {"rate", r.errors->rate()},
                                  {"saturated", r.errors->saturated}};
    else
        o["errors"] = QJsonValue();
    o["carrierOffsetKhz"] = optional(r.carrierOffsetKhz);
    o["symbolRateMsps"] = optional(r.symbolRateMsps);
    o["tsBitRateMbit"] = optional(r.tsBitRateMbit);
    return o;
}

QByteArray SignalJson(const SignalSample& s) {
    QJsonObject o = SignalReadingJson(s.reading);
    o["t"] = static_cast<double>(s.elapsedMs) / 1000.0;
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray SignalSummaryJson(const SignalSummary& m) {
    QJsonObject o{{"readings", m.readings},
                  {"locked", m.locked},
                  {"lockedThroughout", m.lockedThroughout()},
                  {"lockLosses", m.lockLosses}};
    o["cnDb"] = m.cn.count ? QJsonValue(rangeJson(m.cn)) : QJsonValue();
    o["levelDbm"] = m.level.count ? QJsonValue(rangeJson(m.level)) : QJsonValue();
    if (const auto rate = m.errorRate())
        o["errors"] = QJsonObject{{"kind", m.packets ? "packets" : "bits"},
                                  {"errors", static_cast<double>(m.errors)},
                                  {"counted", static_cast<double>(m.counted)},
                                  {"rate", *rate},
                                  {"saturated", m.saturated}};
    else
        o["errors"] = QJsonValue();
    return QJsonDocument(QJsonObject{{"summary", o}}).toJson(QJsonDocument::Compact);
}

}  // namespace console
