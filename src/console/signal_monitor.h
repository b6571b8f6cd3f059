// The demodulator's signal over time, for the monitor command, the check's
// signal step and the signal window: readings through the signal core,
// stamped with the time since the monitor started, added up into a summary,
// and rendered as the line an operator reads or the JSON a script keeps.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "frontend/signal_reader.h"
#include "usb/platform_services.h"

namespace i2c {
class RegisterAccess;
}

namespace console {

struct SignalSample {
    std::int64_t elapsedMs = 0;  // since the monitor started
    frontend::SignalReading reading;
};

// Minimum, mean and maximum of a figure over the readings that had it.
struct FigureRange {
    int count = 0;
    double min = 0, max = 0, sum = 0;
    void add(double v);
    std::optional<double> mean() const;
};

// What the readings of a run came to.
struct SignalSummary {
    int readings = 0;
    int locked = 0;      // readings with the transport stream locked
    int lockLosses = 0;  // locked in one reading, not in the next
    FigureRange cn, level;
    // The error counts of the locked readings, added up.
    bool packets = false;  // DVB-S2 counts packets, DVB-S bits
    std::uint64_t errors = 0;
    std::uint64_t counted = 0;
    bool saturated = false;  // a counter stopped at its top: the rate is at least this

    bool lockedThroughout() const { return readings > 0 && locked == readings; }
    std::optional<double> errorRate() const;
    // Counts one more reading in.
    void add(const frontend::SignalReading& reading);

private:
    bool lastLocked_ = false;
};

class SignalMonitor {
public:
    SignalMonitor(i2c::RegisterAccess& bus, std::uint8_t demodAddress);

    // One reading of every figure, stamped and added to the summary.
    SignalSample Read();
    // I/Q points of the constellation, count pairs in one batch.
    std::vector<frontend::IqPoint> Constellation(std::size_t count) { return reader_.ReadConstellation(count); }
    // Polls the lock stages until the stream locks or timeoutMs has passed;
    // the last stages read (none when they could not be read).
    std::optional<frontend::LockStages> WaitForLock(std::uint32_t timeoutMs);

    const SignalSummary& Summary() const { return summary_; }
    void ResetSummary() { summary_ = {}; }

    // How often the lock is asked while waiting for it.
    static constexpr std::uint32_t LockPollMs = 20;

private:
    i2c::RegisterAccess& bus_;
    usb::Clock& clock_;
    frontend::SignalReader reader_;
    std::uint32_t startTick_;
    SignalSummary summary_;
};

// "locked", or "no lock" with the stages that hold ("no lock: carrier, header").
QString LockText(const std::optional<frontend::LockStages>& stages);
// "DVB-S2 8PSK 2/3", "DVB-S QPSK 7/8"; empty before the header is found.
QString SystemText(const frontend::SignalReading& r);
// Where the level lies when the AGC is beyond the level table: the level is
// at most (below the table) or at least (above it) the figure given.
enum class LevelBound { Exact, AtMost, AtLeast };
LevelBound LevelBoundOf(const frontend::SignalReading& r);
// "-40.0 dBm", or "< -70.0 dBm" when the AGC lies beyond the level table.
QString LevelText(const frontend::SignalReading& r);
// "C/N 12.0 dB", "+1.2 kHz", "27.500 Msym/s", "49.39 Mbit/s".
QString CnText(double db);
QString CarrierOffsetText(double khz);
QString SymbolRateText(double msps);
QString TsBitRateText(double mbit);
// The figures a reading has, in this order: system, level, C/N, error rate,
// carrier offset, symbol rate (the TS bit rate is left to the caller).
QStringList FigureTexts(const frontend::SignalReading& r);
// "PER 1.2e-05" (DVB-S2) or "BER 3.4e-07" (DVB-S), ">=" when the counter
// stopped at its top.
QString ErrorRateText(bool packets, double rate, bool saturated);

// One line per reading:
// "   1.0 s  locked   DVB-S2 8PSK 2/3  -40.0 dBm  C/N 12.0 dB  PER 0.0e+00  +0.0 kHz  27.500 Msym/s  49.39 Mbit/s"
QString SignalLine(const SignalSample& sample);
// "monitor: 3 readings, locked in 3, C/N 7.4 / 7.5 / 7.6 dB (min / mean / max), ..."
QString SignalSummaryLine(const SignalSummary& summary);
// A reading's figures as JSON, absent ones null.
QJsonObject SignalReadingJson(const frontend::SignalReading& reading);
// One JSON object, compact, for a line of JSON lines: the reading with its
// time "t" in seconds.
QByteArray SignalJson(const SignalSample& sample);
QByteArray SignalSummaryJson(const SignalSummary& summary);

}  // namespace console
