// The pump core on its own: the simulated board's channel B carrying a
// stream the test wrote (with the losses and read sizes it chose), an
// operator panel that only records, and a UDP client that keeps what it was
// given. No window.
#include <gtest/gtest.h>

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "console/operator_panel.h"
#include "console/ts_pump.h"
#include "console/udp_output.h"
#include "sim/ft2232h_board.h"
#include "sim/ts_source.h"
#include "support/fake_panel.h"
#include "support/test_support.h"
#include "support/fake_network.h"
#include "support/ts_check.h"
#include "usb/channel_layer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t Chunk = 1316;
constexpr std::size_t Packet = 188;

// The shared fake panel, keeping every status text, with the message loop
// scripted by the number of its call.
class RecordingPanel : public testing_support::FakePanel {
public:
    QStringList statusTexts;
    int calls = 0;
    std::map<int, std::function<void()>> script;

    RecordingPanel() {
        onMessages = [this] {
            const auto it = script.find(++calls);
            if (it == script.end()) return;
            const auto f = it->second;  // may start a nested pump that looks here again
            f();
        };
    }
    void SetStatusText(const QString& text) override {
        statusTexts << text;
        FakePanel::SetStatusText(text);
    }
    QStringList linesStartingWith(const QString& prefix) const {
        QStringList out;
        for (const QString& l : log)
            if (l.startsWith(prefix)) out << l;
        return out;
    }
};

// Channel B handing out a written stream: each read request gets at most the
// next of the burst sizes (in turn), and the rest of that request nothing, as
// a board whose chip has no more yet would.
class WrittenStream : public sim::ChannelDevice {
public:
    WrittenStream(Bytes bytes, std::vector<std::size_t> bursts)
        : bytes_(std::move(bytes)), bursts_(std::move(bursts)) {}

    void write(const std::uint8_t*, std::size_t) override {}
    std::size_t available() override { return bytes_.size() - pos_; }
    std::size_t read(std::uint8_t* dst, std::size_t count) override {
        if (lastRequest_ != 0 && count < lastRequest_) return 0;  // the rest of a request
        const std::size_t n = std::min({count, bursts_[next_ % bursts_.size()], bytes_.size() - pos_});
        if (n == 0) return 0;
        ++next_;
        lastRequest_ = count;
        std::memcpy(dst, bytes_.data() + pos_, n);
        pos_ += n;
        return n;
    }
    void purgeReceive() override { ++purges; }
    int purges = 0;

private:
    Bytes bytes_;
    std::vector<std::size_t> bursts_;
    std::size_t pos_ = 0;
    std::size_t next_ = 0;
    std::size_t lastRequest_ = 0;
};

// The simulated board's generated stream: PAT, PMT, and a payload PID whose
// payload starts with a packet counter.
Bytes generated(std::size_t packets) {
    sim::TsGenerator gen(8e6);
    Bytes out(packets * Packet);
    for (std::size_t i = 0; i < packets; ++i) gen.next(out.data() + i * Packet);
    return out;
}

using testing_support::payloadCounters;

class PumpCore : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
    }
    void TearDown() override { QDir::setCurrent(oldCwd); }

    // Channel B open on the given device, the UDP client connected.
    void startUp(std::unique_ptr<sim::ChannelDevice> device) {
        board.setChannelDevice(1, std::move(device));
        ASSERT_EQ(channels.Open_USB_Device_B(), usb::FT_OK);
        udp.InitUDP(panel);
        ASSERT_TRUE(udp.ready());
        panel.log.clear();
    }
    void startUp(const Bytes& stream, std::vector<std::size_t> bursts = {Chunk}) {
        auto device = std::make_unique<WrittenStream>(stream, std::move(bursts));
        written = device.get();
        startUp(std::move(device));
    }

    // Get TS switched on by the operator: the pump runs until it ends.
    void getTs() {
        panel.switches[console::Switch::GetTSBtn] = true;
        pump.GetTSBtnClick();
    }
    // UDP and Record switched on in the first streaming pass.
    void udpAndRecordFromTheStart() {
        panel.script[2] = [this] {
            panel.switches[console::Switch::UDPOnOff] = true;
            panel.switches[console::Switch::RecordOnOff] = true;
            pump.RecordOnOffClick();
        };
    }

    Bytes sent() const { return testing_support::joinWholeChunks(net.lastClient->datagrams); }
    QStringList recordings() const { return QDir(dir.path()).entryList({"*.TS"}, QDir::Files, QDir::Name); }
    Bytes recorded(int index = 0) const {
        return testing_support::readFile(dir.filePath(recordings().value(index)));
    }
    QString lastByteCount() const {
        for (auto it = panel.statusTexts.rbegin(); it != panel.statusTexts.rend(); ++it)
            if (it->startsWith(QStringLiteral("Bytes Received = "))) return *it;
        return {};
    }

    testing_support::FakeClock clock;
    sim::Ft2232hBoard board{clock};
    testing_support::RecordingDialogs dialogs;
    usb::ChannelLayer channels{board, dialogs};
    testing_support::FakeNetwork net;
    console::UdpOutput udp{net, {}};
    RecordingPanel panel;
    console::ConsoleModel model{&panel};
    console::TsPump pump{channels, clock, udp, model, panel};
    WrittenStream* written = nullptr;
    QTemporaryDir dir;
    QString oldCwd;
};

}  // namespace

