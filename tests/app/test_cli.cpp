// The program as a bench engineer starts it: the real executable, its command
// line, its standard output and error.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include "app/options.h"
#include "support/test_support.h"

namespace {

struct ProgramRun {
    int exitCode = -1;
    QStringList out;
    QString err;
};

ProgramRun vesperbox(const QStringList& args, const QString& workDir = QDir::tempPath()) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(workDir);
    p.start(VESPERBOX_EXE, args);
    ProgramRun r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        r.err = "timed out";
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

}  // namespace

TEST(StepList, SplitsOnCommasAndTrims) {
    EXPECT_EQ(app::splitSteps("BtnOpenB, wait 300 ,Exit1,,"),
              (std::vector<std::string>{"BtnOpenB", "wait 300", "Exit1"}));
    EXPECT_TRUE(app::splitSteps(" , ").empty());
}

TEST(CommandLine, StartUpLinesInOrderThenExit) {
    const ProgramRun r = vesperbox({"--simulate", "--do", "Exit1"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_GE(r.out.size(), 6);
    EXPECT_EQ(r.out[0], "FT2232H  I2C is open");
    EXPECT_EQ(r.out[1], "FT2232H FIFO open for TS");
    EXPECT_TRUE(r.out[2].startsWith(QString::fromUtf8("For I2C,we will use device N° ")));
    EXPECT_TRUE(r.out[3].startsWith(QString::fromUtf8("For TS,we will use device N° ")));
    EXPECT_EQ(r.out[4], "FT2232H FIFO closed for TS");
    EXPECT_EQ(r.out.last(), QString(74, '='));
    // Exit closes channel B again although it is closed: the board says so.
    EXPECT_TRUE(r.err.contains("dialog: FT_CloseB - Invalid handle..."));
}

TEST(CommandLine, NoDeviceAndInjectedFailures) {
    ProgramRun r = vesperbox({"--simulate", "--devices=0", "--do", "Exit1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, QStringList({"No FT2232H or no power on it", QString(74, '=')}));

    r = vesperbox({"--simulate", "--fail=FT_Open:1=2", "--do", "BtnOpenA,Exit1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("dialog: FT_OpenB - Device not found...")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("step 'BtnOpenA': the button is disabled, click ignored"));
    EXPECT_FALSE(r.out.contains("FT2232H FIFO open for TS"));
}

TEST(CommandLine, StepsClickLikeTheOperator) {
    const ProgramRun r = vesperbox({"--simulate", "--do", "BtnOpenB,BtnCloseB,BtnCloseA,wait 50,BtnOpenA,Nothing,Exit1"});
    EXPECT_EQ(r.exitCode, 0);
    const QStringList after = r.out.mid(r.out.lastIndexOf(QString(74, '=')) + 1);
    EXPECT_EQ(after, QStringList({"FT2232H FIFO open for TS", "FT2232H FIFO closed for TS",
                                  "FT2232H  I2C is closed", "FT2232H  I2C is open"}));
    EXPECT_TRUE(r.err.contains("step 'Nothing': no control of that name"));
}

TEST(CommandLine, RejectsWhatItDoesNotKnow) {
    for (const QStringList& args : {QStringList{"--bogus"}, QStringList{"--devices=4"},
                                    QStringList{"--fail=FT_Open"}, QStringList{"--backend=x"}}) {
        const ProgramRun r = vesperbox(args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("vesperbox: "));
    }
    const ProgramRun help = vesperbox({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--simulate", "--devices=N", "--fail=", "--do", "--screenshot=",
                               "--backend=", "--show-serial-settings"})
        EXPECT_TRUE(help.out.join('\n').contains(option)) << option;
}

TEST(CommandLine, ScreenshotOfTheMainWindowOrTheSettingsDialog) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString main = dir.filePath("main.png");
    const QString setup = dir.filePath("setup.png");
    EXPECT_EQ(vesperbox({"--simulate", "--screenshot=" + main, "--do", "Exit1"}).exitCode, 0);
    EXPECT_EQ(vesperbox({"--simulate", "--show-serial-settings", "--screenshot=" + setup, "--do",
                         "Exit1"}).exitCode, 0);
    const QImage mainShot(main);
    const QImage setupShot(setup);
    ASSERT_FALSE(mainShot.isNull());
    ASSERT_FALSE(setupShot.isNull());
    EXPECT_EQ(mainShot.width(), 593);
    EXPECT_GE(mainShot.height(), 680);
    EXPECT_EQ(setupShot.size(), QSize(556, 273));
}
