#include "frontend/signal_reader.h"

#include <array>

#include "frontend/register_dump.h"
#include "i2c/register_access.h"

namespace frontend {

namespace S = STV0903Signal;
using i2c::RegisterOp;

namespace {

// The registers of one reading, in batch order. The status registers come
// first, so that the figures after them belong to the lock they tell of;
// each multi-byte figure starts with the byte that latches it.
constexpr std::array<std::uint16_t, 5> StatusRegisters{S::DSTATUS, S::DMDSTATE, S::PDELSTATUS1, S::VSTATUSVIT,
                                                       S::TSSTATUS};
constexpr std::array<std::uint16_t, 21> FigureRegisters{
    S::DMDMODCOD, S::VITCURPUN, S::AGCIQIN1, S::AGCIQIN0, S::CFR2,     S::CFR1,     S::CFR0,
    S::SFR3,      S::SFR2,      S::SFR1,     S::SFR0,     S::TSBITRATE1, S::TSBITRATE0, S::ERRCNT22,
    S::ERRCNT21,  S::ERRCNT20,  S::FBERCPT4, S::FBERCPT3, S::FBERCPT2, S::FBERCPT1, S::FBERCPT0,
};

// The reads of a batch by register, to decode it.
class Batch {
public:
    void read(std::uint16_t reg) { ops_.push_back(RegisterOp::read(reg)); }
    void write(std::uint16_t reg, std::uint8_t value) { ops_.push_back(RegisterOp::write(reg, value)); }
    void send(i2c::RegisterAccess& bus, std::uint8_t address) { bus.Transfer(address, ops_); }