TEST_F(PumpCore, ReadsOfAnySizeAreJoinedIntoWholeChunksWithNothingDropped) {
    const Bytes stream = generated(700);  // 100 chunks
    startUp(stream, {500, 1316, 1, 187, 188, 189, 900, 1315});
    udpAndRecordFromTheStart();
    getTs();
    const Bytes out = sent();
    EXPECT_EQ(out.size(), stream.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), stream.begin())) << "the stream as it came, from its first byte";
    EXPECT_EQ(recorded(), out);
    EXPECT_EQ(lastByteCount(), QStringLiteral("Bytes Received = %1").arg(stream.size()));
    EXPECT_EQ(panel.linesStartingWith(QStringLiteral("Stream out of step")), QStringList{});
    EXPECT_EQ(pump.Health().packets(), 700u);
    EXPECT_EQ(pump.Health().continuityErrors(), 0u);
}

TEST_F(PumpCore, BytesLostUpstreamAreSkippedToTheNextPacketOncePerEpisode) {
    Bytes stream = generated(1400);
    // 100 bytes lost inside packet 300, then 7 inside packet 900 (both keep
    // their sync byte; the packets they run into are the ones cut short).
    const std::size_t second = 900 * Packet + 20;
    stream.erase(stream.begin() + second, stream.begin() + second + 7);
    const std::size_t first = 300 * Packet + 40;
    stream.erase(stream.begin() + first, stream.begin() + first + 100);
    startUp(stream, {1316, 700, 1316});
    udpAndRecordFromTheStart();
    getTs();

    EXPECT_EQ(panel.linesStartingWith(QStringLiteral("Stream out of step")),
              (QStringList{"Stream out of step: 88 bytes skipped to the next packet.",
                           "Stream out of step: 181 bytes skipped to the next packet."}));
    const Bytes out = sent();
    EXPECT_EQ(recorded(), out);
    // Whole packets on their sync bytes throughout; two packets missing
    // where the bytes went (and the two they ran into carry a torn end).
    const auto c = payloadCounters(out);
    EXPECT_EQ(testing_support::counterGaps(c), 2);
    EXPECT_EQ(pump.Health().syncLosses(), 2u);
    EXPECT_GE(pump.Health().continuityErrors(), 2u);
    EXPECT_EQ(out.size() % Chunk, 0u);
    EXPECT_GE(out.size(), (1400 - 2 - 6) * Packet) << "at most the last part-chunk stays behind";
    // The recording says it lost packets; the run's health line has it all.
    EXPECT_FALSE(panel.linesStartingWith(QStringLiteral("Stream lost packets: ")).isEmpty());
    const QStringList health = panel.linesStartingWith(QStringLiteral("TS health: "));
    ASSERT_EQ(health.size(), 1);
    EXPECT_TRUE(health[0].endsWith(QStringLiteral(" continuity errors, 2 sync losses"))) << health[0].toStdString();
}

