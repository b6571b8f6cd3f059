// Ctrl+C, SIGTERM and SIGHUP: the window ends as its close box ends it, with
// the recording closed whole; check and regs end at once with 128 + N.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>
#include <thread>

#include "support/program_run.h"
#include "support/ts_check.h"
#include "support/udp_receiver.h"

namespace {

using testing_support::UdpReceiver;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t Chunk = 1316;

std::string name(int signal) {
    return signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "SIGHUP";
}

struct Stopped {
    bool finished = false;
    bool normalExit = false;
    int exitCode = -1;
    QStringList out;
    QString err;
};

// Starts the program, waits until a line of its standard output starts with
// `when`, lets it run on for afterMs, sends the signal and waits for the end.
Stopped stopWith(int signal, const QStringList& args, const QString& when, int afterMs, const QString& workDir) {
    QProcess p;
    testing_support::startVesperbox(p, args, workDir);
    Stopped s;
    if (!p.waitForStarted(10000)) return s;
    QString out;
    QElapsedTimer timer;
    timer.start();
    while (!out.contains(QRegularExpression("(^|\n)" + QRegularExpression::escape(when))) &&
           timer.elapsed() < 60000 && p.state() == QProcess::Running) {
        p.waitForReadyRead(100);
        out += QString::fromUtf8(p.readAllStandardOutput());
    }
    if (p.state() == QProcess::Running) {
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
        ::kill(static_cast<pid_t>(p.processId()), signal);
    }
    s.finished = p.waitForFinished(30000);
    if (!s.finished) {
        p.kill();
        p.waitForFinished();
    }
    s.normalExit = s.finished && p.exitStatus() == QProcess::NormalExit;
    s.exitCode = s.normalExit ? p.exitCode() : -1;
    out += QString::fromUtf8(p.readAllStandardOutput());
    s.out = out.split('\n', Qt::SkipEmptyParts);
    s.err = QString::fromUtf8(p.readAllStandardError());
    return s;
}

class StopSignalWhileRecording : public testing::TestWithParam<int> {};

TEST_P(StopSignalWhileRecording, EndsTheWindowLikeItsCloseBox) {
    const int signal = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    UdpReceiver player(true);
    ASSERT_TRUE(player.ok());
    const Stopped s = stopWith(signal,
                               {"--simulate", "--ts-rate=64", QString("--udp=127.0.0.1:%1").arg(player.port()),
                                "--do", "BtnOpenB,GetTSBtn,UDPOnOff,RecordOnOff,wait 60000,Exit1"},
                               "Started recording", 700, dir.path());
    ASSERT_TRUE(s.finished) << "the program did not end";
    ASSERT_TRUE(s.normalExit) << "the signal killed the program: " << s.err.toStdString();
    EXPECT_EQ(s.exitCode, 0) << s.err.toStdString();
    EXPECT_TRUE(s.err.contains(QString("vesperbox: %1: closing the window").arg(QString::fromStdString(name(signal)))))
        << s.err.toStdString();
    EXPECT_TRUE(s.out.contains("Recording stopped.")) << s.out.join('\n').toStdString();
    const QStringList health = s.out.filter(QRegularExpression("^TS health: "));
    ASSERT_EQ(health.size(), 1) << s.out.join('\n').toStdString();

    const QStringList recordings = QDir(dir.path()).entryList({"USB_*.TS"}, QDir::Files);
    ASSERT_EQ(recordings.size(), 1);
    const Bytes recorded = testing_support::readFile(dir.filePath(recordings[0]));
    ASSERT_GT(recorded.size(), 100 * Chunk) << "0.7 s at 8 MB/s";
    EXPECT_EQ(recorded.size() % Chunk, 0u) << "whole chunks";
    const testing_support::CounterScan scan = testing_support::scanCounters(recorded);
    EXPECT_TRUE(scan.inSync);
    EXPECT_EQ(testing_support::counterGaps(scan.counters), 0);
    // Everything that arrived is in the file: it ends with the chunk that
    // was sent last, and holds no more than the run counted.
    const Bytes sent = testing_support::joinWholeChunks(UdpReceiver::fromProgram(player.settle()));
    ASSERT_GE(sent.size(), recorded.size());
    EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), sent.end() - static_cast<std::ptrdiff_t>(recorded.size())))
        << "the recording misses what arrived last";
    const QRegularExpressionMatch bytes = QRegularExpression(", (\\d+) bytes in ").match(health[0]);
    ASSERT_TRUE(bytes.hasMatch()) << health[0].toStdString();
    EXPECT_GE(bytes.captured(1).toULongLong(), recorded.size());
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalWhileRecording, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) { return name(info.param); });

// The commands end at once with the shell's status for the signal; a report
// not yet written is not left half-done, and the trace is kept.
TEST(StopSignalCommands, EndWith128PlusTheSignalAndLeaveNoHalfFiles) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString report = dir.filePath("r.json");
    const QString trace = dir.filePath("calls.txt");
    {
        QFile f(report);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("good");
    }
    struct Case {
        int signal;
        int status;
        const char* name;
        const char* when;
    };
    for (const Case& c : {Case{SIGINT, 130, "SIGINT", "pass    tuner set-up"}, Case{SIGTERM, 143, "SIGTERM", "pass    NIM"},
                          Case{SIGHUP, 129, "SIGHUP", "pass    devices"}}) {
        const Stopped s = stopWith(c.signal,
                                   {"check", "--simulate", "--seconds=60", "--report=" + report, "--d2xx-trace=" + trace},
                                   c.when, 200, dir.path());
        ASSERT_TRUE(s.normalExit) << c.name << ": " << s.err.toStdString();
        EXPECT_EQ(s.exitCode, c.status) << c.name;
        EXPECT_TRUE(s.err.contains(QString("vesperbox: stopped by ") + c.name)) << s.err.toStdString();
        EXPECT_FALSE(s.out.join('\n').contains("verdict:")) << c.name;
        QFile r(report);
        ASSERT_TRUE(r.open(QIODevice::ReadOnly));
        EXPECT_EQ(r.readAll(), "good") << c.name;
        QFile t(trace);
        ASSERT_TRUE(t.open(QIODevice::ReadOnly)) << c.name << ": the trace was not kept";
        EXPECT_TRUE(t.readAll().contains("FT_Open(1)")) << c.name;
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"calls.txt", "r.json"}))
            << c.name << ": no temporary file left";
    }
}

}  // namespace
