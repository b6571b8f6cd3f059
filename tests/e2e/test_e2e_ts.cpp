// The stream end to end with real peers: a clip made by ffmpeg played into
// channel B of the simulated board, the pump with UDP and Record on, a UDP
// socket on 127.0.0.1 as the player, and ffprobe reading what came out.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/qt_network.h"
#include "platform/qt_services.h"
#include "sim/ft2232h_board.h"
#include "sim/ts_source.h"
#include "support/test_support.h"
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

Bytes readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray b = f.readAll();
    return {b.begin(), b.end()};
}

void writeFile(const QString& path, const Bytes& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
}

// Where in the looped source the data starts, if it is one unbroken run of it.
std::optional<std::size_t> loopOffset(const Bytes& source, const Bytes& data) {
    if (source.empty() || data.empty()) return std::nullopt;
    for (std::size_t start = 0; start < source.size(); start += sim::TsPacketSize) {
        bool all = true;
        for (std::size_t i = 0; i < data.size() && all; ++i)
            all = data[i] == source[(start + i) % source.size()];
        if (all) return start;
    }
    return std::nullopt;
}

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

// A player: a thread that takes every datagram off a socket on 127.0.0.1.
class Player {
public:
    explicit Player(std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        int big = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (bound_) thread_ = std::thread([this] { loop(); });
    }
    ~Player() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    bool bound() const { return bound_; }
    std::uint16_t port() const { return port_; }
    // The datagrams so far, once none has come for 300 ms.
    std::vector<Bytes> settle() {
        for (std::size_t last = SIZE_MAX;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::lock_guard<std::mutex> lock(m_);
            if (datagrams_.size() == last) return datagrams_;
            last = datagrams_.size();
        }
    }

private:
    void loop() {
        Bytes buf(65536);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n < 0) continue;
            std::lock_guard<std::mutex> lock(m_);
            datagrams_.emplace_back(buf.begin(), buf.begin() + n);
        }
    }
    int fd_ = -1;
    bool bound_ = false;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<Bytes> datagrams_;
};

Bytes joinWholeChunks(const std::vector<Bytes>& datagrams) {
    Bytes all;
    for (const Bytes& d : datagrams) {
        EXPECT_EQ(d.size(), Chunk) << "one chunk per datagram";
        all.insert(all.end(), d.begin(), d.end());
    }
    return all;
}

std::uint64_t be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

// Counter gaps of the generated stream's payload PID, and the packets seen.
std::pair<int, std::size_t> counterGaps(const Bytes& ts) {
    int gaps = 0;
    std::size_t seen = 0;
    std::optional<std::uint64_t> last;
    for (std::size_t off = 0; off + sim::TsPacketSize <= ts.size(); off += sim::TsPacketSize) {
        const std::uint8_t* p = ts.data() + off;
        if (p[0] != 0x47) return {-1, seen};
        if (((p[1] & 0x1F) << 8 | p[2]) != sim::TsPayloadPid) continue;
        const std::uint64_t c = be64(p + ((p[3] & 0x20) ? 5 + p[4] : 4));
        if (last && c != *last + 1) ++gaps;
        last = c;
        ++seen;
    }
    return {gaps, seen};
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        testing_support::qtApp();
        ASSERT_TRUE(dir.isValid());
        clip = dir.filePath("clip.ts");
        const ToolRun r = runTool("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i",
                                         "testsrc=duration=2:size=320x240:rate=25", "-c:v",
                                         "mpeg2video", "-f", "mpegts", clip});
        ASSERT_EQ(r.exitCode, 0) << "ffmpeg is needed to make the clip: " << r.err.toStdString();
        source = readFile(clip);
        ASSERT_GT(source.size(), 10 * Chunk);
        ASSERT_EQ(source.size() % sim::TsPacketSize, 0u);
        recordDir = dir.filePath("rec");
        ASSERT_TRUE(QDir().mkpath(recordDir));
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
        expectClipVideo(recording);

        const Bytes sent = joinWholeChunks(datagrams);
        ASSERT_GT(sent.size(), 0u);
        EXPECT_TRUE(loopOffset(source, sent)) << "the UDP stream is not one run of the clip";
        const QString capture = dir.filePath("udp_capture.ts");
        writeFile(capture, sent);
        expectClipVideo(capture);
    }

    QTemporaryDir dir;
    QString clip, recordDir;
    Bytes source;
};

