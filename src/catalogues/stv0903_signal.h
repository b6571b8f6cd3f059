// What the STV0903 tells about the signal it receives: the status and
// measurement registers of its demodulator path (the first path of the
// STV090x family, 0xF4xx and 0xF5xx) with their fields, the tables that turn
// its raw noise and AGC readings into decibels, and the fixed-point figures
// that scale with its master clock. Facts of the chip only: both the program
// (to read a signal) and the simulated board (to model one) build on them.
//
// Register fields, lock sequence, lookup tables and the clock formula are
// those of the Linux kernel's stv090x driver (drivers/media/dvb-frontends/
// stv090x.c and stv090x_reg.h); where another source was needed, the entry
// says which.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace STV0903Signal {

// ---------------------------------------------------------------------------
// Registers

inline constexpr std::uint16_t ISYMB = 0xF402;        // I of the current symbol, signed
inline constexpr std::uint16_t QSYMB = 0xF403;        // Q of the same symbol
inline constexpr std::uint16_t AGCIQIN1 = 0xF40E;     // AGC of the I/Q input, high byte
inline constexpr std::uint16_t AGCIQIN0 = 0xF40F;
inline constexpr std::uint16_t DMDMODCOD = 0xF411;
inline constexpr std::uint16_t DSTATUS = 0xF412;
inline constexpr std::uint16_t DMDSTATE = 0xF41B;
inline constexpr std::uint16_t CFR2 = 0xF44C;         // carrier offset, 24 bits signed
inline constexpr std::uint16_t CFR1 = 0xF44D;
inline constexpr std::uint16_t CFR0 = 0xF44E;
inline constexpr std::uint16_t SFR3 = 0xF464;         // symbol rate, 32 bits
inline constexpr std::uint16_t SFR2 = 0xF465;
inline constexpr std::uint16_t SFR1 = 0xF466;
inline constexpr std::uint16_t SFR0 = 0xF467;
inline constexpr std::uint16_t NNOSPLHT1 = 0xF484;    // DVB-S2 noise on the PL headers, normalised
inline constexpr std::uint16_t NNOSPLHT0 = 0xF485;
inline constexpr std::uint16_t NOSDATAT1 = 0xF488;    // DVB-S noise on the data, not normalised
inline constexpr std::uint16_t NOSDATAT0 = 0xF489;
inline constexpr std::uint16_t VITCURPUN = 0xF53A;
inline constexpr std::uint16_t VSTATUSVIT = 0xF53E;
inline constexpr std::uint16_t PDELSTATUS1 = 0xF569;
inline constexpr std::uint16_t TSSTATUS = 0xF581;
inline constexpr std::uint16_t TSBITRATE1 = 0xF583;
inline constexpr std::uint16_t TSBITRATE0 = 0xF584;
inline constexpr std::uint16_t ERRCTRL2 = 0xF59C;     // a write restarts error counter 2
inline constexpr std::uint16_t ERRCNT22 = 0xF59D;     // error counter 2, 23 bits
inline constexpr std::uint16_t ERRCNT21 = 0xF59E;
inline constexpr std::uint16_t ERRCNT20 = 0xF59F;
inline constexpr std::uint16_t FBERCPT4 = 0xF5A8;     // what the counter looked at, 40 bits;
inline constexpr std::uint16_t FBERCPT3 = 0xF5A9;     // a write to FBERCPT4 restarts it
inline constexpr std::uint16_t FBERCPT2 = 0xF5AA;
inline constexpr std::uint16_t FBERCPT1 = 0xF5AB;
inline constexpr std::uint16_t FBERCPT0 = 0xF5AC;
inline constexpr std::uint16_t NCOARSE = 0xF1B3;
inline constexpr std::uint16_t SYNTCTRL = 0xF1B6;

// Whether the demodulator writes the register itself while it searches for
// and tracks a signal: every register above except ERRCTRL2, NCOARSE and
// SYNTCTRL. A value read there is a measurement, not what was written; the
// default image's DMDMODCOD and SFR3..0 are only where the search starts.
bool SetByDemodulator(std::uint16_t reg);

// A bit field of one register.
struct Field {
    std::uint16_t reg;
    std::uint8_t shift;
    std::uint8_t width;

    constexpr std::uint8_t mask() const { return static_cast<std::uint8_t>(((1u << width) - 1u) << shift); }
    constexpr std::uint8_t get(std::uint8_t value) const {
        return static_cast<std::uint8_t>((value & mask()) >> shift);
    }
    // value with this field replaced by field.
    constexpr std::uint8_t put(std::uint8_t value, unsigned field) const {
        return static_cast<std::uint8_t>((value & ~mask()) | ((field << shift) & mask()));
    }
};

