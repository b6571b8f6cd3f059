// The NIM tests: the demodulator link test with its error total, the default
// image between its two passes, then the fitted NIM's tuner. Runs on any
// register-access engine. Each test returns what it found as a report; the
// log lines the operator reads are rendered from that report (see
// link_test_log.h) and go to a LinkTestView.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "i2c/register_access.h"

namespace frontend {

class LinkTestView {
public:
    virtual ~LinkTestView() = default;
    virtual void AppendLog(const QString& line) = 0;
    // The text beside "Nb I2C errors:".
    virtual void ShowErrorTotal(const QString& text) = 0;
};

inline constexpr std::uint8_t DemodSharp = 0xD0;
inline constexpr std::uint8_t DemodEardatek = 0xD4;

// Where the demodulator keeps its identity, and what an STV0903 answers.
inline constexpr std::uint16_t RegChipId = 0xF100;
inline constexpr std::uint8_t ChipIdSTV0903 = 0x20;
// The scratch register of the write/read passes ("register X" in the log),
// and the value written to it and expected back a thousand times.
inline constexpr std::uint16_t RegScratch = 0xF536;
inline constexpr std::uint8_t ScratchTestValue = 0x5A;
inline constexpr int ReadLoopCount = 1000;
inline constexpr int PatternAccesses = 512;  // of each kind: 512 writes, 512 reads

// Marks a test whose very first write found nobody at the address.
inline constexpr std::int32_t DemodAbsentTotal = 9999999;
inline constexpr std::int32_t ImageFailurePenalty = 300;

// One write/read pass on the scratch register.
struct ScratchPass {
    std::optional<bool> testValueWritten;   // the 0x5A write; none until it ran
    std::optional<std::int32_t> readErrors;  // of the 1000 reads: a failed read whose byte is wrong counts twice
    std::uint32_t readLoopMs = 0;
    std::optional<std::int32_t> patternWriteErrors, patternReadErrors;

    // What the pass adds to the total.
    std::int32_t errors() const {
        return (testValueWritten == false ? 1 : 0) + readErrors.value_or(0) + patternWriteErrors.value_or(0) +
               patternReadErrors.value_or(0);
    }
};

struct ImageOutcome {
    bool written = false;
    std::uint32_t ms = 0;
};

struct TunerOutcome {
    bool initialised = false;       // the tuner took its table
    std::optional<bool> readBack;   // the Eardatek NIM's read-back; none on the Sharp/Samsung NIM
    bool ok() const { return initialised && readBack.value_or(true); }
};

// What a NIM test found, filled in as the test goes.
struct LinkTestReport {
    std::uint8_t demodAddress = 0;
    // The first write (repeater off) was acknowledged: somebody answers there.
    bool demodFound = false;
    // The identity read (none when the read failed or never ran).
    bool identityRead = false;
    std::uint8_t chipId = 0;
    ScratchPass firstPass, secondPass;
    std::optional<ImageOutcome> image;
    std::optional<TunerOutcome> tuner;
    // I2CErrorCount: the link test's total, 9999999 when nobody answered.
    std::int32_t errors = 0;
    // The D2XX failure that cut the link and ended the test there.
    std::optional<i2c::LinkLoss> linkLoss;
    // The test ran to its end (both passes) with the demodulator answering.
    bool completed = false;
};

// Where a NIM test stands, for rendering its lines as it goes.
enum class LinkStep {
    Presence,   // repeater off: does anybody answer?
    Identity,
    TestValue1,
    ReadLoop1,
    Pattern1,
    Image,
    TestValue2,
    ReadLoop2,
    Pattern2,
    Tuner,
    ReadBack,
};

class LinkTest {
public:
    LinkTest(i2c::RegisterAccess& bus, LinkTestView& view) : bus_(bus), view_(view) {}

    // "test I2C Sharp/Samsung" and "test I2C Earda": the link test at that
    // NIM's demodulator address, then its tuner.
    const LinkTestReport& TestSharp();
    const LinkTestReport& TestEarda();

    // The link test at DemodAddress; false when nobody answered there.
    bool TestDemod();
    // The default image (counted into the total on failure).
    void InitSTV903();
    // The tuner of the NIM at DemodAddress: the Eardatek NIM's set-up and
    // read-back, or the Sharp/Samsung NIM's STV6110; true when it worked.
    bool SetUpTuner();
    // The Eardatek NIM's tuner set-up and read-back; true when both worked.
    bool SetUpEardaTuner();
    // True when the tuner took every register.
    bool InitSTB6100();
    bool InitSTV6110();

    // The report of the last test (or of the one running).
    const LinkTestReport& Report() const { return report_; }

    std::uint8_t DemodAddress = 0;
    std::int32_t I2CErrorCount = 0;

private:
    const LinkTestReport& testNim(std::uint8_t demodAddress);
    void started(LinkStep step);
    // False when the link was lost in the step (its line is then logged).
    bool finished(LinkStep step);
    void runPass(ScratchPass& pass, LinkStep testValue, LinkStep readLoop, LinkStep pattern);
    void showTotal();
    bool tunerTable(bool eardatek);

    i2c::RegisterAccess& bus_;
    LinkTestView& view_;
    LinkTestReport report_;
};

}  // namespace frontend
