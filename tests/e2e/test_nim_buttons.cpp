// The I2C set-up button and the NIM test buttons of the window on the
// simulated board: the log lines, the error total and what reached the chips.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <memory>

#include "support/link_test_lines.h"
#include "support/simulated_channel_a.h"
#include "support/test_support.h"
#include "support/fake_network.h"
#include "support/qt_app.h"
#include "ui/main_window.h"

namespace {

using testing_support::cleanTest;
using testing_support::expectLines;

using testing_support::Bytes;

struct WindowOnBoard : testing_support::SimulatedChannelA {
    testing_support::FakeNetwork network;
    std::unique_ptr<ui::TForm1> form;

    explicit WindowOnBoard(const sim::ChannelAOptions& options) : SimulatedChannelA(options) {
        testing_support::qtApp();
        form = std::make_unique<ui::TForm1>(ui::Services{lib, clock, dialogs, network, [] {}});
        // What the console does when channel A opens.
        form->Channels.Open_USB_Device_A();
        form->I2C.SetChannelAOpen(true);
        form->Model.update([](console::ConsoleState& s) { s.channelA = console::ChannelState::Open; });
    }
    explicit WindowOnBoard(std::uint8_t demodAddress) : WindowOnBoard(testing_support::nimAt(demodAddress)) {}

    QStringList log() const { return form->LogText().split('\n'); }
    QStringList logFrom(int first) const { return log().mid(first); }
    QString errors() const { return form->NbI2CerrorsTxt->text(); }
};

TEST(InitI2CButton, SetsTheControllerUpAndOpensTheNimButtons) {
    WindowOnBoard w(0xD4);
    ui::TForm1& f = *w.form;
    f.InitI2CBtnClick();
    // Line 0 is the log's design-time text, cleared only by the start-up.
    EXPECT_EQ(w.logFrom(1),
              (QStringList{"****************** I2C controler INIT  *******************",
                           "I2C controler INIT OK", "OK MPSSE is empty", "Init MPSSE I2C done!",
                           QString(59, '*')}));
    EXPECT_EQ(f.I2C.ClockDivisor, 149u);
    EXPECT_EQ(w.lib.writes.back(), (Bytes{0x8A, 0x97, 0x8D, 0x80, 0x13, 0x13, 0x82,
                                                      0x0F, 0x0F, 0x86, 0x95, 0x00, 0x85}));
    EXPECT_TRUE(f.TestSharpBtn->isEnabled());
    EXPECT_TRUE(f.TestEardaBtn->isEnabled());
    EXPECT_TRUE(f.LampIsGreen(f.LedI2C));
    EXPECT_TRUE(f.Console.I2CReady());
    EXPECT_EQ(f.I2Cstatus->text(), "Open");
    EXPECT_GE(w.clock.sleptMs, 30u);
}

TEST(InitI2CButton, FailedSynchronisationChangesNoControl) {
    sim::ChannelAOptions o = testing_support::nimAt(0xD4);
    o.faults.mpsseSilent = true;  // no echo of the bad commands
    WindowOnBoard w(o);
    ui::TForm1& f = *w.form;
    const bool sharpBefore = f.TestSharpBtn->isEnabled();
    const QString status = f.I2Cstatus->text();
    f.InitI2CBtnClick();
    EXPECT_EQ(w.logFrom(1), (QStringList{"****************** I2C controler INIT  *******************",
                                         "I2C controler INIT NOT OK"}));
    EXPECT_EQ(f.TestSharpBtn->isEnabled(), sharpBefore);
    EXPECT_FALSE(f.Console.I2CReady());
    EXPECT_FALSE(f.LampIsGreen(f.LedI2C));
    EXPECT_EQ(f.I2Cstatus->text(), status);
}

TEST(NimTest, CleanEardatekRunTunesAndReadsBack) {
    WindowOnBoard w(0xD4);
    ui::TForm1& f = *w.form;
    f.InitI2CBtnClick();
    const int first = static_cast<int>(w.log().size());
    f.TestEardaBtnClick();
    QStringList expected = cleanTest();
    expected << QString(70, 'x') << QString(20, ' ') + "Init ZavoRuraz Eardatek" + QString(27, ' ')
             << QString(70, '-') << "ZavoRuraz initialization ==> OK"
             << "Reading ZavoRuraz Eardatek setup" << "Reading OK";
    expectLines(w.logFrom(first), expected);
    EXPECT_EQ(f.Link.DemodAddress, 0xD4);
    EXPECT_EQ(f.Link.I2CErrorCount, 0);
    EXPECT_EQ(f.NbI2CerrorsTxt->text(), "0");
    EXPECT_EQ(w.demod().peek(0xF536), 0x00);  // last pattern value, not the image's 0x22
    EXPECT_EQ(w.monitor.completedWritesTo(0xC0), 11);
    EXPECT_EQ(w.demod().peek(0xF12A), 0x48);
}

TEST(NimTest, FailedImageCosts300AndTheTestGoesOn) {
    sim::ChannelAOptions o = testing_support::nimAt(0xD4);
    o.faults.imageFailsAt = 10;  // 0xF140, entry 10 of the image, used nowhere else
    WindowOnBoard w(o);
    ui::TForm1& f = *w.form;
    f.InitI2CBtnClick();
    f.TestEardaBtnClick();
    const QStringList log = w.log();
    EXPECT_TRUE(log.contains("Problem writting demodulator default values"));
    EXPECT_FALSE(log.contains("Writing demodulator default values ==> OK"));
    EXPECT_FALSE(log.contains(QRegularExpression("^time to do it: ")));
    EXPECT_EQ(f.NbI2CerrorsTxt->text(), "300");
    EXPECT_TRUE(log.contains("Reading OK"));
}

// The counting rules (a failed read counts twice, a failed image 300) are
// the front end's and are tested there on register access without a bus.

// What the headless check reads from a NIM test: a demodulator that answers
// and a tuner that does not are two different faults.
TEST(NimTest, ResultSaysWhetherTheTunerTookItsSetUp) {
    for (const bool tunerThere : {true, false}) {
        for (const std::uint8_t address : {std::uint8_t{0xD0}, std::uint8_t{0xD4}}) {
            sim::ChannelAOptions o = testing_support::nimAt(address);
            o.faults.tunerAbsent = !tunerThere;
            WindowOnBoard w(o);
            ui::TForm1& f = *w.form;
            f.InitI2CBtnClick();
            const frontend::LinkTestReport& r = address == 0xD4 ? f.Link.TestEarda() : f.Link.TestSharp();
            EXPECT_TRUE(r.demodFound);
            EXPECT_EQ(r.errors, 0);
            ASSERT_TRUE(r.tuner);
            EXPECT_EQ(r.tuner->ok(), tunerThere) << int(address);
        }
    }
}

}  // namespace
