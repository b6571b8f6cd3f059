// The files check, regs and the D2XX trace leave: whole or not at all, a
// device or FIFO written where it stands, and a full disk that fails the
// command instead of leaving an empty report beside a PASS.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#include "support/program_run.h"

namespace {

using testing_support::ProgramRun;
using testing_support::vesperbox;

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(path.toLocal8Bit().constData(), &st) == 0 ? st.st_mode : 0;
}

// A node of the test's own for /dev/null (minor 3) or /dev/full (7): run as
// root, a program that replaced device nodes would otherwise replace the
// machine's own. The machine's is used only where it cannot be replaced.
QString deviceNode(const QTemporaryDir& dir, const char* name, unsigned minor) {
    const QString own = dir.filePath(name);
    if (::mknod(own.toLocal8Bit().constData(), S_IFCHR | 0666, makedev(1, minor)) == 0) return own;
    if (::geteuid() != 0) return QString("/dev/") + name;
    return {};
}

QStringList entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Reads a FIFO on a thread of its own until its writer closes it.
class FifoReader {
public:
    explicit FifoReader(const QString& path) {
        fd_ = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        thread_ = std::thread([this] {
            // Until a writer came and went: before one comes, a read finds
            // the end of the file at once.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            char buf[4096];
            while (std::chrono::steady_clock::now() < until) {
                const ssize_t n = ::read(fd_, buf, sizeof buf);
                if (n > 0) got_.append(buf, static_cast<int>(n));
                else if (n == 0 && !got_.isEmpty()) break;
                else std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~FifoReader() { finish(); }
    QByteArray finish() {
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return got_;
    }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::thread thread_;
    QByteArray got_;
};

class ResultFiles : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir dir;
};

TEST_F(ResultFiles, AFifoIsWrittenToItsReaderAndNotReplaced) {
    const QString fifo = path("report.fifo");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    FifoReader reader(fifo);
    ASSERT_TRUE(reader.ok());
    const ProgramRun r = vesperbox({"check", "--simulate", "--seconds=1", "--report=" + fifo}, dir.path());
    const QByteArray got = reader.finish();
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(got).object()["verdict"].toString(), "pass") << got.left(200).toStdString();
    EXPECT_TRUE(S_ISFIFO(modeOf(fifo)));
    EXPECT_EQ(entries(dir.path()), QStringList{"report.fifo"});
}

// Before, the start-up check opened the FIFO to see whether it could be
// written, and waited there for a reader that never came.
TEST_F(ResultFiles, AFifoWithoutAReaderFailsTheCommandAndDoesNotHoldItUp) {
    const QString fifo = path("report.fifo");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const ProgramRun r = vesperbox({"regs", "--simulate", "--dump=" + fifo}, dir.path(), 60000);
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("could not write " + fifo + ": no program reads the FIFO")) << r.err.toStdString();
    EXPECT_TRUE(S_ISFIFO(modeOf(fifo)));

    const ProgramRun trace =
        vesperbox({"--simulate", "--d2xx-trace=" + fifo, "--do", "Exit1"}, dir.path(), 60000);
    EXPECT_EQ(trace.exitCode, 1);
    EXPECT_TRUE(trace.err.contains("cannot write the D2XX trace to '" + fifo + "': no program reads the FIFO"))
        << trace.err.toStdString();
    EXPECT_TRUE(trace.out.isEmpty()) << "the window did not start";
}

TEST_F(ResultFiles, ADeviceIsWrittenInPlace) {
    const QString node = deviceNode(dir, "null", 3);
    if (node.isEmpty()) GTEST_SKIP() << "no device node of the test's own";
    const ProgramRun r =
        vesperbox({"check", "--simulate", "--seconds=1", "--report=" + node, "--junit=" + node}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(S_ISCHR(modeOf(node))) << "the device node was replaced by a file";
    EXPECT_EQ(r.out.last(), "verdict: PASS");
}

// /proc/self/fd/1 stands for /dev/stdout: the same to the program, but no
// regression can replace it.
TEST_F(ResultFiles, StandardOutputTakesTheReportBeforeTheVerdict) {
    const ProgramRun r = vesperbox({"check", "--simulate", "--seconds=1", "--report=/proc/self/fd/1"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.last(), "verdict: PASS");
    const qsizetype open = r.out.indexOf("{");
    ASSERT_GE(open, 0) << r.out.join('\n').toStdString();
    const QByteArray json = r.out.mid(open, r.out.size() - 1 - open).join('\n').toUtf8();
    EXPECT_EQ(QJsonDocument::fromJson(json).object()["verdict"].toString(), "pass");
}

TEST_F(ResultFiles, AFullDeviceFailsTheCommandNamingTheFileAndTheReason) {
    const QString full = deviceNode(dir, "full", 7);
    if (full.isEmpty()) GTEST_SKIP() << "no device node of the test's own";
    ProgramRun r = vesperbox({"check", "--simulate", "--seconds=1", "--report=" + full}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("could not write " + full + ": No space left on device")) << r.err.toStdString();
    EXPECT_FALSE(r.out.contains("verdict: PASS"));
    EXPECT_TRUE(r.out.last().startsWith("verdict: FAIL at writing the results")) << r.out.last().toStdString();

    r = vesperbox({"--simulate", "--d2xx-trace=" + full, "--do", "Exit1"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("cannot write the D2XX trace to '" + full + "': No space left on device"))
        << r.err.toStdString();
    EXPECT_TRUE(S_ISCHR(modeOf(full)));
}

// A file system that fills up: a tmpfs of the test's own, mounted in a
// mount namespace of its own (no root needed where user namespaces are on).
class FullDisk : public ResultFiles {
protected:
    void SetUp() override {
        ResultFiles::SetUp();
        QProcess probe;
        probe.start("unshare", {"-rm", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs \"$0\"", dir.path()});
        if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
            GTEST_SKIP() << "cannot mount a tmpfs in a user namespace here";
    }

    // Runs script with $D a tmpfs of sizeKb on the test's folder and $VB the
    // program; what it prints, the program's standard error included.
    QString run(int sizeKb, const QString& script) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("D", dir.path());
        env.insert("VB", VESPERBOX_EXE);
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(dir.path());
        p.start("unshare", {"-rm", "sh", "-c",
                            QString("mount -t tmpfs -o size=%1k tmpfs \"$D\" || exit 9\n").arg(sizeKb) + script});
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return "timed out";
        }
        return QString::fromUtf8(p.readAll());
    }
};

TEST_F(FullDisk, ReportsFailAndTheGoodFilesStay) {
    const QString out = run(256, R"sh(
printf good > "$D/r.json"; printf good > "$D/j.xml"; printf good > "$D/regs.csv"
dd if=/dev/zero of="$D/fill" bs=4k 2>/dev/null
"$VB" check --simulate --seconds=1 --report="$D/r.json" --junit="$D/j.xml"; echo "check=$?"
"$VB" regs --simulate --dump="$D/regs.csv"; echo "regs=$?"
echo "r.json=$(cat "$D/r.json") j.xml=$(cat "$D/j.xml") regs.csv=$(cat "$D/regs.csv")"
echo "files:" $(ls -A "$D")
)sh");
    EXPECT_TRUE(out.contains("check=1")) << out.toStdString();
    EXPECT_TRUE(out.contains("regs=1")) << out.toStdString();
    EXPECT_FALSE(out.contains("verdict: PASS")) << out.toStdString();
    EXPECT_TRUE(out.contains("verdict: FAIL at writing the results")) << out.toStdString();
    EXPECT_TRUE(out.contains("/r.json: No space left on device")) << out.toStdString();
    EXPECT_TRUE(out.contains("/j.xml: No space left on device")) << out.toStdString();
    EXPECT_TRUE(out.contains("/regs.csv: No space left on device")) << out.toStdString();
    EXPECT_TRUE(out.contains("r.json=good j.xml=good regs.csv=good")) << out.toStdString();
    EXPECT_TRUE(out.contains("files: fill j.xml r.json regs.csv\n")) << "no temporary file left: " << out.toStdString();
}

TEST_F(FullDisk, ATraceThatFillsTheDiskFailsTheRunAndTheOldTraceStays) {
    // 8 kB left once the old trace has its page: the set-up alone traces
    // several times that (tens of kB with the board's real USB timing).
    const QString out = run(64, R"sh(
printf 'old trace' > "$D/calls.txt"
dd if=/dev/zero of="$D/fill" bs=4k count=13 2>/dev/null
"$VB" regs --simulate --read=MID --d2xx-trace="$D/calls.txt"; echo "regs=$?"
echo "calls.txt=$(cat "$D/calls.txt")"
echo "files:" $(ls -A "$D")
)sh");
    EXPECT_TRUE(out.contains("regs=1")) << out.toStdString();
    EXPECT_TRUE(out.contains("could not write the D2XX trace to '" + dir.path() + "/calls.txt': No space left on device"))
        << out.toStdString();
    EXPECT_TRUE(out.contains("calls.txt=old trace\n")) << out.toStdString();
    EXPECT_TRUE(out.contains("files: calls.txt fill\n")) << out.toStdString();
}

}  // namespace
