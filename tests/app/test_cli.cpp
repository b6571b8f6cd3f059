// The program as a bench engineer starts it: the real executable, its command
// line, its standard output and error.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include "app/options.h"
#include "sim/ts_source.h"
#include "support/program_run.h"
#include "support/test_support.h"
#include "support/ts_check.h"

namespace {

using testing_support::ProgramRun;
using testing_support::vesperbox;
using testing_support::writeFile;

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
    // Exit closes what is open: channel B, closed by the start-up, is not
    // closed again (a second close fails, and its dialog reads as a fault).
    EXPECT_FALSE(r.err.contains("dialog:")) << r.err.toStdString();
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
    const ProgramRun r = vesperbox({"--simulate", "--do", "BtnOpenB,BtnCloseB,BtnCloseA,wait 50,BtnOpenA,Exit1"});
    EXPECT_EQ(r.exitCode, 0);
    const QStringList after = r.out.mid(r.out.lastIndexOf(QString(74, '=')) + 1);
    EXPECT_EQ(after, QStringList({"FT2232H FIFO open for TS", "FT2232H FIFO closed for TS",
                                  "FT2232H  I2C is closed", "FT2232H  I2C is open"}));
}

// Every step is checked before the window opens: a typo must not leave an
// unattended run waiting for an Exit1 that never comes.
TEST(CommandLine, StepsAreCheckedBeforeStartUp) {
    struct Case {
        QStringList args;
        const char* says;
    };
    const Case cases[] = {
        {{"--do", "exit1"}, "'exit1': no control of that name"},
        {{"--do", "BtnOpenB,Nothing,Exit1"}, "'Nothing': no control of that name"},
        {{"--do", "wait,Exit1"}, "'wait': wait takes milliseconds"},
        {{"--do", "wait 5x,Exit1"}, "'wait 5x': wait takes milliseconds"},
        {{"--do", "wait -5,Exit1"}, "'wait -5': wait takes milliseconds"},
        {{"--do", "wait 0x10,Exit1"}, "'wait 0x10': wait takes milliseconds"},
        {{"--do", ""}, "no steps"},
        {{"--do", " , "}, "no steps"},
        {{"--do="}, "no steps"},
        {{"--do"}, "wants a list of steps"},
    };
    for (const Case& c : cases) {
        const ProgramRun r = vesperbox(QStringList{"--simulate"} + c.args);
        const std::string what = c.args.join(' ').toStdString();
        EXPECT_EQ(r.exitCode, 2) << what << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << what << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << what << ": the window started";
        if (QString(c.says).contains("no control")) {
            EXPECT_TRUE(r.err.contains("BtnOpenB") && r.err.contains("Exit1") && r.err.contains("UDPOnOff"))
                << "the valid names are listed: " << r.err.toStdString();
        }
    }
}

TEST(CommandLine, FaultsThatCouldNeverFireAreRefused) {
    for (const char* fail : {"--fail=FT_Bogus=2", "--fail=FT_open=2"}) {
        const ProgramRun r = vesperbox({"--simulate", fail, "--do", "Exit1"});
        EXPECT_EQ(r.exitCode, 2) << fail;
        EXPECT_TRUE(r.err.contains("FT_Open") && r.err.contains("FT_GetQueueStatus") &&
                    r.err.contains("FT_SetUSBParameters"))
            << fail << ": the valid names are listed: " << r.err.toStdString();
    }
    for (const QStringList& args :
         {QStringList{"--fail=FT_Open:2=4"}, QStringList{"--devices=1", "--fail=FT_Open:1=2"},
          QStringList{"--fail=FT_CreateDeviceInfoList:0=2"}, QStringList{"--fail=FT_Open:1=0"},
          QStringList{"--fail=FT_Open:1=18"}}) {
        const ProgramRun r = vesperbox(QStringList{"--simulate"} + args + QStringList{"--do", "Exit1"});
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("vesperbox: --fail=")) << r.err.toStdString();
    }
    // The last device index and the last status code are fine.
    const ProgramRun r = vesperbox({"--simulate", "--fail=FT_Open:1=17", "--fail=FT_Read=4@1000",
                                    "--do", "Exit1"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
}

TEST(CommandLine, StreamFileMustBeARegularFileOfPackets) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString text = dir.filePath("notes.txt");
    ASSERT_TRUE(writeFile(text, QByteArray(1000, 'x')));
    for (const QString& file : {dir.path(), QString("/proc/self/mem"), QString("/dev/zero"), text,
                                dir.filePath("missing.ts")}) {
        const ProgramRun r = vesperbox({"--simulate", "--ts-file=" + file, "--do", "Exit1"});
        EXPECT_EQ(r.exitCode, 1) << file.toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("vesperbox: ") && r.err.contains("'" + file + "'"))
            << file.toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << file.toStdString();
    }
    const QString clip = dir.filePath("clip.ts");
    QByteArray packets(7 * 188, '\xff');
    for (int i = 0; i < 7; ++i) packets[i * 188] = 0x47;
    ASSERT_TRUE(writeFile(clip, packets));
    EXPECT_EQ(vesperbox({"--simulate", "--ts-file=" + clip, "--do", "Exit1"}).exitCode, 0);
    const ProgramRun help = vesperbox({"--help"});
    EXPECT_TRUE(help.out.join('\n').contains(QString("at most %1 MiB").arg(sim::MaxTsFileBytes >> 20)));
}

