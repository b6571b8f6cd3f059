// The simulated signal from the command line: the options reach the
// demodulator's registers, which the chip's own tables read back, and the
// options that do not go together are a usage error.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include "catalogues/stv0903_signal.h"
#include "support/program_run.h"

namespace {

using testing_support::vesperbox;
namespace S = STV0903Signal;

// The value regs printed for one register, "NAME (0xADDR) = 0xVV".
int readRegister(const QStringList& extra, const QString& reg) {
    QStringList args{"regs", "--simulate", "--read=" + reg};
    args += extra;
    const auto r = vesperbox(args);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    if (r.out.size() != 1) return -1;
    const auto m = QRegularExpression(" = 0x([0-9A-F]{2})$").match(r.out.first());
    return m.hasMatch() ? m.captured(1).toInt(nullptr, 16) : -1;
}

TEST(SignalCommandLine, NoiseRegistersReadBackTheCnGivenThroughTheDvbS2Table) {
    const int high = readRegister({"--cn=7.5"}, "NNOSPLHT1");
    const int low = readRegister({"--cn=7.5"}, "NNOSPLHT0");
    ASSERT_GE(high, 0);
    ASSERT_GE(low, 0);
    EXPECT_NEAR(S::Lookup(S::Dvbs2CnTable, high << 8 | low), 7.5, 0.2);
    EXPECT_EQ(readRegister({"--modcod=16apsk-3/4"}, "DMDMODCOD"), 19 << 2);
    EXPECT_EQ(readRegister({"--signal=none"}, "DSTATUS"), 0x00);
    EXPECT_EQ(readRegister({}, "DSTATUS"), 0xE8);
}

TEST(SignalCommandLine, BadOrClashingOptionsAreUsageErrors) {
    for (const QStringList& bad : {QStringList{"--cn=ten"}, QStringList{"--system=dvbs", "--modcod=8psk-2/3"},
                                   QStringList{"--modcod=qpsk-7/8", "--system=dvbs2"}}) {
        const auto r = vesperbox(QStringList{"regs", "--simulate", "--read=MID"} + bad);
        EXPECT_EQ(r.exitCode, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(bad.last().section('=', 0, 0))) << r.err.toStdString();
    }
    const auto help = vesperbox({"--help"});
    for (const char* option : {"--signal=locked", "--signal=locks-after=MS", "--modcod=MOD-R/R", "--cn=DB",
                               "--level=DBM", "--ber=X", "--carrier-offset=KHZ", "--symbol-rate=MSPS"})
        EXPECT_TRUE(help.out.join('\n').contains(option)) << option;
}

}  // namespace
