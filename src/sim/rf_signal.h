// The signal at the simulated board's RF input: what the transponder sends
// (delivery system, MODCOD, symbol rate, carrier offset), how it arrives
// (level, C/N, bit error rate) and when the demodulator holds it. The
// demodulator's registers and the transport stream on channel B both follow
// it, so one object serves both channels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "catalogues/stv0903_signal.h"
#include "sim/option_text.h"
#include "usb/platform_services.h"

namespace sim {

enum class DeliverySystem : std::uint8_t { DvbS, DvbS2 };

// How the lock goes over time, counted from power-up.
enum class SignalCourse : std::uint8_t {
    Locked,      // locked from the start
    None,        // no signal at all: nothing to lock on
    LocksAfter,  // the signal is there; the demodulator holds it from afterMs on
    DropsAfter,  // locked until afterMs, then the signal is gone
};

struct TransponderModcod {
    STV0903Signal::Modulation modulation = STV0903Signal::Modulation::Qpsk;
    STV0903Signal::CodeRate rate{3, 4};
    friend bool operator==(const TransponderModcod&, const TransponderModcod&) = default;
};

struct SignalConditions {
    SignalCourse course = SignalCourse::Locked;
    std::uint32_t afterMs = 0;
    // As given on the command line; system() and modcod() settle what is left open.
    std::optional<DeliverySystem> givenSystem;
    std::optional<TransponderModcod> givenModcod;
    double cnDb = 10.0;
    double levelDbm = -40.0;
    double ber = 0.0;  // bit errors after the inner decoder
    double carrierOffsetKhz = 0.0;
    double symbolRateMsps = 27.5;

    // A MODCOD that only one system has decides the system; otherwise the
    // one given, DVB-S2 by default.
    DeliverySystem system() const;
    // QPSK 3/4 unless given.
    TransponderModcod modcod() const;
    // The transport stream's bit rate that the symbol rate carries with this
    // MODCOD: DVB-S with its 204-byte Reed-Solomon packets, DVB-S2 in normal
    // frames without pilots.
    double tsBitRate() const;
    // What error counter 2 counts errors of per second, and the share of them
    // in error: bits on DVB-S, 188-byte packets on DVB-S2.
    double countedPerSecond() const;
    double countedErrorRate() const;
};

// Whether a system carries the MODCOD.
bool carries(DeliverySystem system, const TransponderModcod& modcod);

// --signal=locked|none|locks-after=MS|drops-after=MS, --system=dvbs|dvbs2,
// --modcod=MOD-R/R, --cn=DB, --level=DBM, --ber=X, --carrier-offset=KHZ,
// --symbol-rate=MSPS. A MODCOD that the system given cannot carry is refused
// when the second of the two arrives.
OptionParse parseSignalOption(const std::string& arg, SignalConditions& conditions, std::string* error);
std::string signalOptionsHelp();

// The demodulator's lock stages at one moment.
struct LockStages {
    bool carrier = false;  // carrier and timing loops hold
    bool header = false;   // the delivery system is known, the lock is final
    bool fec = false;      // Viterbi decoder or packet delineator locked
    bool ts = false;       // the transport stream flows
};

class RfInput {
public:
    // Power-up is now, on this clock.
    RfInput(const SignalConditions& conditions, usb::Clock& clock);

    const SignalConditions& conditions() const { return conditions_; }
    // Milliseconds since power-up.
    double nowMs();

    LockStages stagesAt(double ms) const;
    // Whether a carrier reaches the input (the AGC and noise see it).
    bool carrierPresentAt(double ms) const;
    // How long the transport stream flowed between two moments.
    double streamingMsBetween(double fromMs, double toMs) const;

    // Acquisition ends with the stream: the carrier locks this long before
    // it, the header and the FEC in between.
    static constexpr double AcquisitionMs = 30.0;

private:
    SignalConditions conditions_;
    usb::Clock& clock_;
    // Timed on the performance counter where there is one, else on the
    // tick count, which wraps and so is added up.
    bool useCounter_;
    std::int64_t counterStart_ = 0;
    std::uint32_t lastTick_ = 0;
    double tickMs_ = 0;
};

}  // namespace sim
