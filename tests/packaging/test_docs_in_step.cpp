// The manual pages and the bash completion follow the program: every option,
// value, subcommand and --do step the program names must be in both, so that
// a new option cannot ship undocumented. And --version names what runs.
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QtGlobal>
#include <ftdi.h>
#include <gtest/gtest.h>

#include "support/program_run.h"

using testing_support::ProgramRun;
using testing_support::vesperbox;

namespace {

const QString ManPage = QStringLiteral(VESPER_SOURCE_DIR "/packaging/vesperbox.1.in");
const QString LauncherManPage = QStringLiteral(VESPER_SOURCE_DIR "/packaging/vesperbox-virtual-board.1.in");
const QString Completion = QStringLiteral(VESPER_SOURCE_DIR "/packaging/vesperbox.bash-completion");

QString readFile(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(f.readAll());
}

// The page's words as a reader sees them: "\-\-seconds" is --seconds, font
// changes and zero-width escapes are not there.
QString manText(const QString& path) {
    QString text = readFile(path);
    text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    text.remove(QRegularExpression(QStringLiteral(R"(\\f[BIRP])")));
    text.remove(QStringLiteral("\\c"));
    text.remove(QStringLiteral("\\&"));
    return text;
}

QStringList matches(const QString& text, const QString& pattern, int group = 0) {
    QStringList found;
    auto it = QRegularExpression(pattern).globalMatch(text);
    while (it.hasNext()) {
        const QString m = it.next().captured(group);
        if (!found.contains(m)) found << m;
    }
    return found;
}

// A name standing alone: "--dump" is not found inside "--dump-registers".
bool mentions(const QString& text, const QString& name) {
    const QString edge = QStringLiteral("[A-Za-z0-9_-]");
    return QRegularExpression("(^|(?<!" + edge + "))" + QRegularExpression::escape(name) + "(?!" + edge + ")")
        .match(text)
        .hasMatch();
}

// Options and the fixed lower-case values the help shows them with
// (--nim=earda|sharp, --fault=ts-none, --usb-timing=real).
struct Named {
    QStringList options;
    QStringList values;
};

Named namedIn(const QString& help) {
    Named n;
    n.options = matches(help, QStringLiteral(R"((?<![A-Za-z0-9-])--[a-z0-9][a-z0-9-]*)"));
    for (const QString& list : matches(help, QStringLiteral(R"(--[a-z0-9-]+=([a-z][a-z0-9-]*(\|[a-z][a-z0-9-]*)*))"), 1))
        for (const QString& value : list.split('|'))
            if (!n.values.contains(value)) n.values << value;
    return n;
}

void expectDocumented(const QStringList& names, const char* what, const QString& page, const QString& pageName,
                      const QString& completion) {
    for (const QString& name : names) {
        EXPECT_TRUE(mentions(page, name))
            << what << " '" << name.toStdString() << "' is not described in packaging/" << pageName.toStdString()
            << "; add it to the manual page (and to packaging/vesperbox.bash-completion)";
        EXPECT_TRUE(mentions(completion, name))
            << what << " '" << name.toStdString()
            << "' is not offered by packaging/vesperbox.bash-completion; add it there";
    }
}

ProgramRun help() {
    const ProgramRun r = vesperbox({QStringLiteral("--help")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return r;
}

}  // namespace

TEST(DocsInStep, EveryOptionAndValueOfTheHelpIsInTheManualAndTheCompletion) {
    const Named named = namedIn(help().out.join('\n'));
    // The help's own sections: a parser that found nothing would pass.
    for (const char* known : {"--simulate", "--fault", "--seconds", "--dump", "--version", "--help"})
        EXPECT_TRUE(named.options.contains(QString::fromLatin1(known))) << known;
    for (const char* known : {"sharp", "ideal", "ts-none", "nack-rate", "max"})
        EXPECT_TRUE(named.values.contains(QString::fromLatin1(known))) << known;

    const QString page = manText(ManPage);
    const QString completion = readFile(Completion);
    expectDocumented(named.options, "option", page, QStringLiteral("vesperbox.1.in"), completion);
    expectDocumented(named.values, "option value", page, QStringLiteral("vesperbox.1.in"), completion);
}

TEST(DocsInStep, EverySubcommandOfTheUsageIsInTheManualAndTheCompletion) {
    // "       vesperbox check [OPTION]..." and the like.
    const QStringList commands = matches(help().out.join('\n'),
                                         QStringLiteral(R"((?m)^(?:Usage:)?\s+vesperbox ([a-z]+)\b)"), 1);
    EXPECT_TRUE(commands.contains(QStringLiteral("check")));
    EXPECT_TRUE(commands.contains(QStringLiteral("regs")));
    const QString page = manText(ManPage);
    const QStringList completionCommands =
        QRegularExpression(QStringLiteral("_vesperbox_commands='([^']*)'")).match(readFile(Completion)).captured(1).split(' ');
    for (const QString& command : commands) {
        EXPECT_TRUE(page.contains(QRegularExpression("(?m)^\\.B " + command + "$")))
            << "subcommand '" << command.toStdString()
            << "' has no entry (.B " << command.toStdString() << ") in packaging/vesperbox.1.in";
        EXPECT_TRUE(completionCommands.contains(command))
            << "subcommand '" << command.toStdString()
            << "' is not among the subcommands of packaging/vesperbox.bash-completion";
    }
}

TEST(DocsInStep, EveryStepOfDoIsInTheManualAndTheCompletion) {
    // The program lists every step it takes when it refuses one.
    const ProgramRun r = vesperbox({QStringLiteral("--do"), QStringLiteral("NoSuchControl")});
    EXPECT_EQ(r.exitCode, 2);
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("a step is 'wait MS', 'close' or one of ([A-Za-z0-9, ]+)")).match(r.err);
    ASSERT_TRUE(m.hasMatch()) << r.err.toStdString();
    QStringList steps = m.captured(1).trimmed().split(QStringLiteral(", "));
    EXPECT_GE(steps.size(), 14);
    steps << QStringLiteral("wait") << QStringLiteral("close");
    expectDocumented(steps, "--do step", manText(ManPage), QStringLiteral("vesperbox.1.in"), readFile(Completion));
}

TEST(DocsInStep, EveryOptionOfTheVirtualBoardIsInItsManualAndTheCompletion) {
    QProcess launcher;
    launcher.start(QStringLiteral(VESPER_BINARY_DIR "/vesperbox-virtual-board"), {QStringLiteral("--help")});
    ASSERT_TRUE(launcher.waitForFinished(60000));
    ASSERT_EQ(launcher.exitCode(), 0) << launcher.readAllStandardError().toStdString();
    const QString text = QString::fromUtf8(launcher.readAllStandardOutput());
    // The launcher prints the program's help, then its own.
    const qsizetype own = text.indexOf(QStringLiteral("vesperbox-virtual-board runs vesperbox as above"));
    ASSERT_GE(own, 0) << text.toStdString();
    const QStringList options = namedIn(text.mid(own)).options;
    EXPECT_TRUE(options.contains(QStringLiteral("--unplug-after-ms")));
    EXPECT_TRUE(options.contains(QStringLiteral("--next-board")));
    expectDocumented(options, "virtual board option", manText(LauncherManPage),
                     QStringLiteral("vesperbox-virtual-board.1.in"), readFile(Completion));
}

TEST(DocsInStep, NamesAreFoundWholeOnly) {
    const QString text = QStringLiteral("--dump-registers=FILE and ts-none");
    EXPECT_TRUE(mentions(text, QStringLiteral("--dump-registers")));
    EXPECT_FALSE(mentions(text, QStringLiteral("--dump")));
    EXPECT_FALSE(mentions(text, QStringLiteral("none")));
    EXPECT_TRUE(mentions(text, QStringLiteral("ts-none")));
    EXPECT_TRUE(mentions(manText(ManPage), QStringLiteral("--usb-latency-us")));
}

TEST(Version, NamesTheProgramAndTheLibrariesInUse) {
    const ProgramRun r = vesperbox({QStringLiteral("--version")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(r.out.size(), 3) << r.out.join('\n').toStdString();
    EXPECT_TRUE(r.out[0].contains(QRegularExpression(QStringLiteral(R"(^vesperbox \d+\.\d+)"))))
        << r.out[0].toStdString();
    EXPECT_TRUE(r.out[1].startsWith(QStringLiteral("Qt ") + QString::fromLatin1(qVersion())))
        << r.out[1].toStdString();
    EXPECT_EQ(r.out[2], QStringLiteral("libftdi1 ") + QString::fromLatin1(ftdi_get_library_version().version_str));
    // Asked for alongside a command, it still only prints the versions.
    const ProgramRun withCommand = vesperbox({QStringLiteral("check"), QStringLiteral("--version")});
    EXPECT_EQ(withCommand.exitCode, 0);
    EXPECT_EQ(withCommand.out, r.out);
}
