// The NIM test buttons: the demodulator link test with its error total, the
// default image between its two passes, then the fitted NIM's tuner.
#include <QLabel>
#include <QString>
#include <array>

#include "frontend/demod_image.h"
#include "frontend/tuners.h"
#include "ui/main_window.h"

namespace ui {

namespace {

constexpr std::uint16_t RegChipId = 0xF100;
constexpr std::uint16_t RegScratch = 0xF536;  // "register X" in the log
constexpr std::uint8_t ChipIdSTV0903 = 0x20;
constexpr std::uint8_t TestValue = 0x5A;
constexpr int ReadLoopCount = 1000;

constexpr std::uint8_t DemodSharp = 0xD0;
constexpr std::uint8_t DemodEardatek = 0xD4;

// Marks a test whose very first write found nobody at the address.
constexpr std::int32_t DemodAbsentTotal = 9999999;
constexpr std::int32_t ImageFailurePenalty = 300;

QString number(std::int64_t n) { return QString::number(n); }

// Reads the scratch register a thousand times; a failed read whose byte is
// not the test value counts twice.
std::int32_t readLoop(i2c::I2cMaster& m, std::uint8_t demod) {
    std::int32_t errors = 0;
    for (int i = 0; i < ReadLoopCount && !m.LinkLost(); ++i) {
        std::uint8_t value = 0;
        if (!m.I2C_ReadRegister(demod, RegScratch, value)) ++errors;
        if (value != TestValue) ++errors;
    }
    return errors;
}

struct PatternErrors {
    std::int32_t writes = 0;
    std::int32_t reads = 0;
};

// 256 rounds of i and 255 - i written and read back.
PatternErrors patternTest(i2c::I2cMaster& m, std::uint8_t demod) {
    PatternErrors e;
    auto writeRead = [&](std::uint8_t v) {
        if (m.LinkLost()) return;
        if (!m.I2C_WriteRegister(demod, RegScratch, v)) ++e.writes;
        std::uint8_t got = 0;
        if (!m.I2C_ReadRegister(demod, RegScratch, got)) ++e.reads;
        if (got != v) ++e.reads;
    };
    for (int i = 0; i <= 255 && !m.LinkLost(); ++i) {
        writeRead(static_cast<std::uint8_t>(i));
        writeRead(static_cast<std::uint8_t>(255 - i));
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

void titleBlock(TForm1& w, const QString& title) {
    w.AppendLog(QString(70, QLatin1Char('x')));
    w.AppendLog(title);
    w.AppendLog(QString(70, QLatin1Char('-')));
}

}  // namespace

bool TForm1::TestDemod() {
    i2c::I2cMaster& m = I2C;
    usb::Clock& clock = I2C.clock();
    const std::uint8_t demod = DemodAddress;

    I2CErrorCount = 0;
    AppendLog(QString(73, QLatin1Char('-')));

    // A lost link ends the test where it happened, with one line.
    auto linkLost = [&] {
        if (!m.LinkLost()) return false;
        AppendLog(linkLostLine(*m.linkLoss(), I2CErrorCount));
        NbI2CerrorsTxt->setText(number(I2CErrorCount));
        return true;
    };

    // The first write decides whether anybody answers at this address.
    if (!m.I2C_WriteRegister(demod, frontend::RepeaterRegister, frontend::RepeaterOff)) {
        if (linkLost()) return false;
        I2CErrorCount = DemodAbsentTotal;
        NbI2CerrorsTxt->setText(number(I2CErrorCount));
        return false;
    }
    AppendLog(QStringLiteral("Repeater mode  OFF"));
    AppendLog(QStringLiteral("Trying to get the Demodulator serial number"));

    std::uint8_t id = 0;
    const bool idRead = m.I2C_ReadRegister(demod, RegChipId, id);
    if (linkLost()) return false;
    if (idRead) {
        AppendLog(QStringLiteral("we get the value = ") + number(id));
        AppendLog(id == ChipIdSTV0903 ? QStringLiteral("Demodulator is recognized")
                                      : QStringLiteral("ERROR : Unknown Demodulator"));
    } else {
        AppendLog(QStringLiteral("ERREUR: impossible to read the value"));
    }

    auto writeTestValue = [&] {
        const bool written = m.I2C_WriteRegister(demod, RegScratch, TestValue);
        if (m.LinkLost()) return;
        if (written) {
            AppendLog(QStringLiteral("writing $5A at address X seems OK"));
        } else {
            AppendLog(QStringLiteral("ERROR : writing $5A at address X  failed"));
            ++I2CErrorCount;
        }
    };
    // Exactly 1000 errors means every read came back, with the wrong value.
    auto timedReadLoop = [&](const QString& allWrongLine) {
        const std::uint32_t t0 = clock.tickCount();
        const std::int32_t errors = readLoop(m, demod);
        if (m.LinkLost()) return;
        const std::uint32_t t1 = clock.tickCount();
        AppendLog(QStringLiteral("time to do it : ") + elapsedMs(t0, t1));
        AppendLog(errors == ReadLoopCount ? allWrongLine : readErrorsLine(errors));
        I2CErrorCount += errors;
    };
    auto pattern = [&] {
        const PatternErrors e = patternTest(m, demod);
        if (m.LinkLost()) return;
        AppendLog(patternLine(e));
        I2CErrorCount += e.writes + e.reads;
    };

    AppendLog(QStringLiteral("trying to write $5A=90 in register X "));
    writeTestValue();
    if (linkLost()) return false;
    AppendLog(QStringLiteral("trying to read 1000 times register X"));
    timedReadLoop(QStringLiteral("writing at register X failed"));
    if (linkLost()) return false;
    AppendLog(QStringLiteral("test: 512 writing/reading the Demodulator"));
    pattern();
    if (linkLost()) return false;

    InitSTV903BtnClick();
    if (linkLost()) return false;

    writeTestValue();
    if (linkLost()) return false;
    AppendLog(QStringLiteral("we try to do 1000 readings of register X after demodulator init"));
    timedReadLoop(QStringLiteral("writing in register X failed"));
    if (linkLost()) return false;
    AppendLog(QStringLiteral("test: 512 writing/reading the Demodulator after initialization"));
    pattern();
    if (linkLost()) return false;

    NbI2CerrorsTxt->setText(number(I2CErrorCount));
    return true;
}

void TForm1::InitSTV903BtnClick() {
    titleBlock(*this, QString(20, QLatin1Char(' ')) + QStringLiteral("Demodulator setup for DVBS") +
                          QString(28, QLatin1Char(' ')));
    usb::Clock& clock = I2C.clock();
    const std::uint32_t t0 = clock.tickCount();
    const bool written = frontend::WriteDemodDefaults(I2C, DemodAddress);
    // A lost link is the link test's to report, not a failed image.
    if (I2C.LinkLost()) return;
    if (written) {
        const std::uint32_t t1 = clock.tickCount();
        AppendLog(QStringLiteral("Writing demodulator default values ==> OK"));
        AppendLog(QStringLiteral("time to do it: ") + elapsedMs(t0, t1));
    } else {
        AppendLog(QStringLiteral("Problem writting demodulator default values"));
        I2CErrorCount += ImageFailurePenalty;
    }
}

void TForm1::InitSTB6100BtnClick() {
    titleBlock(*this, QString(20, QLatin1Char(' ')) + QStringLiteral("Init ZavoRuraz Eardatek") +
                          QString(27, QLatin1Char(' ')));
    AppendLog(frontend::WriteSTB6100Defaults(I2C, DemodAddress)
                  ? QStringLiteral("ZavoRuraz initialization ==> OK")
                  : QStringLiteral("Problem with ZavoRuraz initialization"));
}

void TForm1::InitSTV6110BtnClick() {
    titleBlock(*this, QString(20, QLatin1Char(' ')) + QStringLiteral("Init ZavoRuraz Sharp/Samsung") +
                          QString(22, QLatin1Char(' ')));
    AppendLog(frontend::WriteSTV6110Defaults(I2C, DemodAddress)
                  ? QStringLiteral("ZavoRuraz initialization ==> OK")
                  : QStringLiteral("Problem with ZavoRuraz initialization"));
}

namespace {

void demodNotFound(TForm1& w) {
    w.AppendLog(QStringLiteral("ERROR: Demodulator not found !"));
    w.AppendLog(QStringLiteral(
        "error in NIM choice(Sharp / Eardatek)? or I2C link to NIM not working"));
    w.NbI2CerrorsTxt->setText(QStringLiteral("????????"));
}

}  // namespace

void TForm1::TestSharpBtnClick() {
    DemodAddress = DemodSharp;
    if (TestDemod()) {
        InitSTV6110BtnClick();
    } else if (!I2C.LinkLost()) {
        demodNotFound(*this);
    }
}

void TForm1::TestEardaBtnClick() {
    DemodAddress = DemodEardatek;
    if (!TestDemod()) {
        if (!I2C.LinkLost()) demodNotFound(*this);
        return;
    }
    InitSTB6100BtnClick();
    // Read back whatever the initialisation reported; the bytes only prove
    // the tuner answers through the repeater.
    AppendLog(QStringLiteral("Reading ZavoRuraz Eardatek setup"));
    std::array<std::uint8_t, 16> buffer{};
    const bool read = frontend::ReadTunerRegisters(
        I2C, frontend::TunerAddress,
        std::span<std::uint8_t, frontend::TunerReadBackSize>(buffer.data(), frontend::TunerReadBackSize));
    AppendLog(read ? QStringLiteral("Reading OK") : QStringLiteral("Reading failure!!!!"));
}

}  // namespace ui