// Real sockets, aimed at the test's player instead of port 1234.
class RedirectedNetwork : public console::Network {
public:
    explicit RedirectedNetwork(std::uint16_t port) : port_(port) {}
    std::vector<std::string> localAddresses() override { return real_.localAddresses(); }
    std::unique_ptr<console::UdpClient> createUdpClient() override {
        struct Client : console::UdpClient {
            std::unique_ptr<console::UdpClient> real;
            std::uint16_t port = 0;
            void setHost(const std::string& h) override { real->setHost(h); }
            void setPort(std::uint16_t) override { real->setPort(port); }
            void setBoundAddress(const std::string& a) override { real->setBoundAddress(a); }
            void setBufferSize(std::size_t n) override { real->setBufferSize(n); }
            void connect() override { real->connect(); }
            bool connected() const override { return real->connected(); }
            void send(const std::uint8_t* d, std::size_t n) override { real->send(d, n); }
        };
        auto c = std::make_unique<Client>();
        c->real = real_.createUdpClient();
        c->port = port_;
        return c;
    }

private:
    platform::QtNetwork real_;
    std::uint16_t port_;
};

}  // namespace

TEST_F(EndToEnd, WindowStreamsALoopedClipToTheRecordingAndThePlayer) {
    Player player;
    ASSERT_TRUE(player.bound());
    platform::SystemClock clock;
    sim::Ft2232hBoard board(clock);
    sim::ChannelBOptions opts;  // 8 Mbit/s on the real clock
    opts.file = clip.toStdString();
    std::string error;
    auto fifo = sim::makeChannelB(opts, clock, &error);
    ASSERT_TRUE(fifo) << error;
    sim::TsFifo* fifoPtr = fifo.get();
    board.setChannelDevice(1, std::move(fifo));
    testing_support::RecordingDialogs dialogs;
    RedirectedNetwork network(player.port());

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
    }};
    ui::TForm1 window(services);
    form = &window;
    QStringList log;
    QObject::connect(&window, &ui::TForm1::lineAppended, [&](const QString& l) { log << l; });
    window.InitUDP();
    window.BtnOpenBClick();
    window.GetTSBtn->operatorClick();
    QDir::setCurrent(oldCwd);

    const std::vector<Bytes> datagrams = player.settle();
    // About 1.5 s at 1 MB/s: well over a thousand chunks.
    EXPECT_GT(datagrams.size(), 500u);
    EXPECT_EQ(fifoPtr->droppedBytes(), droppedAtStart) << "the pump kept up with the stream";
    checkOutputs(datagrams);
    EXPECT_EQ(log.filter("Started recording '").size(), 1);
    EXPECT_EQ(log.filter("Recording stopped.").size(), 1);
    EXPECT_EQ(log.filter("Done ...I=1316 FT_Q_Bytes= ").size(), 1) << log.join("\n").toStdString();
}

// The program as started from a shell. Its player must be on port 1234.
class ProgramEndToEnd : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        const ToolRun probeRun = runTool(VESPERBOX_EXE, {"--simulate", "--ts-rate=8", "--do", "Exit1"}, recordDir);
        if (probeRun.exitCode != 0 && probeRun.err.contains("--ts-rate"))
            GTEST_SKIP() << "vesperbox does not take the channel B options yet: " << probeRun.err.toStdString();
    }
    ToolRun runProgram(const QStringList& extra) {
        QStringList args = {"--simulate"};
        args << extra << "--do"
             << "BtnOpenB,GetTSBtn,UDPOnOff,RecordOnOff,wait 3000,RecordOnOff,GetTSBtn,Exit1";
        return runTool(VESPERBOX_EXE, args, recordDir);
    }
};

TEST_F(ProgramEndToEnd, LoopedClipReachesTheRecordingAndThePlayerOnPort1234) {
    Player player(1234);
    ASSERT_TRUE(player.bound()) << "something else holds 127.0.0.1:1234";
    const ToolRun r = runProgram({"--ts-file=" + clip});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    checkOutputs(player.settle());
    EXPECT_TRUE(r.out.contains("Started recording 'USB_")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Recording stopped.")) << r.out.toStdString();
}

TEST_F(ProgramEndToEnd, GeneratedStreamArrivesWithoutACounterGap) {
    Player player(1234);
    ASSERT_TRUE(player.bound()) << "something else holds 127.0.0.1:1234";
    const ToolRun r = runProgram({});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const Bytes sent = joinWholeChunks(player.settle());
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
        Player player;
        ASSERT_TRUE(player.bound());
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
        const Bytes sent = joinWholeChunks(player.settle());
        ASSERT_GE(sent.size(), recorded.size());
        EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), sent.end() - recorded.size()));
    }
};

TEST_F(LeavingWhileStreaming, CloseBoxEndsTheProgram) { leaveWith("close"); }

TEST_F(LeavingWhileStreaming, QuitEndsTheProgram) {
    // Quit is enabled once channel A is closed; channel B stays open.
    leaveWith("BtnCloseA,BtnQuit");
}
