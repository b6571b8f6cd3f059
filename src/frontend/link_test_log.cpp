#include "frontend/link_test_log.h"

#include "frontend/register_dump.h"

namespace frontend {

namespace {

QString number(std::int64_t n) { return QString::number(n); }

QStringList titleBlock(const QString& title) {
    return {QString(70, QLatin1Char('x')), title, QString(70, QLatin1Char('-'))};
}

const ScratchPass& passOf(LinkStep step, const LinkTestReport& r) {
    return step == LinkStep::TestValue1 || step == LinkStep::ReadLoop1 || step == LinkStep::Pattern1
               ? r.firstPass
               : r.secondPass;
}

QString linkLostLine(const LinkTestReport& r) {
    return QStringLiteral("ERROR : I2C link lost at ") + QString::fromStdString(r.linkLoss->text()) +
           QStringLiteral(" test stopped, Nb I2C errors = ") + number(r.errors);
}

bool eardatek(const LinkTestReport& r) { return r.demodAddress == DemodEardatek; }

}  // namespace

QStringList StepStartLines(LinkStep step, const LinkTestReport& r) {
    switch (step) {
    case LinkStep::Presence: return {QString(73, QLatin1Char('-'))};
    case LinkStep::Identity: return {QStringLiteral("Trying to get the Demodulator serial number")};
    case LinkStep::TestValue1: return {QStringLiteral("trying to write $5A=90 in register X ")};
    case LinkStep::ReadLoop1: return {QStringLiteral("trying to read 1000 times register X")};
    case LinkStep::Pattern1: return {QStringLiteral("test: 512 writing/reading the Demodulator")};
    case LinkStep::Image:
        return titleBlock(QString(20, QLatin1Char(' ')) + QStringLiteral("Demodulator setup for DVBS") +
                          QString(28, QLatin1Char(' ')));
    case LinkStep::TestValue2: return {};
    case LinkStep::ReadLoop2:
        return {QStringLiteral("we try to do 1000 readings of register X after demodulator init")};
    case LinkStep::Pattern2:
        return {QStringLiteral("test: 512 writing/reading the Demodulator after initialization")};
    case LinkStep::Tuner:
        return eardatek(r) ? titleBlock(QString(20, QLatin1Char(' ')) + QStringLiteral("Init ZavoRuraz Eardatek") +
                                        QString(27, QLatin1Char(' ')))
                           : titleBlock(QString(20, QLatin1Char(' ')) +
                                        QStringLiteral("Init ZavoRuraz Sharp/Samsung") + QString(22, QLatin1Char(' ')));
    case LinkStep::ReadBack: return {QStringLiteral("Reading ZavoRuraz Eardatek setup")};
    }
    return {};
}

QStringList StepEndLines(LinkStep step, const LinkTestReport& r) {
    // The tuner steps run after the test proper: a lost link there shows as
    // the tuner's own failure.
    if (r.linkLoss && step != LinkStep::Tuner && step != LinkStep::ReadBack) return {linkLostLine(r)};
    const ScratchPass& pass = passOf(step, r);
    switch (step) {
    case LinkStep::Presence:
        if (!r.demodFound) return {};
        return {QStringLiteral("Repeater mode  OFF")};
    case LinkStep::Identity:
        if (!r.identityRead) return {QStringLiteral("ERREUR: impossible to read the value")};
        return {QStringLiteral("we get the value = ") + number(r.chipId),
                r.chipId == ChipIdSTV0903 ? QStringLiteral("Demodulator is recognized")
                                          : QStringLiteral("ERROR : Unknown Demodulator")};
    case LinkStep::TestValue1:
    case LinkStep::TestValue2:
        return {pass.testValueWritten == true ? QStringLiteral("writing $5A at address X seems OK")
                                              : QStringLiteral("ERROR : writing $5A at address X  failed")};
    case LinkStep::ReadLoop1:
    case LinkStep::ReadLoop2: {
        const std::int32_t e = pass.readErrors.value_or(0);
        // Exactly 1000 errors means every read came back, with the wrong value.
        QString verdict;
        if (e == ReadLoopCount)
            verdict = step == LinkStep::ReadLoop1 ? QStringLiteral("writing at register X failed")
                                                  : QStringLiteral("writing in register X failed");
        else
            verdict = QStringLiteral("we have : ") + number(e) + QStringLiteral(" reading errors from 1000");
        return {QStringLiteral("time to do it : ") + number(pass.readLoopMs) + QStringLiteral("msec"), verdict};
    }
    case LinkStep::Pattern1:
    case LinkStep::Pattern2:
        return {QStringLiteral("we have : ") + number(pass.patternWriteErrors.value_or(0)) +
                QStringLiteral(" writing errors and ") + number(pass.patternReadErrors.value_or(0)) +
                QStringLiteral(" reading errors from 512")};
    case LinkStep::Image:
        if (r.image && r.image->written)
            return {QStringLiteral("Writing demodulator default values ==> OK"),
                    QStringLiteral("time to do it: ") + number(r.image->ms) + QStringLiteral("msec")};
        return {QStringLiteral("Problem writting demodulator default values")};
    case LinkStep::Tuner:
        return {r.tuner && r.tuner->initialised ? QStringLiteral("ZavoRuraz initialization ==> OK")
                                                : QStringLiteral("Problem with ZavoRuraz initialization")};
    case LinkStep::ReadBack:
        return {r.tuner && r.tuner->readBack == true ? QStringLiteral("Reading OK")
                                                     : QStringLiteral("Reading failure!!!!")};
    }
    return {};
}

QStringList DemodNotFoundLines() {
    return {QStringLiteral("ERROR: Demodulator not found !"),
            QStringLiteral("error in NIM choice(Sharp / Eardatek)? or I2C link to NIM not working")};
}

QString ErrorTotalText(const LinkTestReport& r) {
    if (r.linkLoss) return QStringLiteral("????????");
    return number(r.errors);
}

QStringList LinkTestFindings(const LinkTestReport& r) {
    QStringList why;
    if (r.linkLoss) {
        why << QStringLiteral("I2C link lost at ") + QString::fromStdString(r.linkLoss->text());
        return why;
    }
    if (!r.demodFound) {
        why << QStringLiteral("the demodulator at ") + Hex(r.demodAddress, 2) +
                   QStringLiteral(" took no write to the repeater register 0xF12A");
        return why;
    }
    if (!r.identityRead) why << QStringLiteral("the identity register 0xF100 could not be read");
    else if (r.chipId != ChipIdSTV0903)
        why << QStringLiteral("unknown demodulator identity ") + Hex(r.chipId, 2);
    auto pass = [&](const ScratchPass& p, const QString& which) {
        if (p.testValueWritten == false)
            why << QStringLiteral("writing $5A to register X (0xF536) failed in the ") + which;
        const std::int32_t e = p.readErrors.value_or(0);
        if (e == ReadLoopCount)
            why << QStringLiteral("register X (0xF536) read back another value than written 1000 times in the ") + which;
        else if (e > 0)
            why << QStringLiteral("register X (0xF536): ") + number(e) +
                       QStringLiteral(" reading errors from 1000 in the ") + which;
        const std::int32_t w = p.patternWriteErrors.value_or(0), rd = p.patternReadErrors.value_or(0);
        if (w + rd > 0)
            why << QStringLiteral("register X (0xF536): ") + number(w) + QStringLiteral(" writing errors and ") +
                       number(rd) + QStringLiteral(" reading errors from 512 in the ") + which;
    };
    pass(r.firstPass, QStringLiteral("first pass"));
    if (r.image && !r.image->written)
        why << QStringLiteral("the demodulator default values could not be written (300 errors)");
    pass(r.secondPass, QStringLiteral("second pass"));
    return why;
}

}  // namespace frontend
