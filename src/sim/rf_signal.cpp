#include "sim/rf_signal.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "sim/option_text.h"

namespace sim {

using STV0903Signal::CodeRate;
using STV0903Signal::Modulation;

namespace {

constexpr double TsPacketBits = 188 * 8;

int bitsPerSymbol(Modulation m) {
    switch (m) {
    case Modulation::Qpsk: return 2;
    case Modulation::Psk8: return 3;
    case Modulation::Apsk16: return 4;
    case Modulation::Apsk32: return 5;
    }
    return 2;
}

// Information bits of a normal DVB-S2 frame (64800 coded bits) per code rate.
struct FrameSize {
    CodeRate rate;
    int kbch;
};
constexpr FrameSize NormalFrames[] = {
    {{1, 4}, 16008}, {{1, 3}, 21408}, {{2, 5}, 25728}, {{1, 2}, 32208},
    {{3, 5}, 38688}, {{2, 3}, 43040}, {{3, 4}, 48408}, {{4, 5}, 51648},
    {{5, 6}, 53840}, {{8, 9}, 57472}, {{9, 10}, 58192},
};
constexpr int Dvbs2FrameBits = 64800;
constexpr int BbHeaderBits = 80;
constexpr int PlHeaderSymbols = 90;

// DVB-S code rates; 6/7 is the chip's DSS rate, not a DVB-S one.
constexpr CodeRate DvbsRates[] = {{1, 2}, {2, 3}, {3, 4}, {5, 6}, {7, 8}};

OptionParse malformed(std::string* error, const std::string& why) {
    if (error) *error = why;
    return OptionParse::Malformed;
}

// "-12.5": an optional minus, digits, and at most one point with digits
// after it. With exponent, "1e-6" too.
bool parseNumber(const std::string& text, double* out, bool exponent = false) {
    std::size_t i = 0;
    if (i < text.size() && text[i] == '-') ++i;
    const std::size_t intStart = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == intStart) return false;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fracStart = ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        if (i == fracStart) return false;
    }
    if (exponent && i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
        const std::size_t expStart = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        if (i == expStart) return false;
    }
    if (i != text.size()) return false;
    *out = std::strtod(text.c_str(), nullptr);
    return std::isfinite(*out);
}

std::optional<TransponderModcod> parseModcod(const std::string& text) {
    const auto dash = text.find('-');
    const auto slash = text.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash) return std::nullopt;
    const std::string mod = text.substr(0, dash);
    TransponderModcod m;
    if (mod == "qpsk") m.modulation = Modulation::Qpsk;
    else if (mod == "8psk") m.modulation = Modulation::Psk8;
    else if (mod == "16apsk") m.modulation = Modulation::Apsk16;
    else if (mod == "32apsk") m.modulation = Modulation::Apsk32;
    else return std::nullopt;
    unsigned num = 0, den = 0;
    if (!parseDecimal(text.substr(dash + 1, slash - dash - 1), &num) ||
        !parseDecimal(text.substr(slash + 1), &den) || num == 0 || num >= den || den > 10)
        return std::nullopt;
    m.rate = CodeRate{static_cast<std::uint8_t>(num), static_cast<std::uint8_t>(den)};
    if (!carries(DeliverySystem::DvbS2, m) && !carries(DeliverySystem::DvbS, m)) return std::nullopt;
    return m;
}

std::string modcodText(const TransponderModcod& m) {
    std::string name(STV0903Signal::ModulationName(m.modulation));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return name + "-" + std::to_string(m.rate.num) + "/" + std::to_string(m.rate.den);
}

std::string systemText(DeliverySystem s) { return s == DeliverySystem::DvbS ? "dvbs" : "dvbs2"; }

// A number within [low, high]; why names the option and its unit.
OptionParse number(const std::string& value, double low, double high, double* out, std::string* error,
                   const std::string& why, bool exponent = false) {
    double v = 0;
    if (!parseNumber(value, &v, exponent) || v < low || v > high) return malformed(error, why + ", not '" + value + "'");
    *out = v;
    return OptionParse::Accepted;
}

}  // namespace

bool carries(DeliverySystem system, const TransponderModcod& modcod) {
    if (system == DeliverySystem::DvbS2)
        return STV0903Signal::Dvbs2ModcodFor(modcod.modulation, modcod.rate).has_value();
    if (modcod.modulation != Modulation::Qpsk) return false;
    return std::find(std::begin(DvbsRates), std::end(DvbsRates), modcod.rate) != std::end(DvbsRates);
}