TEST_F(PumpCore, ContinuityErrorsWhileRecordingAreLoggedAtMostOncePerSecond) {
    // One packet in seven lost, so every pass brings new errors; each pass
    // takes 100 ms of the clock.
    Bytes stream;
    const Bytes all = generated(1400);
    for (std::size_t i = 0; i < 1400; ++i)
        if (i % 7 != 3) stream.insert(stream.end(), all.begin() + i * Packet, all.begin() + (i + 1) * Packet);
    startUp(stream);
    udpAndRecordFromTheStart();
    for (int call = 1; call < 2000; ++call) {
        panel.script[call] = [this, before = panel.script[call]] {
            if (before) before();
            clock.nowUs += 50'000;
        };
    }
    getTs();
    const QStringList reports = panel.linesStartingWith(QStringLiteral("Stream lost packets: "));
    const int seconds = static_cast<int>(stream.size() / Chunk / 10);
    EXPECT_GE(reports.size(), seconds - 1);
    EXPECT_LE(reports.size(), seconds + 2);
    std::uint64_t reported = 0;
    for (const QString& r : reports) reported += r.section(' ', 3, 3).toULongLong();
    EXPECT_EQ(reported, pump.Health().continuityErrors()) << "every error reported once, none twice";
    EXPECT_GT(reported, 150u);
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_TRUE(reports[0].endsWith(QStringLiteral("recording '") + recordings().value(0) + "'."))
        << reports[0].toStdString();
    EXPECT_TRUE(reports[1].contains(QStringLiteral(" at 1.")) || reports[1].contains(QStringLiteral(" at 2.")))
        << "the time into the run: " << reports[1].toStdString();
}

TEST_F(PumpCore, NoLossReportWithoutARecordingButTheHealthLineCountsIt) {
    Bytes stream = generated(700);
    stream.erase(stream.begin() + 200 * Packet, stream.begin() + 201 * Packet);  // one whole packet
    startUp(stream);
    panel.script[2] = [this] { panel.switches[console::Switch::UDPOnOff] = true; };
    getTs();
    EXPECT_TRUE(panel.linesStartingWith(QStringLiteral("Stream lost packets: ")).isEmpty());
    EXPECT_TRUE(panel.linesStartingWith(QStringLiteral("Stream out of step")).isEmpty()) << "sync was kept";
    EXPECT_EQ(pump.Health().continuityErrors(), 1u);
    const QStringList health = panel.linesStartingWith(QStringLiteral("TS health: "));
    ASSERT_EQ(health.size(), 1);
    EXPECT_TRUE(health[0].startsWith(QStringLiteral("TS health: 699 packets, 131412 bytes in ")))
        << health[0].toStdString();
    EXPECT_TRUE(health[0].endsWith(QStringLiteral(" Mbit/s, 1 continuity errors, 0 sync losses")))
        << health[0].toStdString();
}

TEST_F(PumpCore, StatusLineIsRedrawnAtHumanSpeedAndEndsOnTheExactCount) {
    const Bytes stream = generated(7000);
    startUp(stream);
    // 1 ms per message handling: 2 ms a pass, so about one redraw in 25.
    for (int call = 1; call < 5000; ++call) panel.script[call] = [this] { clock.nowUs += 1000; };
    // Get TS off at the end of pass 333, between two redraws.
    panel.script[2 * 333 + 1] = [this] {
        clock.nowUs += 1000;
        panel.switches[console::Switch::GetTSBtn] = false;
        pump.GetTSBtnClick();
    };
    getTs();
    const QStringList counts = panel.statusTexts.filter(QStringLiteral("Bytes Received = "));
    EXPECT_GE(counts.size(), 10);
    EXPECT_LE(counts.size(), 40) << "not one redraw per chunk";
    EXPECT_EQ(counts.last(), QStringLiteral("Bytes Received = %1").arg(333 * Chunk));
    EXPECT_EQ(panel.statusTexts.last(), QString()) << "the end empties the panel";
}

TEST_F(PumpCore, NestedPumpWhileRecordingNeitherPurgesNorTearsTheRecording) {
    const Bytes stream = generated(7 * 60);
    startUp(stream, {1000, 1316});
    udpAndRecordFromTheStart();
    const int purgesBefore = written->purges;
    // Get TS off and on again at the start of pass 5, before the outer pump
    // looks: the inner pump runs there and ends the stream on a later pass.
    panel.script[10] = [this] {
        panel.switches[console::Switch::GetTSBtn] = false;
        pump.GetTSBtnClick();
        panel.switches[console::Switch::GetTSBtn] = true;
        pump.GetTSBtnClick();
    };
    panel.script[20] = [this] {
        panel.switches[console::Switch::GetTSBtn] = false;
        pump.GetTSBtnClick();
    };
    getTs();
    EXPECT_EQ(written->purges, purgesBefore + 1) << "only the outer pump purged";
    EXPECT_EQ(panel.linesStartingWith(QStringLiteral("Done ...I=")).size(), 2);
    ASSERT_EQ(recordings().size(), 1);
    const Bytes file = recorded();
    EXPECT_GT(file.size(), 5 * Chunk);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), stream.begin())) << "one unbroken run of the stream";
    EXPECT_EQ(panel.log.count(QStringLiteral("Recording stopped.")), 1);
    EXPECT_FALSE(pump.Running());
}

