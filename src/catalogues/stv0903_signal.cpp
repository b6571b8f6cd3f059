#include "catalogues/stv0903_signal.h"

#include <cmath>

namespace STV0903Signal {

namespace {

// DVB-S (and DSS) C/N against the mean NOSDATAT1/0 reading, in tenths of dB:
// the kernel's stv090x_s1cn_tab.
constexpr LookupPoint DvbsCn[] = {
    {8917, 0},   {8801, 5},   {8667, 10},  {8522, 15},  {8355, 20},  {8175, 25},  {7979, 30},
    {7763, 35},  {7530, 40},  {7282, 45},  {7026, 50},  {6781, 55},  {6514, 60},  {6241, 65},
    {5965, 70},  {5690, 75},  {5424, 80},  {5161, 85},  {4902, 90},  {4654, 95},  {4417, 100},
    {4186, 105}, {3968, 110}, {3757, 115}, {3558, 120}, {3366, 125}, {3185, 130}, {3012, 135},
    {2850, 140}, {2698, 145}, {2550, 150}, {2283, 160}, {2042, 170}, {1827, 180}, {1636, 190},
    {1466, 200}, {1315, 210}, {1181, 220}, {1064, 230}, {960, 240},  {869, 250},  {792, 260},
    {724, 270},  {665, 280},  {616, 290},  {573, 300},  {537, 310},  {507, 320},  {483, 330},
    {398, 400},  {381, 450},  {377, 500},
};

// DVB-S2 C/N against the mean NNOSPLHT1/0 reading, in tenths of dB: the
// kernel's stv090x_s2cn_tab.
constexpr LookupPoint Dvbs2Cn[] = {
    {13348, -30}, {12640, -20}, {11883, -10}, {11101, 0},   {10718, 5},   {10339, 10},  {9947, 15},
    {9552, 20},   {9183, 25},   {8799, 30},   {8422, 35},   {8062, 40},   {7707, 45},   {7353, 50},
    {7025, 55},   {6684, 60},   {6331, 65},   {6036, 70},   {5727, 75},   {5437, 80},   {5164, 85},
    {4902, 90},   {4653, 95},   {4408, 100},  {4187, 105},  {3961, 110},  {3751, 115},  {3558, 120},
    {3368, 125},  {3191, 130},  {3017, 135},  {2862, 140},  {2710, 145},  {2565, 150},  {2300, 160},
    {2058, 170},  {1849, 180},  {1663, 190},  {1495, 200},  {1349, 210},  {1222, 220},  {1110, 230},
    {1011, 240},  {925, 250},   {853, 260},   {789, 270},   {734, 280},   {690, 290},   {650, 300},
    {619, 310},   {593, 320},   {571, 330},   {498, 400},   {484, 450},   {481, 500},
};

// RF level in dBm against AGCIQIN1/0: the kernel's stv090x_rf_tab, except at
// -65 dBm. There the stv090x table says 0xA14F, which breaks the table's
// falling order (it lies between 0x210D and 0x07AA) and is a slip of the pen:
// the kernel's stv0910 driver carries the same table with 0x114F.
constexpr LookupPoint RfLevel[] = {
    {0xCAA1, -5},  {0xC229, -10}, {0xBB08, -15}, {0xB4BC, -20}, {0xAD5A, -25},
    {0xA298, -30}, {0x98A8, -35}, {0x8389, -40}, {0x59BE, -45}, {0x3A14, -50},
    {0x2D11, -55}, {0x210D, -60}, {0x114F, -65}, {0x07AA, -70},
};

// Every table runs one way in raw and the other in figure, and never flat.
constexpr bool strictlyFalling(std::span<const LookupPoint> points) {
    for (std::size_t i = 1; i < points.size(); ++i)
        if (!(points[i].raw < points[i - 1].raw && points[i].real != points[i - 1].real)) return false;
    return true;
}
constexpr bool figureRising(std::span<const LookupPoint> points) {
    for (std::size_t i = 1; i < points.size(); ++i)
        if (points[i].real <= points[i - 1].real) return false;
    return true;
}
constexpr bool figureFalling(std::span<const LookupPoint> points) {
    for (std::size_t i = 1; i < points.size(); ++i)
        if (points[i].real >= points[i - 1].real) return false;
    return true;
}
static_assert(strictlyFalling(DvbsCn) && figureRising(DvbsCn));
static_assert(strictlyFalling(Dvbs2Cn) && figureRising(Dvbs2Cn));
static_assert(strictlyFalling(RfLevel) && figureFalling(RfLevel));

constexpr double TwoTo32 = 4294967296.0;
constexpr double TwoTo24 = 16777216.0;

// Linear between a and b at x, on the axis given by key.
template <typename Key, typename Value>
double interpolate(const LookupPoint& a, const LookupPoint& b, double x, Key key, Value value) {
    const double t = (x - key(a)) / (key(b) - key(a));
    return value(a) + t * (value(b) - value(a));
}

}  // namespace

const LookupTable DvbsCnTable{DvbsCn, 0.1};
const LookupTable Dvbs2CnTable{Dvbs2Cn, 0.1};
const LookupTable RfLevelTable{RfLevel, 1.0};

bool SetByDemodulator(std::uint16_t reg) {
    static constexpr std::uint16_t Measured[] = {
        ISYMB,    QSYMB,    AGCIQIN1,  AGCIQIN0,  DMDMODCOD,  DSTATUS,  DMDSTATE,    CFR2,
        CFR1,     CFR0,     SFR3,      SFR2,      SFR1,       SFR0,     NNOSPLHT1,   NNOSPLHT0,
        NOSDATAT1, NOSDATAT0, VITCURPUN, VSTATUSVIT, PDELSTATUS1, TSSTATUS, TSBITRATE1, TSBITRATE0,
        ERRCNT22, ERRCNT21, ERRCNT20,  FBERCPT4,  FBERCPT3,   FBERCPT2, FBERCPT1,    FBERCPT0,
    };
    for (std::uint16_t r : Measured)
        if (r == reg) return true;
    return false;
}

double SymbolRateHz(std::uint32_t sfr, double masterClockHz) {
    return static_cast<double>(sfr) * masterClockHz / TwoTo32;
}

std::uint32_t SfrForSymbolRate(double symbolsPerSecond, double masterClockHz) {
    const double raw = std::round(symbolsPerSecond * TwoTo32 / masterClockHz);
    if (!(raw > 0)) return 0;
    if (raw >= TwoTo32 - 1) return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(raw);
}

double CarrierOffsetHz(std::uint32_t cfr24, double masterClockHz) {
    cfr24 &= 0xFFFFFF;
    const std::int32_t value = (cfr24 & 0x800000) ? static_cast<std::int32_t>(cfr24) - 0x1000000
                                                  : static_cast<std::int32_t>(cfr24);
    return value * masterClockHz / TwoTo24;
}

std::uint32_t CfrForCarrierOffset(double hz, double masterClockHz) {
    double raw = std::round(hz * TwoTo24 / masterClockHz);
    if (raw > 0x7FFFFF) raw = 0x7FFFFF;
    if (raw < -0x800000) raw = -0x800000;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(raw)) & 0xFFFFFF;
}

