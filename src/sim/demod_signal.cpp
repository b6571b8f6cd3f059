#include "sim/demod_signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <span>
#include <tuple>

namespace sim {

namespace S = STV0903Signal;
using S::Modulation;

namespace {

// The AGC with nothing at its input: all gain, a reading below the level
// table's lowest point.
constexpr std::uint16_t NoCarrierAgc = 0x0200;

// Ring radii of the DVB-S2 APSK constellations per code rate, the inner ring
// being 1.
struct Rings {
    S::CodeRate rate;
    double middle;
    double outer;  // 32APSK only
};
constexpr Rings Apsk16Rings[] = {
    {{2, 3}, 3.15, 0}, {{3, 4}, 2.85, 0}, {{4, 5}, 2.75, 0},
    {{5, 6}, 2.70, 0}, {{8, 9}, 2.60, 0}, {{9, 10}, 2.57, 0},
};
constexpr Rings Apsk32Rings[] = {
    {{3, 4}, 2.84, 5.27}, {{4, 5}, 2.72, 4.87}, {{5, 6}, 2.64, 4.64},
    {{8, 9}, 2.54, 4.33}, {{9, 10}, 2.53, 4.30},
};

const Rings& ringsFor(std::span<const Rings> table, S::CodeRate rate) {
    for (const Rings& r : table)
        if (r.rate == rate) return r;
    return table.front();
}

void ring(std::vector<std::pair<double, double>>& points, int count, double radius, double phase) {
    for (int k = 0; k < count; ++k) {
        const double a = phase + 2 * std::numbers::pi * k / count;
        points.emplace_back(radius * std::cos(a), radius * std::sin(a));
    }
}

std::uint8_t bit(bool on, const S::Field& f) { return on ? f.mask() : 0; }

std::uint8_t byteOf(std::uint64_t value, int index) { return static_cast<std::uint8_t>(value >> (8 * index)); }

std::int8_t clampToByte(double v) {
    return static_cast<std::int8_t>(std::clamp(std::lround(v), -128L, 127L));
}

}  // namespace

std::vector<std::pair<double, double>> DemodSignal::constellation(const SignalConditions& c) {
    const double pi = std::numbers::pi;
    const TransponderModcod m = c.modcod();
    std::vector<std::pair<double, double>> points;
    switch (c.system() == DeliverySystem::DvbS ? Modulation::Qpsk : m.modulation) {
    case Modulation::Qpsk: ring(points, 4, 1, pi / 4); break;
    case Modulation::Psk8: ring(points, 8, 1, 0); break;
    case Modulation::Apsk16: {
        const Rings& r = ringsFor(Apsk16Rings, m.rate);
        ring(points, 4, 1, pi / 4);
        ring(points, 12, r.middle, pi / 12);
        break;
    }
    case Modulation::Apsk32: {
        const Rings& r = ringsFor(Apsk32Rings, m.rate);
        ring(points, 4, 1, pi / 4);
        ring(points, 12, r.middle, pi / 12);
        ring(points, 16, r.outer, 0);
        break;
    }
    }
    double energy = 0;
    for (const auto& [i, q] : points) energy += i * i + q * q;
    const double scale = RmsAmplitude / std::sqrt(energy / static_cast<double>(points.size()));
    for (auto& [i, q] : points) {
        i *= scale;
        q *= scale;
    }
    return points;
}

DemodSignal::DemodSignal(std::shared_ptr<RfInput> rf, std::uint64_t seed)
    : rf_(std::move(rf)), random_(seed), points_(constellation(rf_->conditions())) {
    const double snr = std::pow(10.0, rf_->conditions().cnDb / 10.0);
    noiseSigma_ = RmsAmplitude / std::sqrt(2 * snr);
    // What the noise registers hold before anyone reads them: the settled
    // estimate, without the jitter of a fresh reading.
    const bool locked = rf_->stagesAt(0).header;
    const double cn = rf_->conditions().cnDb;
    auto settled = [&](const S::LookupTable& table) {
        return static_cast<std::uint16_t>(
            std::lround(locked ? S::InverseLookup(table, cn) : table.points.front().raw));
    };
    nnosplht_ = settled(S::Dvbs2CnTable);
    nosdatat_ = settled(S::DvbsCnTable);
}

std::uint16_t DemodSignal::noiseReading(const S::LookupTable& table, bool locked) {
    double raw = 0;
    if (locked) {
        std::normal_distribution<double> jitter(0.0, NoiseJitterDb);
        raw = S::InverseLookup(table, rf_->conditions().cnDb + jitter(random_));
    } else {
        // Without a final lock the estimator sees no structure: the worst
        // end of the table, scattering as any reading does.
        const double worst = table.points.front().raw;
        std::normal_distribution<double> jitter(0.0, UnlockedNoiseJitter * worst);
        raw = worst + jitter(random_);
    }
    return static_cast<std::uint16_t>(std::clamp(std::lround(raw), 0L, 0xFFFFL));
}

void DemodSignal::nextSymbol(bool locked) {
    double i = 0, q = 0, sigma = RmsAmplitude / std::numbers::sqrt2;
    if (locked) {
        std::uniform_int_distribution<std::size_t> pick(0, points_.size() - 1);
        std::tie(i, q) = points_[pick(random_)];
        sigma = noiseSigma_;
    }
    std::normal_distribution<double> noise(0.0, sigma);
    i += noise(random_);
    q += noise(random_);
    qLatch_ = clampToByte(q);
    iLatch_ = clampToByte(i);
}

std::uint64_t DemodSignal::counted(double fromMs, double toMs) const {
    const double n = rf_->streamingMsBetween(fromMs, toMs) / 1000.0 * rf_->conditions().countedPerSecond();
    return static_cast<std::uint64_t>(std::min(n, static_cast<double>(S::BerMeterCountMax)));
}

std::optional<std::uint8_t> DemodSignal::read(std::uint16_t reg, std::uint8_t stored) {
    // Most reads are of registers the signal does not touch: no time taken.
    if (!S::SetByDemodulator(reg)) return std::nullopt;
    const double now = rf_->nowMs();
    const LockStages st = rf_->stagesAt(now);
    const SignalConditions& c = rf_->conditions();
    const bool s2 = c.system() == DeliverySystem::DvbS2;
    switch (reg) {
    case S::DSTATUS:
        return static_cast<std::uint8_t>(bit(st.carrier, S::CAR_LOCK) |
                                         (st.carrier ? S::TMGLOCK_QUALITY.mask() : 0) |
                                         bit(st.header, S::LOCK_DEFINITIF));
    case S::DMDSTATE: {
        S::HeaderMode mode = S::HeaderMode::Searching;
        if (st.header) mode = s2 ? S::HeaderMode::DvbS2 : S::HeaderMode::DvbS;
        else if (st.carrier && s2) mode = S::HeaderMode::FirstPlHeader;
        return S::HEADER_MODE.put(stored, static_cast<unsigned>(mode));
    }
    case S::DMDMODCOD: {
        if (!st.header || !s2) return stored;
        const auto m = S::Dvbs2ModcodFor(c.modcod().modulation, c.modcod().rate);
        // Normal frames, no pilots; the manual-MODCOD bit stays the host's.
        return S::DEMOD_TYPE.put(S::DEMOD_MODCOD.put(stored, m->code), 0);
    }
    case S::VITCURPUN:
        if (!st.header || s2) return stored;
        return S::VIT_CURPUN.put(stored, *S::CurpunFor(c.modcod().rate));
    case S::VSTATUSVIT: {
        const std::uint8_t bits = s2 ? 0 : static_cast<std::uint8_t>(bit(st.header, S::PRFVIT) | bit(st.fec, S::LOCKEDVIT));
        return static_cast<std::uint8_t>((stored & ~(S::PRFVIT.mask() | S::LOCKEDVIT.mask())) | bits);
    }
    case S::PDELSTATUS1: {
        const bool on = s2 && st.fec;
        return static_cast<std::uint8_t>((stored & ~(S::PKTDELIN_LOCK.mask() | S::FIRST_LOCK.mask())) |
                                         bit(on, S::PKTDELIN_LOCK) | bit(on, S::FIRST_LOCK));
    }
    case S::TSSTATUS: return S::TSFIFO_LINEOK.put(stored, st.ts);
    case S::CFR2:
    case S::CFR1:
    case S::CFR0: {
        // The derotator holds the offset it found while the carrier loop
        // holds; otherwise the search goes on from where the host put it.
        if (!st.carrier) return stored;
        const std::uint32_t cfr = S::CfrForCarrierOffset(c.carrierOffsetKhz * 1e3);
        return byteOf(cfr, S::CFR0 - reg);
    }
    case S::SFR3:
    case S::SFR2:
    case S::SFR1:
    case S::SFR0: {
        if (!st.carrier) return stored;
        const std::uint32_t sfr = S::SfrForSymbolRate(c.symbolRateMsps * 1e6);
        return byteOf(sfr, S::SFR0 - reg);
    }
    case S::AGCIQIN1:
    case S::AGCIQIN0: {
        const std::uint16_t agc =
            rf_->carrierPresentAt(now)
                ? static_cast<std::uint16_t>(std::lround(S::InverseLookup(S::RfLevelTable, c.levelDbm)))
                : NoCarrierAgc;
        return byteOf(agc, reg == S::AGCIQIN1 ? 1 : 0);
    }
    case S::NNOSPLHT1:
        nnosplht_ = noiseReading(S::Dvbs2CnTable, st.header);
        return byteOf(nnosplht_, 1);
    case S::NNOSPLHT0: return byteOf(nnosplht_, 0);
    case S::NOSDATAT1:
        nosdatat_ = noiseReading(S::DvbsCnTable, st.header);
        return byteOf(nosdatat_, 1);
    case S::NOSDATAT0: return byteOf(nosdatat_, 0);
    case S::ISYMB:
        nextSymbol(st.carrier);
        return static_cast<std::uint8_t>(iLatch_);
    case S::QSYMB: return static_cast<std::uint8_t>(qLatch_);
    case S::TSBITRATE1:
    case S::TSBITRATE0: {
        const std::uint16_t raw = st.ts ? S::TsBitRateRaw(c.tsBitRate()) : 0;
        return byteOf(raw, reg == S::TSBITRATE1 ? 1 : 0);
    }
    case S::ERRCNT22: {
        const double errors = std::floor(static_cast<double>(counted(errorsSinceMs_, now)) * c.countedErrorRate());
        errorsLatch_ = static_cast<std::uint32_t>(std::min(errors, static_cast<double>(S::ErrorCounterMax)));
        return S::ERR_CNT2.put(0, errorsLatch_ >> 16);
    }
    case S::ERRCNT21: return byteOf(errorsLatch_, 1);
    case S::ERRCNT20: return byteOf(errorsLatch_, 0);
    case S::FBERCPT4:
        countLatch_ = counted(countSinceMs_, now);
        return byteOf(countLatch_, 4);
    case S::FBERCPT3: return byteOf(countLatch_, 3);
    case S::FBERCPT2: return byteOf(countLatch_, 2);
    case S::FBERCPT1: return byteOf(countLatch_, 1);
    case S::FBERCPT0: return byteOf(countLatch_, 0);
    default: return std::nullopt;
    }
}

void DemodSignal::written(std::uint16_t reg, std::uint8_t) {
    if (reg == S::ERRCTRL2) errorsSinceMs_ = rf_->nowMs();
    else if (reg == S::FBERCPT4) countSinceMs_ = rf_->nowMs();
}

}  // namespace sim
