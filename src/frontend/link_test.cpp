#include "frontend/link_test.h"

#include <array>
#include <vector>

#include "frontend/demod_image.h"
#include "frontend/link_test_log.h"
#include "frontend/tuners.h"

namespace frontend {

namespace {

std::uint32_t elapsedMs(std::uint32_t t0, std::uint32_t t1) {
    // The tick counter wraps; the unsigned difference is still the elapsed time.
    return static_cast<std::uint32_t>(t1 - t0);
}

// Reads the scratch register a thousand times; a failed read whose byte is
// not the test value counts twice.
std::int32_t readLoop(i2c::RegisterAccess& bus, std::uint8_t demod) {
    std::vector<i2c::RegisterOp> ops(ReadLoopCount, i2c::RegisterOp::read(RegScratch));
    bus.Transfer(demod, ops);
    std::int32_t errors = 0;
    for (const i2c::RegisterOp& op : ops) {
        if (!op.ok) ++errors;
        if (op.value != ScratchTestValue) ++errors;
    }
    return errors;
}

// 256 rounds of i and 255 - i written and read back.
void patternTest(i2c::RegisterAccess& bus, std::uint8_t demod, ScratchPass& pass) {
    std::vector<i2c::RegisterOp> ops;
    ops.reserve(4 * 256);
    for (int i = 0; i <= 255; ++i) {
        for (const int v : {i, 255 - i}) {
            ops.push_back(i2c::RegisterOp::write(RegScratch, static_cast<std::uint8_t>(v)));
            ops.push_back(i2c::RegisterOp::read(RegScratch));
        }
    }
    bus.Transfer(demod, ops);
    std::int32_t writes = 0, reads = 0;
    for (std::size_t k = 0; k < ops.size(); k += 2) {
        const i2c::RegisterOp& w = ops[k];
        const i2c::RegisterOp& r = ops[k + 1];
        if (!w.ok) ++writes;
        if (!r.ok) ++reads;
        if (r.value != w.value) ++reads;
    }
    pass.patternWriteErrors = writes;
    pass.patternReadErrors = reads;
}

}  // namespace

void LinkTest::started(LinkStep step) {
    for (const QString& line : StepStartLines(step, report_)) view_.AppendLog(line);
}

bool LinkTest::finished(LinkStep step) {
    if (bus_.LinkLost() && !report_.linkLoss) report_.linkLoss = bus_.linkLoss();
    report_.errors = I2CErrorCount;
    for (const QString& line : StepEndLines(step, report_)) view_.AppendLog(line);
    return !report_.linkLoss;
}

void LinkTest::showTotal() {
    report_.errors = I2CErrorCount;
    view_.ShowErrorTotal(ErrorTotalText(report_));
}

void LinkTest::runPass(ScratchPass& pass, LinkStep testValue, LinkStep readLoopStep, LinkStep pattern) {
    usb::Clock& clock = bus_.clock();
    const std::uint8_t demod = DemodAddress;

    started(testValue);
    const bool written = bus_.WriteRegister(demod, RegScratch, ScratchTestValue);
    if (!bus_.LinkLost()) {
        pass.testValueWritten = written;
        if (!written) ++I2CErrorCount;
    }
    if (!finished(testValue)) return;

    started(readLoopStep);
    const std::uint32_t t0 = clock.tickCount();
    const std::int32_t errors = readLoop(bus_, demod);
    const std::uint32_t t1 = clock.tickCount();
    if (!bus_.LinkLost()) {
        pass.readErrors = errors;
        pass.readLoopMs = elapsedMs(t0, t1);
        I2CErrorCount += errors;
    }
    if (!finished(readLoopStep)) return;

    started(pattern);
    ScratchPass counted;
    patternTest(bus_, demod, counted);
    if (!bus_.LinkLost()) {
        pass.patternWriteErrors = counted.patternWriteErrors;
        pass.patternReadErrors = counted.patternReadErrors;
        I2CErrorCount += *counted.patternWriteErrors + *counted.patternReadErrors;
    }
    finished(pattern);
}

bool LinkTest::TestDemod() {
    const std::uint8_t demod = DemodAddress;
    report_ = LinkTestReport{};
    report_.demodAddress = demod;
    I2CErrorCount = 0;

    // The first write decides whether anybody answers at this address.
    started(LinkStep::Presence);
    report_.demodFound = bus_.WriteRegister(demod, i2c::RepeaterRegister, i2c::RepeaterOff);
    if (!report_.demodFound && !bus_.LinkLost()) I2CErrorCount = DemodAbsentTotal;
    if (!finished(LinkStep::Presence) || !report_.demodFound) {
        showTotal();
        return false;
    }

    started(LinkStep::Identity);
    report_.identityRead = bus_.ReadRegister(demod, RegChipId, report_.chipId);
    if (!finished(LinkStep::Identity)) {
        showTotal();
        return false;
    }

    runPass(report_.firstPass, LinkStep::TestValue1, LinkStep::ReadLoop1, LinkStep::Pattern1);
    if (!report_.linkLoss) InitSTV903();
    if (!report_.linkLoss) runPass(report_.secondPass, LinkStep::TestValue2, LinkStep::ReadLoop2, LinkStep::Pattern2);
    report_.completed = !report_.linkLoss;
    showTotal();
    return report_.completed;
}

void LinkTest::InitSTV903() {
    started(LinkStep::Image);
    usb::Clock& clock = bus_.clock();
    const std::uint32_t t0 = clock.tickCount();
    const bool written = WriteDemodDefaults(bus_, DemodAddress);
    const std::uint32_t t1 = clock.tickCount();
    // A lost link is the link test's to report, not a failed image.
    if (!bus_.LinkLost()) {
        report_.image = ImageOutcome{written, elapsedMs(t0, t1)};
        if (!written) I2CErrorCount += ImageFailurePenalty;
    }
    finished(LinkStep::Image);
}

bool LinkTest::tunerTable(bool eardatek) {
    report_.demodAddress = DemodAddress;
    started(LinkStep::Tuner);
    const bool ok = eardatek ? WriteSTB6100Defaults(bus_, DemodAddress) : WriteSTV6110Defaults(bus_, DemodAddress);
    report_.tuner = TunerOutcome{ok, std::nullopt};
    if (bus_.LinkLost() && !report_.linkLoss) report_.linkLoss = bus_.linkLoss();
    finished(LinkStep::Tuner);
    return ok;
}

bool LinkTest::InitSTB6100() { return tunerTable(true); }

bool LinkTest::InitSTV6110() { return tunerTable(false); }

const LinkTestReport& LinkTest::testNim(std::uint8_t demodAddress) {
    DemodAddress = demodAddress;
    if (!TestDemod()) {
        // A lost link has said so already, in its own line.
        if (!report_.linkLoss) {
            for (const QString& line : DemodNotFoundLines()) view_.AppendLog(line);
            view_.ShowErrorTotal(QStringLiteral("????????"));
        }
        return report_;
    }
    SetUpTuner();
    return report_;
}

const LinkTestReport& LinkTest::TestSharp() { return testNim(DemodSharp); }

const LinkTestReport& LinkTest::TestEarda() { return testNim(DemodEardatek); }

bool LinkTest::SetUpTuner() { return DemodAddress == DemodEardatek ? SetUpEardaTuner() : InitSTV6110(); }

bool LinkTest::SetUpEardaTuner() {
    const bool tuner = InitSTB6100();
    // Read back whatever the initialisation reported; the bytes only prove
    // the tuner answers through the repeater.
    started(LinkStep::ReadBack);
    std::array<std::uint8_t, 16> buffer{};
    const bool read = bus_.ReadTunerRegisters(
        EardatekDemodAddress, TunerAddress,
        std::span<std::uint8_t, TunerReadBackSize>(buffer.data(), TunerReadBackSize));
    report_.tuner->readBack = read;
    if (bus_.LinkLost() && !report_.linkLoss) report_.linkLoss = bus_.linkLoss();
    finished(LinkStep::ReadBack);
    return tuner && read;
}

}  // namespace frontend
