#include "frontend/link_test.h"

#include <array>
#include <vector>

#include "frontend/demod_image.h"
#include "frontend/tuners.h"
#include "i2c/register_access.h"

namespace frontend {

namespace {

constexpr std::uint16_t RegScratch = 0xF536;  // "register X" in the log
constexpr std::uint8_t TestValue = 0x5A;
constexpr int ReadLoopCount = 1000;

// Marks a test whose very first write found nobody at the address.
constexpr std::int32_t DemodAbsentTotal = 9999999;
constexpr std::int32_t ImageFailurePenalty = 300;

QString number(std::int64_t n) { return QString::number(n); }

// Reads the scratch register a thousand times, in one transfer so that an
// engine that queues can send many reads per USB round trip; a failed read
// whose byte is not the test value counts twice.
std::int32_t readLoop(i2c::RegisterAccess& m, std::uint8_t demod) {
    std::vector<i2c::RegisterOp> ops(ReadLoopCount, i2c::RegisterOp::read(RegScratch));
    m.Transfer(demod, ops);
    std::int32_t errors = 0;
    for (const i2c::RegisterOp& op : ops) {
        if (!op.ok) ++errors;
        if (op.value != TestValue) ++errors;
    }
    return errors;
}

struct PatternErrors {
    std::int32_t writes = 0;
    std::int32_t reads = 0;
};

// 256 rounds of i and 255 - i written and read back, in one transfer.
PatternErrors patternTest(i2c::RegisterAccess& m, std::uint8_t demod) {
    std::vector<i2c::RegisterOp> ops;
    ops.reserve(4 * 256);
    for (int i = 0; i <= 255; ++i) {
        for (const int v : {i, 255 - i}) {
            ops.push_back(i2c::RegisterOp::write(RegScratch, static_cast<std::uint8_t>(v)));
            ops.push_back(i2c::RegisterOp::read(RegScratch));
        }
    }
    m.Transfer(demod, ops);
    PatternErrors e;
    for (std::size_t k = 0; k < ops.size(); k += 2) {
        const i2c::RegisterOp& write = ops[k];
        const i2c::RegisterOp& read = ops[k + 1];
        if (!write.ok) ++e.writes;
        if (!read.ok) ++e.reads;
        if (read.value != write.value) ++e.reads;
    }
    return e;
}

QString patternLine(const PatternErrors& e) {
    return QStringLiteral("we have : ") + number(e.writes) + QStringLiteral(" writing errors and ") +
           number(e.reads) + QStringLiteral(" reading errors from 512");
}

QString readErrorsLine(std::int32_t errors) {
    return QStringLiteral("we have : ") + number(errors) +
           QStringLiteral(" reading errors from 1000");
}

QString elapsedMs(std::uint32_t t0, std::uint32_t t1) {
    // The tick counter wraps; the unsigned difference is still the elapsed time.
    return number(static_cast<std::uint32_t>(t1 - t0)) + QStringLiteral("msec");
}

// The one line a lost link leaves: the call that failed and the total so far.
QString linkLostLine(const i2c::LinkLoss& loss, std::int32_t errors) {
    return QStringLiteral("ERROR : I2C link lost at ") + QString::fromStdString(loss.text()) +
           QStringLiteral(" test stopped, Nb I2C errors = ") + number(errors);
}

void titleBlock(LinkTestView& view, const QString& title) {
    view.AppendLog(QString(70, QLatin1Char('x')));
    view.AppendLog(title);
    view.AppendLog(QString(70, QLatin1Char('-')));
}

}  // namespace

bool LinkTest::TestDemod() {
    i2c::RegisterAccess& m = master_;
    usb::Clock& clock = master_.clock();
    const std::uint8_t demod = DemodAddress;

    I2CErrorCount = 0;
    view_.AppendLog(QString(73, QLatin1Char('-')));

    // A lost link ends the test where it happened, with one line.
    auto linkLost = [&] {
        if (!m.LinkLost()) return false;
        view_.AppendLog(linkLostLine(*m.linkLoss(), I2CErrorCount));
        view_.ShowErrorTotal(number(I2CErrorCount));
        return true;
    };

    // The first write decides whether anybody answers at this address.
    if (!m.WriteRegister(demod, i2c::RepeaterRegister, i2c::RepeaterOff)) {
        if (linkLost()) return false;
        I2CErrorCount = DemodAbsentTotal;
        view_.ShowErrorTotal(number(I2CErrorCount));
        return false;
    }
    view_.AppendLog(QStringLiteral("Repeater mode  OFF"));
    view_.AppendLog(QStringLiteral("Trying to get the Demodulator serial number"));

    std::uint8_t id = 0;
    const bool idRead = m.ReadRegister(demod, RegChipId, id);
    if (linkLost()) return false;
    if (idRead) {
        view_.AppendLog(QStringLiteral("we get the value = ") + number(id));
        view_.AppendLog(id == ChipIdSTV0903 ? QStringLiteral("Demodulator is recognized")
                                      : QStringLiteral("ERROR : Unknown Demodulator"));
    } else {
        view_.AppendLog(QStringLiteral("ERREUR: impossible to read the value"));
    }

    auto writeTestValue = [&] {
        const bool written = m.WriteRegister(demod, RegScratch, TestValue);
        if (m.LinkLost()) return;
        if (written) {
            view_.AppendLog(QStringLiteral("writing $5A at address X seems OK"));
        } else {
            view_.AppendLog(QStringLiteral("ERROR : writing $5A at address X  failed"));
            ++I2CErrorCount;
        }
    };
    // Exactly 1000 errors means every read came back, with the wrong value.
    auto timedReadLoop = [&](const QString& allWrongLine) {
        const std::uint32_t t0 = clock.tickCount();
        const std::int32_t errors = readLoop(m, demod);
        if (m.LinkLost()) return;
        const std::uint32_t t1 = clock.tickCount();
        view_.AppendLog(QStringLiteral("time to do it : ") + elapsedMs(t0, t1));
        view_.AppendLog(errors == ReadLoopCount ? allWrongLine : readErrorsLine(errors));
        I2CErrorCount += errors;
    };
    auto pattern = [&] {
        const PatternErrors e = patternTest(m, demod);
        if (m.LinkLost()) return;
        view_.AppendLog(patternLine(e));
        I2CErrorCount += e.writes + e.reads;
    };

    view_.AppendLog(QStringLiteral("trying to write $5A=90 in register X "));
    writeTestValue();
    if (linkLost()) return false;
    view_.AppendLog(QStringLiteral("trying to read 1000 times register X"));
    timedReadLoop(QStringLiteral("writing at register X failed"));
    if (linkLost()) return false;
    view_.AppendLog(QStringLiteral("test: 512 writing/reading the Demodulator"));
    pattern();
    if (linkLost()) return false;

    InitSTV903();
    if (linkLost()) return false;

    writeTestValue();
    if (linkLost()) return false;
    view_.AppendLog(QStringLiteral("we try to do 1000 readings of register X after demodulator init"));
    timedReadLoop(QStringLiteral("writing in register X failed"));
    if (linkLost()) return false;
    view_.AppendLog(QStringLiteral("test: 512 writing/reading the Demodulator after initialization"));
    pattern();
    if (linkLost()) return false;

    view_.ShowErrorTotal(number(I2CErrorCount));
    return true;
}

void LinkTest::InitSTV903() {
    titleBlock(view_, QString(20, QLatin1Char(' ')) + QStringLiteral("Demodulator setup for DVBS") +
                          QString(28, QLatin1Char(' ')));
    usb::Clock& clock = master_.clock();
    const std::uint32_t t0 = clock.tickCount();
    const bool written = WriteDemodDefaults(master_, DemodAddress);
    // A lost link is the link test's to report, not a failed image.
    if (master_.LinkLost()) return;
    if (written) {
        const std::uint32_t t1 = clock.tickCount();
        view_.AppendLog(QStringLiteral("Writing demodulator default values ==> OK"));
        view_.AppendLog(QStringLiteral("time to do it: ") + elapsedMs(t0, t1));
    } else {
        view_.AppendLog(QStringLiteral("Problem writting demodulator default values"));
        I2CErrorCount += ImageFailurePenalty;
    }
}

bool LinkTest::InitSTB6100() {
    titleBlock(view_, QString(20, QLatin1Char(' ')) + QStringLiteral("Init ZavoRuraz Eardatek") +
                          QString(27, QLatin1Char(' ')));
    const bool ok = WriteSTB6100Defaults(master_, DemodAddress);
    view_.AppendLog(ok ? QStringLiteral("ZavoRuraz initialization ==> OK")
                       : QStringLiteral("Problem with ZavoRuraz initialization"));
    return ok;
}

bool LinkTest::InitSTV6110() {
    titleBlock(view_, QString(20, QLatin1Char(' ')) + QStringLiteral("Init ZavoRuraz Sharp/Samsung") +
                          QString(22, QLatin1Char(' ')));
    const bool ok = WriteSTV6110Defaults(master_, DemodAddress);
    view_.AppendLog(ok ? QStringLiteral("ZavoRuraz initialization ==> OK")
                       : QStringLiteral("Problem with ZavoRuraz initialization"));
    return ok;
}

void LinkTest::demodNotFound() {
    view_.AppendLog(QStringLiteral("ERROR: Demodulator not found !"));
    view_.AppendLog(QStringLiteral(
        "error in NIM choice(Sharp / Eardatek)? or I2C link to NIM not working"));
    view_.ShowErrorTotal(QStringLiteral("????????"));
}

LinkTestResult LinkTest::testNim(std::uint8_t demodAddress) {
    DemodAddress = demodAddress;
    if (!TestDemod()) {
        // A lost link has said so already, in its own line.
        if (!master_.LinkLost()) demodNotFound();
        return {false, I2CErrorCount};
    }
    const bool tuner = SetUpTuner();
    return {true, I2CErrorCount, tuner};
}

LinkTestResult LinkTest::TestSharp() { return testNim(DemodSharp); }

LinkTestResult LinkTest::TestEarda() { return testNim(DemodEardatek); }

bool LinkTest::SetUpTuner() { return DemodAddress == DemodEardatek ? SetUpEardaTuner() : InitSTV6110(); }

bool LinkTest::SetUpEardaTuner() {
    const bool tuner = InitSTB6100();
    // Read back whatever the initialisation reported; the bytes only prove
    // the tuner answers through the repeater.
    view_.AppendLog(QStringLiteral("Reading ZavoRuraz Eardatek setup"));
    std::array<std::uint8_t, 16> buffer{};
    const bool read = master_.ReadTunerRegisters(
        EardatekDemodAddress, TunerAddress,
        std::span<std::uint8_t, TunerReadBackSize>(buffer.data(), TunerReadBackSize));
    view_.AppendLog(read ? QStringLiteral("Reading OK") : QStringLiteral("Reading failure!!!!"));
    return tuner && read;
}

}  // namespace frontend