inline constexpr Field CAR_LOCK{DSTATUS, 7, 1};           // the carrier loop holds
inline constexpr Field TMGLOCK_QUALITY{DSTATUS, 5, 2};    // 3: timing locked
inline constexpr Field LOCK_DEFINITIF{DSTATUS, 3, 1};     // the demodulator's lock is final
inline constexpr Field HEADER_MODE{DMDSTATE, 5, 2};       // see HeaderMode
inline constexpr Field DEMOD_MODCOD{DMDMODCOD, 2, 5};     // DVB-S2 MODCOD found
inline constexpr Field DEMOD_TYPE{DMDMODCOD, 0, 2};       // bit 0 pilots, bit 1 short frames
inline constexpr Field PKTDELIN_LOCK{PDELSTATUS1, 1, 1};  // DVB-S2 packet delineator locked
inline constexpr Field FIRST_LOCK{PDELSTATUS1, 0, 1};
inline constexpr Field PRFVIT{VSTATUSVIT, 4, 1};          // DVB-S puncture rate found
inline constexpr Field LOCKEDVIT{VSTATUSVIT, 3, 1};       // DVB-S Viterbi decoder locked
inline constexpr Field VIT_CURPUN{VITCURPUN, 0, 5};       // DVB-S code rate, see ViterbiRate
inline constexpr Field TSFIFO_LINEOK{TSSTATUS, 7, 1};     // the transport stream flows
inline constexpr Field ERR_CNT2{ERRCNT22, 0, 7};          // top 7 bits of the 23-bit count
inline constexpr Field M_DIV{NCOARSE, 0, 8};
inline constexpr Field SELX1RATIO{SYNTCTRL, 5, 1};

// DMDSTATE's HEADER_MODE: how far the search got.
enum class HeaderMode : std::uint8_t {
    Searching = 0,
    FirstPlHeader = 1,  // a DVB-S2 physical-layer header seen, nothing certain yet
    DvbS2 = 2,
    DvbS = 3,
};

// Error counter 2 counts up to here and stays.
inline constexpr std::uint32_t ErrorCounterMax = 0x7FFFFF;
inline constexpr std::uint64_t BerMeterCountMax = 0xFFFFFFFFFFull;

// ---------------------------------------------------------------------------
// Master clock: (M_DIV + 1) x crystal / (SELX1RATIO ? 4 : 6).

inline constexpr double NimCrystalHz = 27e6;
// NCOARSE and SYNTCTRL as the default register image writes them.
inline constexpr std::uint8_t ImageNcoarse = 0x13;
inline constexpr std::uint8_t ImageSyntctrl = 0x22;

constexpr double MasterClockHz(std::uint8_t ncoarse, std::uint8_t syntctrl, double crystalHz) {
    return (M_DIV.get(ncoarse) + 1.0) * crystalHz / (SELX1RATIO.get(syntctrl) ? 4.0 : 6.0);
}
inline constexpr double DefaultMasterClockHz = MasterClockHz(ImageNcoarse, ImageSyntctrl, NimCrystalHz);
static_assert(DefaultMasterClockHz == 135e6);

// Symbol rate: SFR3..0 x master clock / 2^32.
double SymbolRateHz(std::uint32_t sfr, double masterClockHz = DefaultMasterClockHz);
// The nearest SFR for a rate, 0 to 2^32 - 1.
std::uint32_t SfrForSymbolRate(double symbolsPerSecond, double masterClockHz = DefaultMasterClockHz);

// Carrier offset: CFR2..0 as a signed 24-bit number x master clock / 2^24.
double CarrierOffsetHz(std::uint32_t cfr24, double masterClockHz = DefaultMasterClockHz);
// The nearest CFR2..0 (24 bits, two's complement) for an offset; offsets
// beyond the field's reach (half the master clock) end at its limits.
std::uint32_t CfrForCarrierOffset(double hz, double masterClockHz = DefaultMasterClockHz);

// TS bit rate: TSBITRATE1..0 x master clock / 16384. The stv090x driver does
// not read these registers; the formula is the one the kernel's stv0900
// driver (stv0900_core.c) uses for the same registers of the same family.
double TsBitRate(std::uint16_t raw, double masterClockHz = DefaultMasterClockHz);
std::uint16_t TsBitRateRaw(double bitsPerSecond, double masterClockHz = DefaultMasterClockHz);