    // The value read from reg (its first read in the batch).
    std::optional<std::uint8_t> value(std::uint16_t reg) const {
        for (const RegisterOp& op : ops_)
            if (op.kind == RegisterOp::Kind::Read && op.reg == reg) return op.ok ? std::optional(op.value) : std::nullopt;
        return std::nullopt;
    }
    // Several registers as one big-endian number, if every read came back.
    std::optional<std::uint64_t> number(std::initializer_list<std::uint16_t> regs) const {
        std::uint64_t v = 0;
        for (std::uint16_t reg : regs) {
            const auto byte = value(reg);
            if (!byte) return std::nullopt;
            v = v << 8 | *byte;
        }
        return v;
    }
    const std::vector<RegisterOp>& ops() const { return ops_; }

private:
    std::vector<RegisterOp> ops_;
};

std::optional<LockStages> decodeStages(const Batch& b, std::optional<DeliverySystem>* system) {
    const auto dstatus = b.value(S::DSTATUS), dmdstate = b.value(S::DMDSTATE), pdel = b.value(S::PDELSTATUS1),
               vit = b.value(S::VSTATUSVIT), ts = b.value(S::TSSTATUS);
    if (!dstatus || !dmdstate || !pdel || !vit || !ts) return std::nullopt;
    const auto mode = static_cast<S::HeaderMode>(S::HEADER_MODE.get(*dmdstate));
    *system = mode == S::HeaderMode::DvbS2 ? std::optional(DeliverySystem::DvbS2)
              : mode == S::HeaderMode::DvbS ? std::optional(DeliverySystem::DvbS)
                                             : std::nullopt;
    LockStages st;
    st.carrier = S::CAR_LOCK.get(*dstatus);
    st.header = system->has_value() && S::LOCK_DEFINITIF.get(*dstatus);
    st.fec = st.header && (*system == DeliverySystem::DvbS2 ? S::PKTDELIN_LOCK.get(*pdel) : S::LOCKEDVIT.get(*vit));
    st.ts = st.fec && S::TSFIFO_LINEOK.get(*ts);
    return st;
}

// The noise registers of a system, high byte (which latches the pair) first.
std::pair<std::uint16_t, std::uint16_t> noiseRegisters(DeliverySystem system) {
    return system == DeliverySystem::DvbS2 ? std::pair(S::NNOSPLHT1, S::NNOSPLHT0) : std::pair(S::NOSDATAT1, S::NOSDATAT0);
}

void queueNoise(Batch& b, DeliverySystem system) {
    const auto [high, low] = noiseRegisters(system);
    for (int k = 0; k < S::NoiseReadingsAveraged; ++k) {
        b.read(high);
        b.read(low);
    }
}

// The mean of the noise readings of a batch, from the index of its first
// noise read on; none when any read failed.
std::optional<double> meanNoise(const Batch& b, std::size_t first) {
    const auto& ops = b.ops();
    if (ops.size() < first + 2 * S::NoiseReadingsAveraged) return std::nullopt;
    double sum = 0;
    for (int k = 0; k < S::NoiseReadingsAveraged; ++k) {
        const RegisterOp& high = ops[first + 2 * k];
        const RegisterOp& low = ops[first + 2 * k + 1];
        if (!high.ok || !low.ok) return std::nullopt;
        sum += high.value << 8 | low.value;
    }
    return sum / S::NoiseReadingsAveraged;
}

}  // namespace

SignalReader::SignalReader(i2c::RegisterAccess& bus, std::uint8_t demodAddress)
    : bus_(bus), address_(demodAddress) {}

std::optional<LockStages> SignalReader::ReadLock() {
    Batch b;
    for (std::uint16_t reg : StatusRegisters) b.read(reg);
    b.send(bus_, address_);
    std::optional<DeliverySystem> system;
    return decodeStages(b, &system);
}

SignalReading SignalReader::Read() {
    SignalReading r;
    Batch b;
    for (std::uint16_t reg : StatusRegisters) b.read(reg);
    for (std::uint16_t reg : FigureRegisters) b.read(reg);
    // Restart both counters for the next interval, as the chip's
    // configuration stands in the default image.
    b.write(S::FBERCPT4, 0);
    b.write(S::ERRCTRL2, ImageValue(S::ERRCTRL2, address_).value_or(0));
    const std::size_t noiseAt = b.ops().size();
    const std::optional<DeliverySystem> guess = lastSystem_;
    if (guess) queueNoise(b, *guess);
    b.send(bus_, address_);
    r.batches = 1;

    std::optional<DeliverySystem> system;
    r.stages = decodeStages(b, &system);
    lastSystem_ = r.stages && r.stages->header ? system : std::nullopt;

    if (const auto agc = b.number({S::AGCIQIN1, S::AGCIQIN0})) {
        r.levelDbm = S::Lookup(S::RfLevelTable, static_cast<double>(*agc));
        r.levelBeyondTable = !S::WithinTable(S::RfLevelTable, static_cast<double>(*agc));
    }
    if (!r.stages) return r;
    const LockStages& st = *r.stages;

    if (st.header) {
        r.system = system;
        if (*system == DeliverySystem::DvbS2) {
            if (const auto v = b.value(S::DMDMODCOD))
                if (const auto m = S::Dvbs2ModcodFromCode(S::DEMOD_MODCOD.get(*v))) {
                    r.modulation = m->modulation;
                    r.codeRate = m->rate;
                }
        } else if (const auto v = b.value(S::VITCURPUN)) {
            if (const auto rate = S::ViterbiRate(S::VIT_CURPUN.get(*v))) {
                r.modulation = S::Modulation::Qpsk;
                r.codeRate = rate;
            }
        }
    }
    if (st.carrier) {
        if (const auto cfr = b.number({S::CFR2, S::CFR1, S::CFR0}))
            r.carrierOffsetKhz = S::CarrierOffsetHz(static_cast<std::uint32_t>(*cfr)) / 1e3;
        if (const auto sfr = b.number({S::SFR3, S::SFR2, S::SFR1, S::SFR0}))
            r.symbolRateMsps = S::SymbolRateHz(static_cast<std::uint32_t>(*sfr)) / 1e6;
    }
    if (st.ts) {
        if (const auto raw = b.number({S::TSBITRATE1, S::TSBITRATE0}))
            r.tsBitRateMbit = S::TsBitRate(static_cast<std::uint16_t>(*raw)) / 1e6;
        const auto errors = b.number({S::ERRCNT22, S::ERRCNT21, S::ERRCNT20});
        const auto counted = b.number({S::FBERCPT4, S::FBERCPT3, S::FBERCPT2, S::FBERCPT1, S::FBERCPT0});
        if (errors && counted && *counted > 0) {
            ErrorCount e;
            e.packets = *system == DeliverySystem::DvbS2;
            // The top bit of ERRCNT22 is not part of the count.
            e.errors = static_cast<std::uint32_t>(*errors) & S::ErrorCounterMax;
            e.counted = *counted;
            e.saturated = e.errors == S::ErrorCounterMax;
            r.errors = e;
        }
    }
    if (st.header) {
        // The noise estimators are only meaningful once the lock is final.
        std::optional<double> noise;
        if (guess == system) {
            noise = meanNoise(b, noiseAt);
        } else {
            Batch n;
            queueNoise(n, *system);
            n.send(bus_, address_);
            ++r.batches;
            noise = meanNoise(n, 0);
        }
        if (noise)
            r.cnDb = S::Lookup(*system == DeliverySystem::DvbS2 ? S::Dvbs2CnTable : S::DvbsCnTable, *noise);
    }
    return r;
}

std::vector<IqPoint> SignalReader::ReadConstellation(std::size_t count) {
    Batch b;
    for (std::size_t k = 0; k < count; ++k) {
        b.read(S::ISYMB);
        b.read(S::QSYMB);
    }
    b.send(bus_, address_);
    std::vector<IqPoint> points;
    points.reserve(count);
    const auto& ops = b.ops();
    for (std::size_t k = 0; k + 1 < ops.size(); k += 2)
        if (ops[k].ok && ops[k + 1].ok)
            points.push_back({static_cast<std::int8_t>(ops[k].value), static_cast<std::int8_t>(ops[k + 1].value)});
    return points;
}

}  // namespace frontend
