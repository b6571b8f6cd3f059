// The stream end to end with real peers: a clip made by ffmpeg played into
// channel B of the simulated board, the pump with UDP and Record on, a UDP
// socket on 127.0.0.1 as the player, and ffprobe reading what came out.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <optional>

#include "platform/qt_network.h"
#include "platform/qt_services.h"
#include "sim/ft2232h_board.h"
#include "sim/ts_source.h"
#include "support/test_clip.h"
#include "support/test_support.h"
#include "support/qt_app.h"
#include "support/ts_check.h"
#include "support/udp_receiver.h"
#include "ui/main_window.h"
#include "ui/zonzoff.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t Chunk = 1316;

struct ToolRun {
    int exitCode = -1;
    QString out, err;
};

ToolRun runTool(const QString& program, const QStringList& args, const QString& workDir = {},
            int timeoutMs = 60000) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty()) p.setWorkingDirectory(workDir);
    p.start(program, args);
    ToolRun r;
    if (!p.waitForStarted(10000)) {
        r.err = program + " did not start";
        return r;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = program + " timed out";
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err += QString::fromUtf8(p.readAllStandardError());
    return r;
}

using testing_support::loopOffset;
using testing_support::readFile;

// What ffprobe says of a file: "format_name=mpegts", "codec_name=mpeg2video", ...
QString probe(const QString& path) {
    const ToolRun r = runTool("ffprobe", {"-v", "error", "-show_entries",
                                      "format=format_name:stream=codec_type,codec_name", "-of",
                                      "default=noprint_wrappers=1", path});
    return r.out + r.err;
}

void expectClipVideo(const QString& path) {
    const QString p = probe(path);
    EXPECT_TRUE(p.contains("format_name=mpegts")) << path.toStdString() << ":\n" << p.toStdString();
    EXPECT_TRUE(p.contains("codec_name=mpeg2video")) << path.toStdString() << ":\n" << p.toStdString();
    EXPECT_TRUE(p.contains("codec_type=video")) << path.toStdString() << ":\n" << p.toStdString();
}

using testing_support::UdpReceiver;

using testing_support::joinWholeChunks;

// Counter gaps of the generated stream's payload PID (-1 for a sync loss),
// and the counter packets seen.
std::pair<int, std::size_t> counterGaps(const Bytes& ts) {
    const testing_support::CounterScan scan = testing_support::scanCounters(ts);
    if (!scan.inSync) return {-1, scan.counters.size()};
    return {testing_support::counterGaps(scan.counters), scan.counters.size()};
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        testing_support::qtApp();
        ASSERT_TRUE(dir.isValid());
        recordDir = dir.filePath("rec");
        ASSERT_TRUE(QDir().mkpath(recordDir));
    }

    // The two-second clip that the looped-stream tests play, made by ffmpeg;
    // with a mux rate, at that constant rate.
    void makeClip(int muxRateBitsPerSecond = 0) {
        clip = dir.filePath("clip.ts");
        QString why;
        source = testing_support::makeTestClip(clip, &why, muxRateBitsPerSecond);
        ASSERT_FALSE(source.empty()) << "ffmpeg is needed to make the clip: " << why.toStdString();
        ASSERT_GT(source.size(), 10 * Chunk);
        ASSERT_EQ(source.size() % sim::TsPacketSize, 0u);
    }

    QStringList recordings() const { return QDir(recordDir).entryList({"*.TS"}, QDir::Files); }

    // The recording and the UDP capture are whole chunks of the looped clip,
    // and ffprobe sees the clip's video in both.
    void checkOutputs(const std::vector<Bytes>& datagrams) {
        ASSERT_EQ(recordings().size(), 1) << recordings().join(",").toStdString();
        const QString recording = QDir(recordDir).filePath(recordings()[0]);
        const Bytes recorded = readFile(recording);
        ASSERT_GT(recorded.size(), 0u);
        EXPECT_EQ(recorded.size() % Chunk, 0u);
        EXPECT_TRUE(loopOffset(source, recorded)) << "the recording is not one run of the clip";
        EXPECT_EQ(testing_support::continuityErrors(recorded), 0);
        expectClipVideo(recording);

        const Bytes sent = joinWholeChunks(datagrams);
        ASSERT_GT(sent.size(), 0u);
        EXPECT_TRUE(loopOffset(source, sent)) << "the UDP stream is not one run of the clip";
        EXPECT_EQ(testing_support::continuityErrors(sent), 0);
        const QString capture = dir.filePath("udp_capture.ts");
        ASSERT_TRUE(testing_support::writeFile(capture, sent));
        expectClipVideo(capture);
    }

    QTemporaryDir dir;
    QString clip, recordDir;
    Bytes source;
};

}  // namespace

