// The go/no-go check of one board, without the window: the start-up's
// device detection and channels, the I2C set-up, which NIM is fitted, its
// link test and tuner set-up, optionally every demodulator register against
// the default image, then the transport stream for a while. Each step ends
// passed, failed (with the reason) or skipped after an earlier failure.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "console/headless_bench.h"
#include "console/ts_pump.h"
#include "frontend/register_dump.h"
#include "frontend/signal_reader.h"

namespace console {

enum class StepResult { Passed, Failed, Skipped };

struct CheckStep {
    QString name;
    StepResult result = StepResult::Skipped;
    QString detail;  // what was found, or why it failed
    std::int64_t durationMs = 0;
};

struct StreamFigures {
    std::int64_t elapsedMs = 0;
    std::uint64_t bytes = 0;
    std::uint64_t packets = 0;
    double megabitsPerSecond = 0;
    std::uint64_t reads = 0;
    std::uint64_t shortReads = 0;  // reads below a whole chunk: joined by the pump, not lost
    std::uint64_t continuityErrors = 0;
    std::uint64_t syncLosses = 0;
    std::uint64_t bytesOutsidePackets = 0;
    StreamEnd end = StreamEnd::SwitchedOff;
    QString failedCall;  // the D2XX call that ended the stream, if one did
    usb::FT_STATUS status = usb::FT_OK;
};

struct RegisterFigures {
    int registers = 0;
    int imaged = 0;
    int differing = 0;
    int failedReads = 0;
};

// What the signal step measured.
struct SignalFigures {
    bool locked = false;
    std::uint32_t lockMs = 0;  // how long the lock took (or the wait, when none came)
    std::optional<frontend::LockStages> stages;
    frontend::SignalReading reading;  // over SignalMeasureMs once locked
};

struct CheckSettings {
    int seconds = 5;             // of streaming
    bool dumpRegisters = false;  // read every register after the link test
    double minMegabits = 0;      // a slower stream fails; 0: any data will do
    std::uint32_t lockTimeoutMs = 2000;
    std::optional<double> minCn, minLevel, maxBer;
};

struct CheckOutcome {
    std::vector<CheckStep> steps;
    QString startedAt, finishedAt;  // ISO 8601, UTC
    QString board;                  // EEPROM serial, from channel A's name
    QString serialA, descriptionA, serialB, descriptionB;
    QString nim;                    // "Eardatek" or "Sharp/Samsung", empty if none found
    std::uint8_t demodAddress = 0;
    std::optional<std::int32_t> i2cErrors;  // the link test's total, once it ran
    std::optional<frontend::LinkTestReport> linkTest;
    std::optional<StreamFigures> stream;
    std::optional<RegisterFigures> registers;
    std::optional<SignalFigures> signal;
    std::vector<frontend::RegisterReading> registerRows;

    bool passed() const;
    // The first failed step, or null.
    const CheckStep* failedStep() const;
};

class CheckProgress {
public:
    virtual ~CheckProgress() = default;
    virtual void stepStarted(const QString& name) = 0;
    virtual void stepFinished(const CheckStep& step) = 0;
};

class BoardCheck {
public:
    // Once locked, the signal is measured over this long, so that the error
    // counters have something to count.
    static constexpr std::uint32_t SignalMeasureMs = 1000;
    BoardCheck(HeadlessBench& bench, CheckProgress& progress) : bench_(bench), progress_(progress) {}

    // The whole check; the channels are closed again at the end.
    CheckOutcome run(const CheckSettings& settings);

    // Devices, channels, I2C set-up and the NIM: what register access needs.
    // True when all passed; the channels stay open.
    bool setUp(CheckOutcome& outcome);
    void closeChannels();

private:
    template <typename Body>
    bool step(CheckOutcome& outcome, const QString& name, Body body);
    void skip(CheckOutcome& outcome, const QString& name);
    using StepBody = std::function<bool(QString* detail)>;
    // Runs the steps in order while ok and each before passed; the rest are
    // skipped. False once one failed (or ok was false).
    bool steps(CheckOutcome& outcome, bool ok, const std::vector<std::pair<QString, StepBody>>& list);

    bool devices(CheckOutcome& o, QString* detail);
    bool channels(CheckOutcome& o, QString* detail);
    bool i2cSetUp(CheckOutcome& o, QString* detail);
    bool findNim(CheckOutcome& o, QString* detail);
    bool linkTest(CheckOutcome& o, QString* detail);
    bool tuner(CheckOutcome& o, QString* detail);
    bool registers(CheckOutcome& o, QString* detail);
    bool signal(CheckOutcome& o, const CheckSettings& settings, QString* detail);
    bool stream(CheckOutcome& o, const CheckSettings& settings, QString* detail);

    HeadlessBench& bench_;
    CheckProgress& progress_;
};

QString StepResultName(StepResult r);  // "pass", "fail", "skipped"

}  // namespace console