TEST(CommandLine, OutputFilesAreCheckedBeforeTheWindowOpens) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString plain = dir.filePath("plain");
    ASSERT_TRUE(writeFile(plain, QByteArray()));
    // Paths that even root cannot write: under a missing folder, a folder, under a file.
    for (const QStringList& args :
         {QStringList{"--screenshot=" + dir.filePath("no/such/dir/s.png")},
          QStringList{"--screenshot=" + dir.path()},
          QStringList{"--i2c-trace=" + dir.filePath("no/such/dir/t.vcd")},
          QStringList{"--i2c-trace=" + plain + "/t.vcd"}}) {
        const ProgramRun r = vesperbox(QStringList{"--simulate"} + args + QStringList{"--do", "Exit1"});
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("cannot write the")) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << args.join(' ').toStdString();
    }
    // The check leaves nothing behind where the run did not get to write.
    const QString shot = dir.filePath("later.png");
    EXPECT_EQ(vesperbox({"--simulate", "--screenshot=" + shot, "--do", "Exit1"}).exitCode, 0);
    EXPECT_TRUE(QFile::exists(shot));
    EXPECT_EQ(vesperbox({"--simulate", "--screenshot=" + dir.filePath("x.png"), "--do", "Nothing"}).exitCode, 2);
    EXPECT_FALSE(QFile::exists(dir.filePath("x.png")));
}

TEST(CommandLine, NumbersAreDecimalAndQtKeepsItsOwnOptions) {
    for (const char* arg : {"--ts-rate=0x10", "--ts-rate=1e1", "--ts-rate=+8", "--devices=0x2",
                            "--usb-latency-us=0x10", "--fault=ts-stop-after=1e6",
                            "--fault=nack-rate=.5e-1"}) {
        const ProgramRun r = vesperbox({"--simulate", arg, "--do", "Exit1"});
        EXPECT_EQ(r.exitCode, 2) << arg;
    }
    EXPECT_EQ(vesperbox({"--simulate", "--ts-rate=12.5", "--fault=nack-rate=0.25", "--do", "Exit1"}).exitCode, 0);

    const ProgramRun qt = vesperbox({"-platform", "offscreen", "--simulate", "-reverse", "--do", "Exit1"});
    EXPECT_EQ(qt.exitCode, 0) << qt.err.toStdString();
    EXPECT_EQ(qt.out.last(), QString(74, '='));
    EXPECT_EQ(vesperbox({"--simulate", "-platform=offscreen", "--do", "Exit1"}).exitCode, 0);
    const ProgramRun missing = vesperbox({"--simulate", "--do", "Exit1", "-platform"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.err.contains("-platform")) << missing.err.toStdString();
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

TEST(CommandLine, SaysWhatIsMissingInsteadOfFailingSilentlyOrInsideQt) {
    ProgramRun r = vesperbox({"--simulate", "--devices=0", "--list-boards"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.contains("vesperbox: no board found")) << r.err.toStdString();

    r = vesperbox({"--simulate", "--screenshot=", "--do", "Exit1"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("--screenshot wants a file name")) << r.err.toStdString();

    // No display and no Qt platform chosen: Qt would abort (status 134).
    auto headless = [](const QStringList& args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
        p.setProcessEnvironment(env);
        p.start(VESPERBOX_EXE, args);
        ProgramRun run;
        if (!p.waitForFinished(60000)) return run;
        run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        run.out = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        run.err = QString::fromUtf8(p.readAllStandardError());
        return run;
    };
    r = headless({"--simulate", "--do", "Exit1"});
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
    for (const char* hint : {"no display found", "vesperbox check", "-platform offscreen"})
        EXPECT_TRUE(r.err.contains(hint)) << hint << ": " << r.err.toStdString();
    EXPECT_EQ(headless({"-platform", "offscreen", "--simulate", "--do", "Exit1"}).exitCode, 0);
    EXPECT_EQ(headless({"--simulate", "--list-boards"}).exitCode, 0) << "the commands need no display";
}
