// A real clip for the tests that loop one through channel B: two seconds of
// ffmpeg's test picture as MPEG-2 video in a transport stream; with a mux
// rate, a constant-rate stream (null packets fill it up) whose PCRs run at
// that rate.
#pragma once

#include <QProcess>
#include <QString>
#include <cstdint>
#include <vector>

#include "support/ts_check.h"

namespace testing_support {

// Writes the clip to path and returns its bytes; nothing when ffmpeg could
// not make it, with why in *error.
inline std::vector<std::uint8_t> makeTestClip(const QString& path, QString* error = nullptr,
                                              int muxRateBitsPerSecond = 0) {
    QProcess ff;
    QStringList args = {"-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc=duration=2:size=320x240:rate=25", "-c:v", "mpeg2video"};
    if (muxRateBitsPerSecond > 0) args << "-muxrate" << QString::number(muxRateBitsPerSecond);
    ff.start("ffmpeg", args << "-f" << "mpegts" << path);
    QString why;
    if (!ff.waitForStarted(10000)) {
        why = "ffmpeg did not start";
    } else if (!ff.waitForFinished(60000)) {
        ff.kill();
        ff.waitForFinished();
        why = "ffmpeg timed out";
    } else if (ff.exitStatus() != QProcess::NormalExit || ff.exitCode() != 0) {
        why = QString::fromUtf8(ff.readAllStandardError());
        if (why.isEmpty()) why = QStringLiteral("ffmpeg failed with exit code %1").arg(ff.exitCode());
    }
    if (!why.isEmpty()) {
        if (error) *error = why;
        return {};
    }
    return readFile(path);
}

}  // namespace testing_support