// ---------------------------------------------------------------------------
// Lookup tables: a raw reading against a figure, in the driver's order.

struct LookupPoint {
    int raw;
    int real;  // in the table's unit
};

struct LookupTable {
    std::span<const LookupPoint> points;
    double unit;  // what one step of `real` is worth: 0.1 dB, 1 dBm
};

// C/N in tenths of dB against the mean of 16 readings of NOSDATAT1/0
// (DVB-S and DSS) or NNOSPLHT1/0 (DVB-S2), and the RF level in dBm against
// AGCIQIN1/0.
extern const LookupTable DvbsCnTable;
extern const LookupTable Dvbs2CnTable;
extern const LookupTable RfLevelTable;

// The figure for a raw reading: linear between the table's points; beyond
// its first or last point the figure of that point, as the driver does.
double Lookup(const LookupTable& table, double raw);
// Whether raw lies within the table's points (its ends included), so that
// Lookup did not have to stop at an end.
bool WithinTable(const LookupTable& table, double raw);
// The raw reading that gives a figure: linear between the points, the raw
// value of the nearer end beyond them.
double InverseLookup(const LookupTable& table, double figure);

// How many noise readings the C/N tables expect averaged.
inline constexpr int NoiseReadingsAveraged = 16;

// ---------------------------------------------------------------------------
// Modulations and code rates

enum class Modulation : std::uint8_t { Qpsk, Psk8, Apsk16, Apsk32 };

struct CodeRate {
    std::uint8_t num = 0;
    std::uint8_t den = 0;
    friend constexpr bool operator==(CodeRate, CodeRate) = default;
    constexpr double value() const { return den ? static_cast<double>(num) / den : 0.0; }
};

// A DVB-S2 MODCOD as DMDMODCOD's DEMOD_MODCOD numbers it (the numbering of
// the DVB-S2 standard; 0 is a dummy frame, 29 to 31 are reserved).
struct Dvbs2Modcod {
    std::uint8_t code;
    Modulation modulation;
    CodeRate rate;
};

inline constexpr Dvbs2Modcod Dvbs2Modcods[] = {
    {1, Modulation::Qpsk, {1, 4}},    {2, Modulation::Qpsk, {1, 3}},    {3, Modulation::Qpsk, {2, 5}},
    {4, Modulation::Qpsk, {1, 2}},    {5, Modulation::Qpsk, {3, 5}},    {6, Modulation::Qpsk, {2, 3}},
    {7, Modulation::Qpsk, {3, 4}},    {8, Modulation::Qpsk, {4, 5}},    {9, Modulation::Qpsk, {5, 6}},
    {10, Modulation::Qpsk, {8, 9}},   {11, Modulation::Qpsk, {9, 10}},  {12, Modulation::Psk8, {3, 5}},
    {13, Modulation::Psk8, {2, 3}},   {14, Modulation::Psk8, {3, 4}},   {15, Modulation::Psk8, {5, 6}},
    {16, Modulation::Psk8, {8, 9}},   {17, Modulation::Psk8, {9, 10}},  {18, Modulation::Apsk16, {2, 3}},
    {19, Modulation::Apsk16, {3, 4}}, {20, Modulation::Apsk16, {4, 5}}, {21, Modulation::Apsk16, {5, 6}},
    {22, Modulation::Apsk16, {8, 9}}, {23, Modulation::Apsk16, {9, 10}}, {24, Modulation::Apsk32, {3, 4}},
    {25, Modulation::Apsk32, {4, 5}}, {26, Modulation::Apsk32, {5, 6}}, {27, Modulation::Apsk32, {8, 9}},
    {28, Modulation::Apsk32, {9, 10}},
};

std::optional<Dvbs2Modcod> Dvbs2ModcodFromCode(std::uint8_t code);
std::optional<Dvbs2Modcod> Dvbs2ModcodFor(Modulation modulation, CodeRate rate);

// DVB-S code rates as VITCURPUN's VIT_CURPUN numbers them.
struct PunctureRate {
    std::uint8_t curpun;
    CodeRate rate;
};

inline constexpr PunctureRate PunctureRates[] = {
    {13, {1, 2}}, {18, {2, 3}}, {21, {3, 4}}, {24, {5, 6}}, {25, {6, 7}}, {26, {7, 8}},
};

std::optional<CodeRate> ViterbiRate(std::uint8_t curpun);
std::optional<std::uint8_t> CurpunFor(CodeRate rate);

// "QPSK", "8PSK", "16APSK", "32APSK".
std::string_view ModulationName(Modulation modulation);

}  // namespace STV0903Signal