DeliverySystem SignalConditions::system() const {
    if (givenSystem) return *givenSystem;
    if (givenModcod && !carries(DeliverySystem::DvbS2, *givenModcod)) return DeliverySystem::DvbS;
    return DeliverySystem::DvbS2;
}

TransponderModcod SignalConditions::modcod() const { return givenModcod.value_or(TransponderModcod{}); }

double SignalConditions::tsBitRate() const {
    const TransponderModcod m = modcod();
    const double rs = symbolRateMsps * 1e6;
    if (system() == DeliverySystem::DvbS) return rs * 2 * m.rate.value() * 188.0 / 204.0;
    const int kbch = std::find_if(std::begin(NormalFrames), std::end(NormalFrames),
                                  [&](const FrameSize& f) { return f.rate == m.rate; })->kbch;
    const double frameSymbols = static_cast<double>(Dvbs2FrameBits) / bitsPerSymbol(m.modulation) + PlHeaderSymbols;
    return rs * (kbch - BbHeaderBits) / frameSymbols;
}

double SignalConditions::countedPerSecond() const {
    if (system() == DeliverySystem::DvbS) return symbolRateMsps * 1e6 * 2 * modcod().rate.value();
    return tsBitRate() / TsPacketBits;
}

double SignalConditions::countedErrorRate() const {
    if (system() == DeliverySystem::DvbS) return ber;
    // A packet is in error when any of its bits is.
    return -std::expm1(TsPacketBits * std::log1p(-ber));
}

OptionParse parseSignalOption(const std::string& arg, SignalConditions& c, std::string* error) {
    std::string v;
    if (optionValue(arg, "--signal=", &v)) {
        std::string ms;
        SignalCourse course;
        if (v == "locked") course = SignalCourse::Locked;
        else if (v == "none") course = SignalCourse::None;
        else if (optionValue(v, "locks-after=", &ms)) course = SignalCourse::LocksAfter;
        else if (optionValue(v, "drops-after=", &ms)) course = SignalCourse::DropsAfter;
        else return malformed(error, "--signal wants locked, none, locks-after=MS or drops-after=MS, not '" + v + "'");
        std::uint32_t after = 0;
        if ((course == SignalCourse::LocksAfter || course == SignalCourse::DropsAfter) &&
            (!parseDecimal(ms, &after) || after > 86'400'000))
            return malformed(error, "--signal=" + v.substr(0, v.find('=')) +
                                        " wants milliseconds in decimal digits (0 to 86400000), not '" + ms + "'");
        c.course = course;
        c.afterMs = after;
        return OptionParse::Accepted;
    }
    if (optionValue(arg, "--system=", &v)) {
        DeliverySystem s;
        if (v == "dvbs") s = DeliverySystem::DvbS;
        else if (v == "dvbs2") s = DeliverySystem::DvbS2;
        else return malformed(error, "--system wants dvbs or dvbs2, not '" + v + "'");
        if (c.givenModcod && !carries(s, *c.givenModcod))
            return malformed(error, "--system=" + v + " does not carry --modcod=" + modcodText(*c.givenModcod));
        c.givenSystem = s;
        return OptionParse::Accepted;
    }
    if (optionValue(arg, "--modcod=", &v)) {
        const auto m = parseModcod(v);
        if (!m)
            return malformed(error, "--modcod wants a MODCOD such as qpsk-3/4 or 8psk-2/3 (see --help), not '" + v + "'");
        if (c.givenSystem && !carries(*c.givenSystem, *m))
            return malformed(error, "--modcod=" + v + " is not carried by --system=" + systemText(*c.givenSystem));
        c.givenModcod = m;
        return OptionParse::Accepted;
    }
    if (optionValue(arg, "--cn=", &v))
        return number(v, -10, 60, &c.cnDb, error, "--cn wants a C/N in dB from -10 to 60");
    if (optionValue(arg, "--level=", &v))
        return number(v, -100, 0, &c.levelDbm, error, "--level wants an RF level in dBm from -100 to 0");
    if (optionValue(arg, "--ber=", &v))
        return number(v, 0, 0.5, &c.ber, error, "--ber wants a bit error rate from 0 to 0.5, e.g. 1e-6", true);
    if (optionValue(arg, "--carrier-offset=", &v))
        return number(v, -10000, 10000, &c.carrierOffsetKhz, error,
                      "--carrier-offset wants kHz from -10000 to 10000");
    if (optionValue(arg, "--symbol-rate=", &v))
        return number(v, 1, 45, &c.symbolRateMsps, error, "--symbol-rate wants Msym/s from 1 to 45");
    return OptionParse::NotMine;
}