TEST_F(EndToEnd, WindowStreamsALoopedClipToTheRecordingAndThePlayer) {
    ASSERT_NO_FATAL_FAILURE(makeClip());
    UdpReceiver player(true);
    ASSERT_TRUE(player.ok());
    platform::SystemClock clock;
    sim::Ft2232hBoard board(clock);
    sim::ChannelBOptions opts;
    opts.rateMbit = 8;  // on the real clock, whatever the clip's own rate
    opts.file = clip.toStdString();
    std::string error;
    auto fifo = sim::makeChannelB(opts, clock, &error);
    ASSERT_TRUE(fifo) << error;
    sim::TsFifo* fifoPtr = fifo.get();
    board.setChannelDevice(1, std::move(fifo));
    testing_support::RecordingDialogs dialogs;
    platform::QtNetwork network;

    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(recordDir));
    ui::TForm1* form = nullptr;
    int calls = 0;
    QElapsedTimer streaming;
    std::uint64_t droppedAtStart = 0;
    const ui::Services services{board, clock, dialogs, network, [&] {
        QCoreApplication::processEvents();
        if (++calls == 1) {
            droppedAtStart = fifoPtr->droppedBytes();
        } else if (calls == 2) {
            form->UDPOnOff->operatorClick();
            form->RecordOnOff->operatorClick();
            streaming.start();
        } else if (streaming.isValid() && streaming.elapsed() > 1500 && form->GetTSBtn->SwitchOn()) {
            form->GetTSBtn->operatorClick();
        }
    }, {"127.0.0.1", player.port()}};
    ui::TForm1 window(services);
    form = &window;
    QStringList log;
    QObject::connect(&window, &ui::TForm1::lineAppended, [&](const QString& l) { log << l; });
    window.InitUDP();
    window.BtnOpenBClick();
    window.GetTSBtn->operatorClick();
    QDir::setCurrent(oldCwd);

    const std::vector<Bytes> datagrams = UdpReceiver::fromProgram(player.settle());
    // About 1.5 s at 1 MB/s: well over a thousand chunks.
    EXPECT_GT(datagrams.size(), 500u);
    EXPECT_EQ(fifoPtr->droppedBytes(), droppedAtStart) << "the pump kept up with the stream";
    checkOutputs(datagrams);
    EXPECT_EQ(log.filter("Started recording '").size(), 1);
    EXPECT_EQ(log.filter("Recording stopped.").size(), 1);
    EXPECT_EQ(log.filter("Done ...I=1316 FT_Q_Bytes= ").size(), 1) << log.join("\n").toStdString();
}

// The program as started from a shell, its output aimed at the test's player
// on a free port; datagrams from anybody else are not counted.
class ProgramEndToEnd : public EndToEnd {
protected:
    ToolRun runProgram(const QStringList& extra) {
        QStringList args = {"--simulate", "--udp=127.0.0.1:" + QString::number(player.port())};
        args << extra << "--do"
             << "BtnOpenB,GetTSBtn,UDPOnOff,RecordOnOff,wait 3000,RecordOnOff,GetTSBtn,Exit1";
        return runTool(VESPERBOX_EXE, args, recordDir);
    }
    std::vector<Bytes> programDatagrams() { return UdpReceiver::fromProgram(player.settle()); }

    UdpReceiver player{true};
};