double TsBitRate(std::uint16_t raw, double masterClockHz) { return raw * masterClockHz / 16384.0; }

std::uint16_t TsBitRateRaw(double bitsPerSecond, double masterClockHz) {
    const double raw = std::round(bitsPerSecond * 16384.0 / masterClockHz);
    if (!(raw > 0)) return 0;
    if (raw > 0xFFFF) return 0xFFFF;
    return static_cast<std::uint16_t>(raw);
}

bool WithinTable(const LookupTable& table, double raw) {
    // The raw values fall along every table.
    return raw <= table.points.front().raw && raw >= table.points.back().raw;
}

double Lookup(const LookupTable& table, double raw) {
    const auto& p = table.points;
    if (raw >= p.front().raw) return p.front().real * table.unit;
    if (raw <= p.back().raw) return p.back().real * table.unit;
    std::size_t i = 1;
    while (p[i].raw > raw) ++i;  // p[i - 1].raw > raw >= p[i].raw
    return interpolate(p[i - 1], p[i], raw, [](const LookupPoint& q) { return double(q.raw); },
                       [](const LookupPoint& q) { return double(q.real); }) *
           table.unit;
}

double InverseLookup(const LookupTable& table, double figure) {
    const auto& p = table.points;
    const double x = figure / table.unit;
    const bool rising = p.back().real > p.front().real;
    auto before = [&](double a, double b) { return rising ? a < b : a > b; };
    if (!before(p.front().real, x)) return p.front().raw;
    if (!before(x, p.back().real)) return p.back().raw;
    std::size_t i = 1;
    while (before(p[i].real, x)) ++i;  // x lies between p[i - 1] and p[i]
    return interpolate(p[i - 1], p[i], x, [](const LookupPoint& q) { return double(q.real); },
                       [](const LookupPoint& q) { return double(q.raw); });
}

std::optional<Dvbs2Modcod> Dvbs2ModcodFromCode(std::uint8_t code) {
    for (const Dvbs2Modcod& m : Dvbs2Modcods)
        if (m.code == code) return m;
    return std::nullopt;
}

std::optional<Dvbs2Modcod> Dvbs2ModcodFor(Modulation modulation, CodeRate rate) {
    for (const Dvbs2Modcod& m : Dvbs2Modcods)
        if (m.modulation == modulation && m.rate == rate) return m;
    return std::nullopt;
}

std::optional<CodeRate> ViterbiRate(std::uint8_t curpun) {
    for (const PunctureRate& p : PunctureRates)
        if (p.curpun == curpun) return p.rate;
    return std::nullopt;
}

std::optional<std::uint8_t> CurpunFor(CodeRate rate) {
    for (const PunctureRate& p : PunctureRates)
        if (p.rate == rate) return p.curpun;
    return std::nullopt;
}

std::string_view ModulationName(Modulation modulation) {
    switch (modulation) {
    case Modulation::Qpsk: return "QPSK";
    case Modulation::Psk8: return "8PSK";
    case Modulation::Apsk16: return "16APSK";
    case Modulation::Apsk32: return "32APSK";
    }
    return "?";
}

}  // namespace STV0903Signal