TEST_F(PumpCore, StopRequestEndsTheRunAtItsNextLookWithTheRecordingWhole) {
    // Looks: the start and the end of a pass, and every waiting pass.
    for (int stopAt : {1, 6, 7}) {
        SCOPED_TRACE(stopAt);
        console::TsPump fresh{channels, clock, udp, model, panel};
        panel.log.clear();
        panel.script.clear();
        panel.calls = 0;
        if (!written) startUp(generated(7 * 100));
        panel.script[2] = [&] {
            panel.switches[console::Switch::UDPOnOff] = true;
            panel.switches[console::Switch::RecordOnOff] = true;
            fresh.RecordOnOffClick();
        };
        panel.script[stopAt] = [&, before = panel.script[stopAt]] {
            if (before) before();
            fresh.RequestStop();
        };
        panel.switches[console::Switch::GetTSBtn] = true;
        net.lastClient->datagrams.clear();
        fresh.GetTSBtnClick();
        EXPECT_FALSE(fresh.Running());
        EXPECT_FALSE(fresh.RecordFile);
        EXPECT_FALSE(fresh.StreamOn());
        const int passes = stopAt == 1 ? 0 : stopAt / 2 - (stopAt % 2 == 0 ? 1 : 0);
        EXPECT_EQ(net.lastClient->datagrams.size(), static_cast<std::size_t>(passes));
        EXPECT_EQ(panel.linesStartingWith(QStringLiteral("TS health: ")).size(), 1);
        if (passes > 0) {
            EXPECT_EQ(panel.log.last(), QStringLiteral("Recording stopped."));
            EXPECT_EQ(recorded(recordings().size() - 1).size(), static_cast<std::size_t>(passes) * Chunk);
        }
    }
    // With no pump running a stop request is forgotten: the next run streams.
    console::TsPump idle{channels, clock, udp, model, panel};
    idle.RequestStop();
    panel.script.clear();
    panel.calls = 0;
    panel.script[3] = [&] {
        panel.switches[console::Switch::GetTSBtn] = false;
        idle.GetTSBtnClick();
    };
    panel.switches[console::Switch::GetTSBtn] = true;
    net.lastClient->datagrams.clear();
    panel.switches[console::Switch::UDPOnOff] = true;
    idle.GetTSBtnClick();
    EXPECT_EQ(net.lastClient->datagrams.size(), 1u);
}

// The simulated board at the FT2232H's top rate, 8 MB/s, with the pump held
// up once (as a link test run during the stream holds it): the driver's
// buffer bridges a second; a stall far longer than it holds loses data, and
// the log says so.
class StalledPump : public PumpCore {
protected:
    void runWithStall(std::int64_t stallUs, int passes) {
        sim::ChannelBOptions o;
        o.rateMbit = 64;
        auto fifo = std::make_unique<sim::TsFifo>(o, clock);
        board_fifo = fifo.get();
        startUp(std::move(fifo));
        panel.script[2] = [this] {
            panel.switches[console::Switch::RecordOnOff] = true;
            pump.RecordOnOffClick();
        };
        // 100 us a pass: the pump reads faster than the stream comes, and
        // catches up after the stall.
        for (int call = 1; call <= 2 * passes + 1; ++call) {
            panel.script[call] = [this, call, stallUs, before = panel.script[call]] {
                if (before) before();
                clock.nowUs += call == 100 ? stallUs : 50;
            };
        }
        panel.script[2 * passes + 1] = [this, before = panel.script[2 * passes + 1]] {
            before();
            panel.switches[console::Switch::GetTSBtn] = false;
            pump.GetTSBtnClick();
        };
        getTs();
    }
    sim::TsFifo* board_fifo = nullptr;
};

TEST_F(StalledPump, ASecondAtEightMegabytesPerSecondLosesNothing) {
    runWithStall(1'000'000, 20000);
    EXPECT_EQ(board_fifo->droppedBytes(), 0u);
    EXPECT_EQ(pump.Health().continuityErrors(), 0u);
    EXPECT_EQ(pump.Health().syncLosses(), 0u);
    EXPECT_TRUE(panel.linesStartingWith(QStringLiteral("Stream lost packets: ")).isEmpty());
    const auto c = payloadCounters(recorded());
    ASSERT_GT(c.size(), 15000u);
    EXPECT_TRUE(testing_support::contiguous(c));
}

