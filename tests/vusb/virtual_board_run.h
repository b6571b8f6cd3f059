// Runs the unmodified program, with its default libftdi backend, as a child
// process on the virtual FT2232H: the libusb stand-in preloaded in front of
// the system's libusb, the board's options in its environment.
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <link.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vusb_test {

struct ProgramRun {
    int exitCode = -1;
    bool finished = false;
    qint64 elapsedMs = 0;
    QString out, err;
    QStringList dialogs() const {
        QStringList d;
        for (const QString& l : err.split('\n'))
            if (l.startsWith("dialog: ")) d << l;
        return d;
    }
};

// The sanitizer runtime this process runs with, if any: a sanitized child
// wants it first in its preload list.
inline std::string sanitizerRuntime() {
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            const std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.find("/libasan.so") != std::string::npos) {
                *static_cast<std::string*>(data) = name;
                return 1;
            }
            return 0;
        },
        &found);
    return found;
}

inline ProgramRun runOnVirtualBoard(const QStringList& boardOptions, const QStringList& args,
                             const QString& workDir, int timeoutMs = 240000) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    std::string preload = VESPER_VUSB_LIB;
    const std::string asan = sanitizerRuntime();
    if (!asan.empty()) preload = asan + ":" + preload;
    env.insert("LD_PRELOAD", QString::fromStdString(preload));
    env.insert("VESPER_VUSB_OPTIONS", boardOptions.join(' '));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(workDir);
    ProgramRun r;
    QElapsedTimer timer;
    timer.start();
    p.start(VESPERBOX_EXE, args);
    if (!p.waitForStarted(10000)) {
        r.err = "vesperbox did not start";
        return r;
    }
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.elapsedMs = timer.elapsed();
    r.exitCode = r.finished && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err += QString::fromUtf8(p.readAllStandardError());
    return r;
}

}  // namespace vusb_test
