// What the demodulator makes of the signal at its input, read from its
// status and measurement registers: lock stages, delivery system with
// modulation and code rate, RF level, C/N, bit or packet error rate, carrier
// offset, symbol rate, TS bit rate, and the I/Q points of the constellation.
// Each reading is one batch of register transactions where it can be, so
// that a queued engine serves it at bus speed. A figure that cannot be had
// (no lock for it, a failed read) is absent, never zero.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "catalogues/stv0903_signal.h"

namespace i2c {
class RegisterAccess;
}

namespace frontend {

enum class DeliverySystem : std::uint8_t { DvbS, DvbS2 };

// The lock sequence, each stage resting on the one before but the carrier.
struct LockStages {
    bool carrier = false;  // the carrier loop holds (DSTATUS CAR_LOCK)
    bool header = false;   // delivery system found and the lock final (DMDSTATE, DSTATUS)
    bool fec = false;      // DVB-S2 packet delineator or DVB-S Viterbi decoder locked
    bool ts = false;       // the transport stream flows (TSSTATUS)
    bool locked() const { return ts; }
    friend bool operator==(const LockStages&, const LockStages&) = default;
};

// Error counter 2 over the interval since the previous reading restarted it.
struct ErrorCount {
    bool packets = false;      // DVB-S2 counts 188-byte packets in error, DVB-S bits
    std::uint32_t errors = 0;
    std::uint64_t counted = 0;  // packets or bits looked at, above 0
    bool saturated = false;     // the counter stopped at its top: the rate is at least rate()
    double rate() const { return static_cast<double>(errors) / static_cast<double>(counted); }
};

struct SignalReading {
    // Absent when a status register could not be read; then so is every
    // figure that depends on the lock.
    std::optional<LockStages> stages;
    std::optional<DeliverySystem> system;                    // once the header is found
    std::optional<STV0903Signal::Modulation> modulation;     // with the system
    std::optional<STV0903Signal::CodeRate> codeRate;         // with the system
    std::optional<double> levelDbm;  // read whenever the AGC could be read, lock or not
    bool levelBeyondTable = false;   // the AGC lies beyond the table: the level is at most (or least) that
    std::optional<double> cnDb;      // with a final lock, from 16 noise readings
    std::optional<ErrorCount> errors;           // while the stream flows
    std::optional<double> carrierOffsetKhz;     // while the carrier loop holds
    std::optional<double> symbolRateMsps;       // while the carrier loop holds
    std::optional<double> tsBitRateMbit;        // while the stream flows
    // Batches sent for this reading: 1 once the delivery system is known
    // from the reading before, 2 when the noise readings had to follow.
    int batches = 0;

    bool locked() const { return stages && stages->locked(); }
};

// One symbol as the demodulator sees it, before decisions.
struct IqPoint {
    std::int8_t i = 0;
    std::int8_t q = 0;
};

class SignalReader {
public:
    // demodAddress: 0xD4 or 0xD0, the fitted NIM's demodulator.
    SignalReader(i2c::RegisterAccess& bus, std::uint8_t demodAddress);

    // The lock stages alone, in one short batch: for waiting on a lock.
    std::optional<LockStages> ReadLock();

    // Every figure. The error counters are read and restarted in the same
    // batch (the restart writes the counter's configuration back as the
    // default image has it), so each reading's error rate covers the time
    // since the reading before.
    SignalReading Read();

    // count pairs of ISYMB/QSYMB in one batch; a pair whose reads failed is
    // left out.
    std::vector<IqPoint> ReadConstellation(std::size_t count);

private:
    i2c::RegisterAccess& bus_;
    std::uint8_t address_;
    // The system of the reading before: its noise registers go into the
    // next reading's batch, saving a second one.
    std::optional<DeliverySystem> lastSystem_;
};

}  // namespace frontend