TEST_F(StalledPump, AStallLongerThanTheDriverHoldsIsLogged) {
    runWithStall(5'000'000, 30000);  // 40 MB arrive, 32 MB fit
    ASSERT_GT(board_fifo->droppedBytes(), 0u);
    EXPECT_GT(pump.Health().continuityErrors(), 0u);
    EXPECT_FALSE(panel.linesStartingWith(QStringLiteral("Stream lost packets: ")).isEmpty()) << panel.log.join('\n').toStdString();
    const auto c = payloadCounters(recorded());  // still whole packets on their sync bytes
    EXPECT_GT(c.size(), 20000u);
}

// The board pulled in the middle of a stream: the read fails, and the queue
// query that follows tells a lost device from a stream that merely stopped.
class PumpLosingTheBoard : public PumpCore {
protected:
    void run(bool queueFails) {
        board.addFault(*sim::parseCallFault("FT_Read:1=4@60"));
        if (queueFails) board.addFault(*sim::parseCallFault("FT_GetQueueStatus:1=4@2"));
        startUp(generated(7000));
        udpAndRecordFromTheStart();
        model.update([](console::ConsoleState& st) {  // as Open TS fifo left it
            st.shown = true;
            st.channelB = console::ChannelState::Open;
            st.quitEnabled = false;
        });
        getTs();
        const QStringList lost = panel.linesStartingWith(QStringLiteral("Get_USB_Device_QueueStatus failed"));
        EXPECT_EQ(lost.size(), queueFails ? 1 : 0) << panel.log.join('\n').toStdString();
        ASSERT_EQ(panel.linesStartingWith(QStringLiteral("Done ...I=0 ")).size(), 1);
        EXPECT_TRUE(panel.log.contains(QStringLiteral("Recording stopped.")));
        // A lost device leaves Get TS off for good and Quit as the way out; a
        // read that failed on a board still there ends the run and says which.
        EXPECT_EQ(panel.state.pump == console::PumpState::DeviceLost, queueFails);
        EXPECT_EQ(panel.state.quitEnabled, queueFails);
        const console::StreamReport& report = pump.LastReport();
        EXPECT_EQ(report.end, queueFails ? console::StreamEnd::DeviceLost : console::StreamEnd::ReadFailed);
        EXPECT_EQ(report.failedCall, queueFails ? "FT_GetQueueStatus B" : "FT_Read B");
        EXPECT_EQ(report.status, usb::FT_IO_ERROR);
        EXPECT_EQ(panel.log.count(QStringLiteral("ERROR : FT_Read B - General IO error...")), queueFails ? 0 : 1)
            << panel.log.join('\n').toStdString();
        const Bytes file = recorded();
        EXPECT_EQ(file.size() % Chunk, 0u);
        EXPECT_GE(file.size(), 50 * Chunk) << "the chunks read before the failure";
        EXPECT_EQ(testing_support::counterGaps(payloadCounters(file)), 0);
    }
};

TEST_F(PumpLosingTheBoard, TheLostDeviceIsSaidAndOnlyQuitIsLeft) { run(true); }
TEST_F(PumpLosingTheBoard, AFailedReadWithTheQueueStillThereEndsLikeAStoppedStream) { run(false); }

// Calls whose failure does not change the run's course are still said, once
// each, and a datagram the player never got is counted in the run's health.
TEST_F(PumpCore, FailuresThatDoNotEndTheRunAreSaidAndCounted) {
    for (const char* call : {"FT_StopInTask", "FT_RestartInTask", "FT_SetTimeouts"})
        board.addFault(*sim::parseCallFault(std::string(call) + ":1=4@1"));
    startUp(generated(700));
    udpAndRecordFromTheStart();
    net.lastClient->failEvery = 10;
    getTs();
    EXPECT_EQ(panel.log.mid(0, 3), (QStringList{"ERROR : FT_StopInTask B - General IO error...",
                                                 "ERROR : FT_RestartInTask B - General IO error...",
                                                 "ERROR : FT_SetTimeouts B - General IO error..."}));
    const console::StreamReport& r = pump.LastReport();
    EXPECT_EQ(r.chunks, 100u);
    EXPECT_EQ(r.datagramsFailed, 10u);
    EXPECT_EQ(r.datagramsSent, 90u);
    const QStringList health = panel.linesStartingWith(QStringLiteral("TS health: "));
    ASSERT_EQ(health.size(), 1);
    EXPECT_TRUE(health[0].endsWith(QStringLiteral(", 10 UDP sends failed"))) << health[0].toStdString();
    EXPECT_EQ(recorded().size(), 700 * Packet) << "the recording does not depend on the player";
}
