// The NIM tests' logic on register access without a bus: what the link test
// asks of the chips and in which order, how it counts, what its report says
// and the lines rendered from it, for clean chips and for every kind of fault
// the front end can see.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include "frontend/demod_image.h"
#include "frontend/link_test.h"
#include "frontend/link_test_log.h"
#include "frontend/tuners.h"
#include "support/fake_registers.h"
#include "support/link_test_lines.h"
#include "support/qt_support.h"

namespace {

using testing_support::FakeRegisters;
using Access = FakeRegisters::Access;

struct LogView : frontend::LinkTestView {
    QStringList log;
    QString total = QStringLiteral("0000");
    void AppendLog(const QString& line) override { log << line; }
    void ShowErrorTotal(const QString& text) override { total = text; }
};

struct Nim {
    explicit Nim(std::uint8_t demod = frontend::DemodEardatek) : chips(demod) {}
    FakeRegisters chips;
    LogView view;
    frontend::LinkTest test{chips, view};
};

// A clean test of one NIM, tuner included; "~" marks a line matched as a
// pattern.
QStringList cleanLines(bool eardatek) {
    QStringList l = testing_support::cleanTest();
    l << QString(70, 'x');
    if (eardatek) {
        l << QString(20, ' ') + "Init ZavoRuraz Eardatek" + QString(27, ' ') << QString(70, '-')
          << "ZavoRuraz initialization ==> OK" << "Reading ZavoRuraz Eardatek setup" << "Reading OK";
    } else {
        l << QString(20, ' ') + "Init ZavoRuraz Sharp/Samsung" + QString(22, ' ') << QString(70, '-')
          << "ZavoRuraz initialization ==> OK";
    }
    return l;
}

using testing_support::expectLines;

TEST(LinkTest, CleanRunsOfBothNimsAskTheChipsInOrderAndCountNothing) {
    for (const std::uint8_t demod : {frontend::DemodEardatek, frontend::DemodSharp}) {
        SCOPED_TRACE(int(demod));
        Nim n(demod);
        const frontend::LinkTestReport& r =
            demod == frontend::DemodEardatek ? n.test.TestEarda() : n.test.TestSharp();
        expectLines(n.view.log, cleanLines(demod == frontend::DemodEardatek));
        EXPECT_EQ(n.view.total, "0");
        EXPECT_TRUE(r.demodFound && r.completed);
        EXPECT_EQ(r.errors, 0);
        EXPECT_EQ(r.chipId, 0x20);
        EXPECT_EQ(r.firstPass.readErrors, 0);
        EXPECT_EQ(r.secondPass.patternReadErrors, 0);
        ASSERT_TRUE(r.image && r.tuner);
        EXPECT_TRUE(r.image->written);
        EXPECT_TRUE(r.tuner->ok());
        EXPECT_EQ(r.tuner->readBack.has_value(), demod == frontend::DemodEardatek);

        // Repeater off, identity, then per pass one write, 1000 reads and
        // 256 x (write, read, write, read); the image between the passes.
        const auto& a = n.chips.accesses;
        ASSERT_GE(a.size(), 2u + 2 * (1 + 1000 + 1024) + 275);
        EXPECT_EQ(a[0], (Access{demod, true, 0xF12A, 0x48, true}));
        EXPECT_EQ(a[1], (Access{demod, false, 0xF100, 0x20, true}));
        EXPECT_EQ(a[2], (Access{demod, true, 0xF536, 0x5A, true}));
        EXPECT_EQ(a[1003], (Access{demod, true, 0xF536, 0x00, true}));
        EXPECT_EQ(a[1005], (Access{demod, true, 0xF536, 0xFF, true}));
        const std::size_t image = 2 + 1 + 1000 + 1024;
        for (std::size_t i = 0; i < frontend::DemodImage.size(); ++i) {
            const auto& e = frontend::DemodImage[i];
            ASSERT_EQ(a[image + i], (Access{demod, true, e.reg, e.isAddress ? demod : e.value, true})) << i;
        }
        // The second pass ends on 255 - 255: the scratch register holds 0,
        // not the image's 0x22.
        EXPECT_EQ(n.chips.peek(demod, 0xF536), 0x00);
        EXPECT_EQ(n.chips.peek(demod, 0xF12A), 0x48);
    }
}

TEST(LinkTest, ReadsThatFailCountTwiceAndWrongValuesOnce) {
    // Every read of the scratch register fails and leaves 0.
    Nim failing;
    failing.chips.fails = [](const Access& a) { return !a.write && a.reg == 0xF536; };
    failing.test.TestEarda();
    EXPECT_EQ(failing.view.log.count("we have : 2000 reading errors from 1000"), 2);
    // The two writes of 0 in each pass match the 0 a failed read leaves.
    EXPECT_EQ(failing.view.log.count("we have : 0 writing errors and 1022 reading errors from 512"), 2);
    EXPECT_EQ(failing.test.I2CErrorCount, 2 * (2000 + 1022));
    EXPECT_EQ(failing.view.total, QString::number(2 * (2000 + 1022)));

    // Every read comes back, with a value that never changes: exactly 1000
    // errors, which the log words as a write that did not take.
    Nim stuck;
    stuck.chips.ignoresWrites = {0xF536};
    stuck.chips.chips[0xD4][0xF536] = 0x33;
    const frontend::LinkTestReport& r = stuck.test.TestEarda();
    EXPECT_TRUE(stuck.view.log.contains("writing at register X failed"));
    EXPECT_TRUE(stuck.view.log.contains("writing in register X failed"));
    EXPECT_EQ(r.firstPass.readErrors, 1000);
    // Of the 512 values written only the two 0x33 come back.
    EXPECT_EQ(r.firstPass.patternReadErrors, 510);
    EXPECT_EQ(r.errors, 2 * (1000 + 510));
    const QStringList why = frontend::LinkTestFindings(r);
    ASSERT_FALSE(why.isEmpty());
    EXPECT_TRUE(why[0].contains("register X (0xF536) read back another value than written 1000 times in the first pass"))
        << why[0].toStdString();
}

TEST(LinkTest, AFailedWriteOfTheTestValueCountsOne) {
    Nim n;
    n.chips.fails = [](const Access& a) { return a.write && a.reg == 0xF536 && a.value == 0x5A; };
    const frontend::LinkTestReport& r = n.test.TestEarda();
    EXPECT_EQ(n.view.log.count("ERROR : writing $5A at address X  failed"), 2);
    EXPECT_EQ(r.firstPass.testValueWritten, false);
    // The reads find the register's 0, and the pattern's two writes of 0x5A
    // fail as well, each with its read back wrong.
    EXPECT_EQ(r.firstPass.readErrors, 1000);
    EXPECT_TRUE(n.view.log.contains("we have : 2 writing errors and 2 reading errors from 512"));
    EXPECT_EQ(r.firstPass.errors(), 1 + 1000 + 2 + 2);
}

TEST(LinkTest, AFailedImageCosts300StopsAtItsEntryAndTheTestGoesOn) {
    const std::size_t k = 100;  // the entry that fails, counted from 1
    const std::uint16_t failing = frontend::DemodImage[k - 1].reg;
    Nim n;
    n.chips.fails = [failing](const Access& a) { return a.write && a.reg == failing; };
    const frontend::LinkTestReport& r = n.test.TestEarda();
    EXPECT_TRUE(n.view.log.contains("Problem writting demodulator default values"));
    EXPECT_FALSE(n.view.log.contains(QRegularExpression("^time to do it: ")));
    EXPECT_EQ(r.errors, 300);
    EXPECT_EQ(n.view.total, "300");
    ASSERT_TRUE(r.image);
    EXPECT_FALSE(r.image->written);
    EXPECT_TRUE(r.completed) << "the second pass runs all the same";
    // Entries after the failing one are not attempted.
    EXPECT_EQ(n.chips.count(true, frontend::DemodImage[k].reg), 0);
    EXPECT_EQ(n.chips.count(true, frontend::DemodImage[k - 2].reg), 1);
    EXPECT_TRUE(frontend::LinkTestFindings(r).join(' ').contains("default values"));
}

TEST(LinkTest, NobodyAtTheAddressLooksLikeTheWrongNim) {
    Nim n(frontend::DemodSharp);  // the Eardatek button, a Sharp/Samsung NIM fitted
    const frontend::LinkTestReport& r = n.test.TestEarda();
    EXPECT_EQ(n.view.log, (QStringList{QString(73, '-'), "ERROR: Demodulator not found !",
                                       "error in NIM choice(Sharp / Eardatek)? or I2C link to NIM not working"}));
    EXPECT_EQ(n.view.total, "????????");
    EXPECT_EQ(r.errors, 9999999);
    EXPECT_FALSE(r.demodFound);
    EXPECT_FALSE(r.tuner) << "the tuner is not touched";
    EXPECT_EQ(n.chips.accesses.size(), 1u);
    // The bare link test leaves the total it found on the label.
    n.test.DemodAddress = frontend::DemodEardatek;
    EXPECT_FALSE(n.test.TestDemod());
    EXPECT_EQ(n.view.total, "9999999");
}

TEST(LinkTest, AnUnknownIdentityIsSaidAndTheTestStillTunes) {
    Nim n;
    n.chips.chips[0xD4][0xF100] = 0x31;
    const frontend::LinkTestReport& r = n.test.TestEarda();
    EXPECT_TRUE(n.view.log.contains("we get the value = 49"));
    EXPECT_TRUE(n.view.log.contains("ERROR : Unknown Demodulator"));
    EXPECT_EQ(r.errors, 0);
    ASSERT_TRUE(r.tuner);
    EXPECT_TRUE(r.tuner->ok());

    Nim unreadable;
    unreadable.chips.fails = [](const Access& a) { return !a.write && a.reg == 0xF100; };
    unreadable.test.TestEarda();
    EXPECT_TRUE(unreadable.view.log.contains("ERREUR: impossible to read the value"));
    EXPECT_EQ(unreadable.test.I2CErrorCount, 0);
}

// A link lost anywhere ends the test there with one line that keeps the
// count so far, and the label shows no number, which would read as a result.
TEST(LinkTest, ALostLinkEndsTheTestWithOneLineAndNoTotal) {
    const struct {
        std::uint64_t at;     // transaction that loses the link
        QString lastStarted;  // the line before the lost one
    } cases[] = {{1, QString(73, '-')},
                 {2, "Trying to get the Demodulator serial number"},
                 {500, "trying to read 1000 times register X"},
                 {1500, "test: 512 writing/reading the Demodulator"},
                 {2100, QString(70, '-')},  // the end of the image's title
                 {2400, "we try to do 1000 readings of register X after demodulator init"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        Nim n;
        n.chips.loseLinkAt = c.at;
        const frontend::LinkTestReport& r = n.test.TestEarda();
        const QString lost = "ERROR : I2C link lost at FT_Write A - General IO error... test stopped, Nb I2C errors = 0";
        ASSERT_GE(n.view.log.size(), 2);
        EXPECT_EQ(n.view.log.last(), lost);
        EXPECT_EQ(n.view.log.count(lost), 1);
        EXPECT_EQ(n.view.log[n.view.log.size() - 2], c.lastStarted);
        EXPECT_EQ(n.view.total, "????????");
        EXPECT_FALSE(r.completed);
        ASSERT_TRUE(r.linkLoss);
        EXPECT_EQ(r.linkLoss->caption, "FT_Write A");
        EXPECT_FALSE(r.tuner);
        EXPECT_FALSE(n.view.log.contains("ERROR: Demodulator not found !"));
        EXPECT_EQ(frontend::LinkTestFindings(r), QStringList{"I2C link lost at FT_Write A - General IO error..."});
    }
}

TEST(TunerTables, EachRegisterGoesThroughTheRepeaterInOrderWithItsSettlingTime) {
    Nim eardatek;
    ASSERT_TRUE(frontend::WriteSTB6100Defaults(eardatek.chips, 0xD4));
    std::vector<std::string> expected;
    const char* values[] = {"E1", "5E", "26", "38", "3E", "C0", "DC", "8F", "4D", "EB", "DE"};
    for (int r = 1; r <= 11; ++r)
        expected.push_back(std::string("D4>C0:0") + "0123456789AB"[r] + "=" + values[r - 1]);
    EXPECT_EQ(eardatek.chips.tunerLog, expected);
    // Each register: 1000 + 100 us around the repeater, then 10 ms.
    EXPECT_EQ(eardatek.chips.delayedUs, 11u * (1000 + 100 + 10000));
    EXPECT_EQ(eardatek.chips.count(true, 0xF12A), 22);

    Nim sharp(frontend::DemodSharp);
    ASSERT_TRUE(frontend::WriteSTV6110Defaults(sharp.chips, 0xD0));
    EXPECT_EQ(sharp.chips.tunerLog, (std::vector<std::string>{"D0>C0:00=5F", "D0>C0:01=18", "D0>C0:02=E7",
                                                              "D0>C0:03=7F", "D0>C0:04=00"}));
}

TEST(TunerTables, ASilentTunerOrACoarseTimerStopsAtTheFirstRegister) {
    Nim silent;
    silent.chips.silentTuners = {0xC0};
    EXPECT_FALSE(frontend::WriteSTB6100Defaults(silent.chips, 0xD4));
    EXPECT_EQ(silent.chips.tunerLog, std::vector<std::string>{"D4>C0:01=E1 nack"});
    EXPECT_EQ(silent.chips.peek(0xD4, 0xF12A), 0x48) << "the repeater is switched off again";

    Nim coarse;
    coarse.chips.coarseTimer = true;
    EXPECT_FALSE(frontend::WriteSTV6110Defaults(coarse.chips, 0xD4));
    EXPECT_TRUE(coarse.chips.tunerLog.empty());

    // The Eardatek read-back reports a tuner that took its table but cannot
    // be read, and the result says both.
    Nim unreadable;
    unreadable.test.DemodAddress = 0xD4;
    unreadable.chips.silentTuners = {0xC0};
    EXPECT_FALSE(unreadable.test.SetUpEardaTuner());
    EXPECT_TRUE(unreadable.view.log.contains("Problem with ZavoRuraz initialization"));
    EXPECT_EQ(unreadable.view.log.last(), "Reading failure!!!!");
}

}  // namespace
