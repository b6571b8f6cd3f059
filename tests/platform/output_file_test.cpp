// Result files: whole or not at all, written in place where the path is not
// a regular file, and never waiting on a FIFO nobody reads.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#include "platform/output_file.h"

namespace {

using platform::OutputFile;

std::string readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "(missing)";
    return f.readAll().toStdString();
}

bool writeText(const QString& path, const char* text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == static_cast<qint64>(std::strlen(text));
}

QStringList entries(const QTemporaryDir& dir) {
    return QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A node of the test's own for /dev/null (minor 3) or /dev/full (7): run as
// root, a writer that replaced device nodes would otherwise replace the
// machine's own. The machine's is used only where it cannot be replaced.
std::string deviceNode(const QTemporaryDir& dir, const char* name, unsigned minor) {
    const std::string own = dir.filePath(name).toStdString();
    if (::mknod(own.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0) return own;
    if (::geteuid() != 0) return std::string("/dev/") + name;
    return {};
}

class OutputFileTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    std::string at(const char* name) const { return dir.filePath(name).toStdString(); }
    QTemporaryDir dir;
    std::string reason;
};

TEST_F(OutputFileTest, ARegularFileIsReplacedWholeAndKeepsItsRights) {
    const std::string path = at("r.json");
    ASSERT_TRUE(writeText(QString::fromStdString(path), "old"));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    {
        auto f = OutputFile::open(path, &reason);
        ASSERT_TRUE(f) << reason;
        EXPECT_TRUE(f->write("new "));
        EXPECT_EQ(readAll(QString::fromStdString(path)), "old") << "nothing shows before the commit";
        EXPECT_TRUE(f->write("text"));
        EXPECT_TRUE(f->commit(&reason)) << reason;
    }
    EXPECT_EQ(readAll(QString::fromStdString(path)), "new text");
    EXPECT_EQ(modeOf(path) & 07777, 0640u);
    EXPECT_EQ(entries(dir), QStringList{"r.json"}) << "no temporary file left";

    // A new file, and one written through a symbolic link: the link stays.
    ASSERT_TRUE(platform::writeOutputFile(at("new.csv"), "a,b\n", &reason)) << reason;
    EXPECT_EQ(readAll(dir.filePath("new.csv")), "a,b\n");
    ASSERT_EQ(::symlink("r.json", at("link.json").c_str()), 0);
    ASSERT_TRUE(platform::writeOutputFile(at("link.json"), "via link", &reason)) << reason;
    EXPECT_TRUE(S_ISLNK(modeOf(at("link.json"))));
    EXPECT_EQ(readAll(QString::fromStdString(path)), "via link");
}

TEST_F(OutputFileTest, AnUncommittedReportLeavesTheOldFileAndATraceIsKept) {
    const std::string report = at("report.json");
    const std::string trace = at("calls.txt");
    ASSERT_TRUE(writeText(QString::fromStdString(report), "good"));
    {
        auto f = OutputFile::open(report, &reason);
        ASSERT_TRUE(f);
        f->write("half of a");
    }
    EXPECT_EQ(readAll(QString::fromStdString(report)), "good");
    {
        auto f = OutputFile::open(trace, &reason, OutputFile::Unfinished::Keep);
        ASSERT_TRUE(f);
        f->write("last lines\n");
    }
    EXPECT_EQ(readAll(QString::fromStdString(trace)), "last lines\n");
    EXPECT_EQ(entries(dir), (QStringList{"calls.txt", "report.json"}));
}

TEST_F(OutputFileTest, AFullDeviceFailsTheFileWithTheSystemsReason) {
    const std::string full = deviceNode(dir, "full", 7);
    if (full.empty()) GTEST_SKIP() << "no device node of the test's own";
    auto f = OutputFile::open(full, &reason);
    ASSERT_TRUE(f) << reason;
    EXPECT_FALSE(f->write("report"));
    EXPECT_TRUE(f->failed());
    EXPECT_FALSE(f->write("more")) << "a failure sticks";
    EXPECT_FALSE(f->commit(&reason));
    EXPECT_EQ(reason, "No space left on device");
    EXPECT_TRUE(S_ISCHR(modeOf(full)));
}

TEST_F(OutputFileTest, DevicesAreWrittenInPlace) {
    const std::string node = deviceNode(dir, "null", 3);
    if (node.empty()) GTEST_SKIP() << "no device node of the test's own";
    ASSERT_TRUE(platform::writeOutputFile(node, "gone", &reason)) << reason;
    EXPECT_TRUE(S_ISCHR(modeOf(node)));
    EXPECT_TRUE(platform::checkOutputPath(node, &reason)) << reason;
    EXPECT_TRUE(S_ISCHR(modeOf(node)));
}

TEST_F(OutputFileTest, AFifoIsWrittenToItsReaderAndRefusedWithoutOne) {
    const std::string fifo = at("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(OutputFile::open(fifo, &reason));
    EXPECT_EQ(reason, "no program reads the FIFO");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(platform::checkOutputPath(fifo, &reason)) << "the start-up check neither opens nor waits";

    std::string got;
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::thread drain([&] {
        // Until the writer came and went: before it comes, a read finds the
        // end of the file at once.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        char buf[4096];
        while (std::chrono::steady_clock::now() < until) {
            const ssize_t n = ::read(reader, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            else if (n == 0 && !got.empty()) break;
            else std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // More than a pipe holds: the writer waits for its reader.
    const std::string big(200000, 'x');
    EXPECT_TRUE(platform::writeOutputFile(fifo, big, &reason)) << reason;
    drain.join();
    ::close(reader);
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(S_ISFIFO(modeOf(fifo)));
}

TEST_F(OutputFileTest, AReaderThatGoesAwayIsAnErrorNotTheEndOfTheProgram) {
    const std::string fifo = at("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto f = OutputFile::open(fifo, &reason);
    ASSERT_TRUE(f) << reason;
    ::close(reader);
    EXPECT_FALSE(f->write("to nobody"));  // SIGPIPE would have ended the test here
    EXPECT_FALSE(f->commit(&reason));
    EXPECT_EQ(reason, "Broken pipe");
}

TEST_F(OutputFileTest, StandardOutputPathsUseTheDescriptorTheProgramHas) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string path = "/dev/fd/" + std::to_string(ends[1]);
    ASSERT_TRUE(platform::writeOutputFile(path, "through", &reason)) << reason;
    ASSERT_TRUE(platform::writeOutputFile(path, " one pipe", &reason)) << reason;
    EXPECT_EQ(::fcntl(ends[1], F_GETFD), 0) << "the descriptor stays open";
    ::close(ends[1]);
    char buf[64] = {};
    EXPECT_EQ(::read(ends[0], buf, sizeof buf - 1), 16);
    EXPECT_STREQ(buf, "through one pipe");
    ::close(ends[0]);
    EXPECT_FALSE(platform::writeOutputFile(path, "closed", &reason));
    EXPECT_EQ(reason, "Bad file descriptor");
}

TEST_F(OutputFileTest, PathsThatCannotTakeAFileAreRefusedUpFront) {
    const std::string plain = at("plain");
    ASSERT_TRUE(writeText(QString::fromStdString(plain), "x"));
    ASSERT_EQ(::symlink("missing", at("dangling").c_str()), 0);
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {{dir.path().toStdString(), "Is a directory"},
                          {at("no/such/dir/r.json"), "No such file or directory"},
                          {plain + "/r.json", "Not a directory"},
                          {at("dangling"), "a symbolic link to a file that does not exist"}};
    for (const Case& c : cases) {
        EXPECT_FALSE(platform::checkOutputPath(c.path, &reason)) << c.path;
        EXPECT_EQ(reason, c.reason) << c.path;
        EXPECT_FALSE(OutputFile::open(c.path, &reason)) << c.path;
        EXPECT_EQ(reason, c.reason) << c.path;
    }
    EXPECT_TRUE(platform::checkOutputPath(at("new.json"), &reason)) << reason;
    EXPECT_EQ(entries(dir), (QStringList{"dangling", "plain"})) << "the check leaves nothing behind";
}

}  // namespace
