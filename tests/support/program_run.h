// The program as started from a shell, for the command-line tests: its exit
// status and what it printed, with the offscreen platform and a time limit.
#pragma once

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace testing_support {

struct ProgramRun {
    int exitCode = -1;
    QStringList out;  // standard output, one entry a line
    QString err;
};

// Starts the built program in workDir, its windows on the offscreen platform.
inline void startVesperbox(QProcess& p, const QStringList& args, const QString& workDir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(workDir);
    p.start(VESPERBOX_EXE, args);
}

inline ProgramRun vesperbox(const QStringList& args, const QString& workDir = QDir::tempPath(),
                            int timeoutMs = 120000) {
    QProcess p;
    startVesperbox(p, args, workDir);
    ProgramRun r;
    if (!p.waitForFinished(timeoutMs)) {
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

}  // namespace testing_support