TEST_F(ProgramEndToEnd, LoopedClipReachesTheRecordingAndThePlayer) {
    ASSERT_NO_FATAL_FAILURE(makeClip());
    ASSERT_TRUE(player.ok());
    const ToolRun r = runProgram({"--ts-file=" + clip});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    checkOutputs(programDatagrams());
    EXPECT_TRUE(r.out.contains("Started recording 'USB_")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Recording stopped.")) << r.out.toStdString();
}

// The bit rate at which datagrams came, as the median over every pair of
// datagrams at least a second apart: a late burst from a busy machine moves
// few pairs, where first-to-last would move with it.
double arrivalBitRate(const std::vector<UdpReceiver::Datagram>& datagrams) {
    std::vector<double> rates;
    for (std::size_t i = 0; i < datagrams.size(); ++i)
        for (std::size_t j = i + 1; j < datagrams.size(); ++j) {
            const double seconds = std::chrono::duration<double>(datagrams[j].arrived - datagrams[i].arrived).count();
            if (seconds >= 1.0) rates.push_back(static_cast<double>((j - i) * Chunk * 8) / seconds);
        }
    if (rates.empty()) return 0;
    std::nth_element(rates.begin(), rates.begin() + static_cast<std::ptrdiff_t>(rates.size() / 2), rates.end());
    return rates[rates.size() / 2];
}

// A clip made at 0.8 Mbit/s plays at 0.8 Mbit/s, taken from its PCRs, and
// its loops do not show as lost packets.
TEST_F(ProgramEndToEnd, ClipPlaysAtTheRateOfItsPcrs) {
    ASSERT_NO_FATAL_FAILURE(makeClip(800000));
    ASSERT_TRUE(player.ok());
    const ToolRun r = runProgram({"--ts-file=" + clip});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const auto datagrams = UdpReceiver::programDatagrams(player.settle());
    // Three seconds hold more than one play of the two-second clip.
    ASSERT_GT(datagrams.size() * Chunk, source.size());
    const double rate = arrivalBitRate(datagrams);
    RecordProperty("arrival_bit_rate", std::to_string(rate));
    EXPECT_NEAR(rate, 0.8e6, 0.04e6);
    std::vector<Bytes> chunks;
    for (const auto& d : datagrams) chunks.push_back(d.bytes);
    const Bytes sent = joinWholeChunks(chunks);
    EXPECT_TRUE(loopOffset(source, sent)) << "the UDP stream is not one run of the clip";
    EXPECT_EQ(testing_support::continuityErrors(sent), 0);
}

TEST_F(ProgramEndToEnd, CheckPassesALoopedClipWithoutContinuityErrors) {
    ASSERT_NO_FATAL_FAILURE(makeClip(800000));
    const ToolRun r = runTool(VESPERBOX_EXE, {"check", "--simulate", "--ts-file=" + clip, "--seconds=3"}, recordDir);
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    const QString stream = r.out.split('\n').filter(QRegularExpression("^pass +stream ")).value(0);
    EXPECT_TRUE(stream.contains(", 0 continuity errors, 0 sync losses")) << r.out.toStdString();
    // Well away from the 8 Mbit/s that a file used to play at.
    const QRegularExpressionMatch rate = QRegularExpression(" ([0-9.]+) Mbit/s").match(stream);
    ASSERT_TRUE(rate.hasMatch()) << stream.toStdString();
    EXPECT_NEAR(rate.captured(1).toDouble(), 0.8, 0.2) << stream.toStdString();
    EXPECT_TRUE(r.out.contains("verdict: PASS")) << r.out.toStdString();
}

// A file whose last packet is torn is refused before anything starts.
TEST_F(ProgramEndToEnd, TornClipIsRefused) {
    ASSERT_NO_FATAL_FAILURE(makeClip());
    const QString torn = dir.filePath("torn.ts");
    ASSERT_TRUE(testing_support::writeFile(
        torn, QByteArrayView(reinterpret_cast<const char*>(source.data()), static_cast<qsizetype>(source.size() - 100))));
    const ToolRun r = runTool(VESPERBOX_EXE, {"check", "--simulate", "--ts-file=" + torn}, recordDir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("vesperbox: cannot play the transport stream file '" + torn +
                               "': its size, " + QString::number(source.size() - 100) +
                               " bytes, is not a whole number of 188-byte TS packets"))
        << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
}

TEST_F(ProgramEndToEnd, GeneratedStreamArrivesWithoutACounterGap) {
    ASSERT_TRUE(player.ok());
    const ToolRun r = runProgram({});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const Bytes sent = joinWholeChunks(programDatagrams());
    const auto [udpGaps, udpPackets] = counterGaps(sent);
    EXPECT_EQ(udpGaps, 0);
    EXPECT_GT(udpPackets, 1000u);
    ASSERT_EQ(recordings().size(), 1);
    const Bytes recorded = readFile(QDir(recordDir).filePath(recordings()[0]));
    EXPECT_EQ(recorded.size() % Chunk, 0u);
    const auto [fileGaps, filePackets] = counterGaps(recorded);
    EXPECT_EQ(fileGaps, 0);
    EXPECT_GT(filePackets, 1000u);
    EXPECT_TRUE(r.out.contains("Done ...I=1316 FT_Q_Bytes= ")) << r.out.toStdString();
}

// Leaving the program while it streams and records: the pump stops, the
// recording is closed whole and the process ends by itself.
class LeavingWhileStreaming : public ProgramEndToEnd {
protected:
    void leaveWith(const QString& steps) {
        ASSERT_TRUE(player.ok());
        const QString udp = QStringLiteral("--udp=127.0.0.1:%1").arg(player.port());
        const ToolRun r = runTool(VESPERBOX_EXE,
                                  {"--simulate", "--ts-rate=64", udp, "--do",
                                   "BtnOpenB,GetTSBtn,UDPOnOff,RecordOnOff,wait 1000," + steps},
                                  recordDir, 30000);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out.contains("Recording stopped.")) << r.out.toStdString();
        EXPECT_TRUE(r.out.contains("TS health: ")) << r.out.toStdString();
        ASSERT_EQ(recordings().size(), 1);
        const Bytes recorded = readFile(QDir(recordDir).filePath(recordings()[0]));
        EXPECT_EQ(recorded.size() % Chunk, 0u);
        const auto [gaps, packets] = counterGaps(recorded);
        EXPECT_EQ(gaps, 0);
        EXPECT_GT(packets, 1000u) << "a second at 8 MB/s";
        // UDP went on a step before Record; both ended with the same chunk.
        const Bytes sent = joinWholeChunks(programDatagrams());
        ASSERT_GE(sent.size(), recorded.size());
        EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), sent.end() - recorded.size()));
    }
};

TEST_F(LeavingWhileStreaming, CloseBoxEndsTheProgram) { leaveWith("close"); }

TEST_F(LeavingWhileStreaming, QuitEndsTheProgram) {
    // Quit is enabled once channel A is closed; channel B stays open.
    leaveWith("BtnCloseA,BtnQuit");
}
