// "vesperbox monitor" as an engineer runs it: one line per reading while the
// simulated demodulator holds (or loses) its lock, JSON lines for a script,
// the summary and the exit status that tell whether the signal held.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "support/program_run.h"
#include "support/qt_support.h"

namespace {

using testing_support::ProgramRun;
using testing_support::vesperbox;

// The reading lines (the summary excluded).
QStringList readings(const ProgramRun& r) {
    QStringList lines;
    for (const QString& l : r.out)
        if (!l.startsWith("monitor: ")) lines << l;
    return lines;
}

double cnOf(const QString& line) {
    const QRegularExpressionMatch m = QRegularExpression("C/N (-?[0-9.]+) dB").match(line);
    return m.hasMatch() ? m.captured(1).toDouble() : -999;
}

TEST(MonitorCommand, AReadingPerSecondWhileLockedThenTheSummary) {
    const ProgramRun r = vesperbox({"monitor", "--simulate", "--cn=7.5", "--seconds=3"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = readings(r);
    ASSERT_EQ(lines.size(), 3) << r.out.join('\n').toStdString();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(lines[i].startsWith(QStringLiteral("%1.0 s  locked").arg(i + 1, 4))) << lines[i].toStdString();
        EXPECT_TRUE(lines[i].contains("DVB-S2 QPSK 3/4")) << lines[i].toStdString();
        EXPECT_NEAR(cnOf(lines[i]), 7.5, 0.2) << lines[i].toStdString();
    }
    EXPECT_TRUE(r.out.last().startsWith("monitor: 3 readings, locked in 3, C/N ")) << r.out.last().toStdString();
    EXPECT_FALSE(r.out.join('\n').contains('\r')) << "piped output has no in-place updates";
}

TEST(MonitorCommand, NoLockOrALostLockFailsAndSaysWhen) {
    ProgramRun r = vesperbox({"monitor", "--simulate", "--signal=none", "--seconds=2"});
    EXPECT_EQ(r.exitCode, 1);
    QStringList lines = readings(r);
    ASSERT_EQ(lines.size(), 2);
    for (const QString& l : lines) {
        EXPECT_TRUE(l.contains("no lock")) << l.toStdString();
        EXPECT_FALSE(l.contains("C/N")) << "no C/N without a lock: " << l.toStdString();
    }
    EXPECT_TRUE(r.out.last().startsWith("monitor: 2 readings, locked in 0")) << r.out.last().toStdString();

    r = vesperbox({"monitor", "--simulate", "--signal=drops-after=1500", "--seconds=3"});
    EXPECT_EQ(r.exitCode, 1);
    lines = readings(r);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].contains(" locked ")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains("no lock")) << lines[1].toStdString();
    EXPECT_TRUE(r.out.last().contains("lock lost once")) << r.out.last().toStdString();
}

TEST(MonitorCommand, JsonLinesCarryEveryFigureAndTheSummaryLast) {
    const ProgramRun r = vesperbox({"monitor", "--simulate", "--json", "--interval=250", "--seconds=1",
                                    "--modcod=8psk-2/3", "--carrier-offset=-120", "--symbol-rate=22"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(r.out.size(), 5) << r.out.join('\n').toStdString();
    for (int i = 0; i < 4; ++i) {
        QJsonParseError e;
        const QJsonObject o = QJsonDocument::fromJson(r.out[i].toUtf8(), &e).object();
        ASSERT_EQ(e.error, QJsonParseError::NoError) << r.out[i].toStdString();
        EXPECT_NEAR(o["t"].toDouble(), 0.25 * (i + 1), 0.2);
        EXPECT_TRUE(o["locked"].toBool());
        EXPECT_EQ(o["modulation"].toString(), "8PSK");
        EXPECT_EQ(o["codeRate"].toString(), "2/3");
        EXPECT_NEAR(o["carrierOffsetKhz"].toDouble(), -120, 0.1);
        EXPECT_NEAR(o["symbolRateMsps"].toDouble(), 22, 1e-3);
        EXPECT_TRUE(o["errors"].isObject());
    }
    const QJsonObject summary = QJsonDocument::fromJson(r.out.last().toUtf8()).object()["summary"].toObject();
    EXPECT_EQ(summary["readings"].toInt(), 4);
    EXPECT_TRUE(summary["lockedThroughout"].toBool());
}

TEST(MonitorCommand, InitWritesTheImageAndTheTunerFirst) {
    const ProgramRun r = vesperbox({"monitor", "--simulate", "--init", "--seconds=1", "--verbose"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Writing demodulator default values ==> OK")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("ZavoRuraz initialization ==> OK"));
    EXPECT_FALSE(r.err.contains("we have : ")) << "no link test passes";
}

// The signal window as the command shows it: it ends with its time, leaves a
// picture when asked, and says the summary as the lines do.
TEST(MonitorCommand, TheWindowEndsWithItsTimeAndLeavesItsPicture) {
    QTemporaryDir dir;
    const QString shot = dir.filePath("signal.png");
    const ProgramRun r = vesperbox({"monitor", "--simulate", "--usb-timing=ideal", "--modcod=8psk-2/3", "--cn=12",
                                    "--window", "--seconds=2", "--screenshot=" + shot});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_FALSE(r.out.isEmpty());
    EXPECT_TRUE(r.out.last().startsWith("monitor: ")) << r.out.last().toStdString();
    const QImage image(shot);
    ASSERT_FALSE(image.isNull());
    EXPECT_GT(image.width(), 600);
}

TEST(MonitorCommand, UsageErrors) {
    for (const QStringList& args :
         {QStringList{"monitor", "--simulate", "--json", "--window"}, QStringList{"monitor", "--simulate", "--interval=10"},
          QStringList{"monitor", "--simulate", "--interval=2000", "--seconds=1"},
          QStringList{"monitor", "--simulate", "--min-cn=6"}, QStringList{"check", "--simulate", "--interval=500"}}) {
        const ProgramRun r = vesperbox(args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith("vesperbox: ")) << r.err.toStdString();
    }
    // A board without a demodulator: the set-up fails, and says where.
    const ProgramRun r = vesperbox({"monitor", "--simulate", "--fault=demod-absent", "--seconds=1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("NIM: no demodulator answers")) << r.err.toStdString();
}

}  // namespace