std::string signalOptionsHelp() {
    return "Signal at the demodulator's input on the simulated board:\n"
           "  --signal=locked           the demodulator holds the signal from power-up (default)\n"
           "  --signal=none             no signal: nothing locks, no transport stream\n"
           "  --signal=locks-after=MS   the demodulator locks MS milliseconds after power-up\n"
           "  --signal=drops-after=MS   locked until MS milliseconds after power-up, then the\n"
           "                            signal is gone\n"
           "  --system=dvbs|dvbs2       delivery system (default dvbs2, or the one the MODCOD\n"
           "                            needs)\n"
           "  --modcod=MOD-R/R          modulation and code rate (default qpsk-3/4): DVB-S2\n"
           "                            qpsk-1/4 1/3 2/5 1/2 3/5 2/3 3/4 4/5 5/6 8/9 9/10,\n"
           "                            8psk-3/5 2/3 3/4 5/6 8/9 9/10, 16apsk-2/3 3/4 4/5 5/6\n"
           "                            8/9 9/10, 32apsk-3/4 4/5 5/6 8/9 9/10; DVB-S qpsk-1/2\n"
           "                            2/3 3/4 5/6 7/8\n"
           "  --cn=DB                   carrier to noise ratio (default 10); the noise\n"
           "                            registers read what the chip's C/N tables turn into it\n"
           "  --level=DBM               RF level (default -40; the AGC table spans -70 to -5)\n"
           "  --ber=X                   bit error rate after the inner decoder (default 0);\n"
           "                            DVB-S counts bits in error, DVB-S2 packets in error\n"
           "  --carrier-offset=KHZ      carrier offset the demodulator finds (default 0)\n"
           "  --symbol-rate=MSPS        symbol rate in Msym/s (default 27.5)\n";
}

// ---------------------------------------------------------------------------

RfInput::RfInput(const SignalConditions& conditions, usb::Clock& clock)
    : conditions_(conditions), clock_(clock), useCounter_(clock.hasPerformanceCounter()) {
    if (useCounter_) counterStart_ = clock_.performanceCounter();
    else lastTick_ = clock_.tickCount();
}

double RfInput::nowMs() {
    if (useCounter_) {
        const std::int64_t frequency = clock_.performanceFrequency();
        const std::int64_t counts = clock_.performanceCounter() - counterStart_;
        return frequency > 0 ? static_cast<double>(counts) * 1000.0 / static_cast<double>(frequency) : 0.0;
    }
    const std::uint32_t now = clock_.tickCount();
    tickMs_ += static_cast<std::uint32_t>(now - lastTick_);
    lastTick_ = now;
    return tickMs_;
}

LockStages RfInput::stagesAt(double ms) const {
    const double t = conditions_.afterMs;
    switch (conditions_.course) {
    case SignalCourse::Locked: return {true, true, true, true};
    case SignalCourse::None: return {};
    case SignalCourse::DropsAfter: {
        const bool on = ms < t;
        return {on, on, on, on};
    }
    case SignalCourse::LocksAfter: {
        // The stages come one after the other; the stream flows at t.
        const double step = AcquisitionMs / 3;
        return {ms >= t - AcquisitionMs, ms >= t - 2 * step, ms >= t - step, ms >= t};
    }
    }
    return {};
}

bool RfInput::carrierPresentAt(double ms) const {
    switch (conditions_.course) {
    case SignalCourse::Locked:
    case SignalCourse::LocksAfter: return true;
    case SignalCourse::None: return false;
    case SignalCourse::DropsAfter: return ms < conditions_.afterMs;
    }
    return false;
}

double RfInput::streamingMsBetween(double fromMs, double toMs) const {
    double begin = 0, end = 0;  // the stream flows in [begin, end)
    switch (conditions_.course) {
    case SignalCourse::Locked: begin = 0; end = INFINITY; break;
    case SignalCourse::None: return 0;
    case SignalCourse::LocksAfter: begin = conditions_.afterMs; end = INFINITY; break;
    case SignalCourse::DropsAfter: begin = 0; end = conditions_.afterMs; break;
    }
    return std::max(0.0, std::min(toMs, end) - std::max(fromMs, begin));
}

}  // namespace sim
