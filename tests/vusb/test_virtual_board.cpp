// The program as shipped (no --simulate, the libftdi backend over the real
// libftdi1) on the virtual FT2232H on USB: start-up, the I2C set-up and link
// tests, the stream to UDP and to a recording, and a board unplugged in the
// middle of each.
#include <gtest/gtest.h>

#include <optional>

#include "catalogues/stv0903_signal.h"
#include "sim/ts_source.h"
#include "support/test_clip.h"
#include "support/ts_check.h"
#include "support/udp_receiver.h"
#include "virtual_board_run.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using vusb_test::ProgramRun;
using vusb_test::runOnVirtualBoard;
constexpr std::size_t Chunk = 1316;

using testing_support::continuityErrors;
using testing_support::loopOffset;
using testing_support::readFile;
using testing_support::UdpReceiver;

using testing_support::joinWholeChunks;

class VirtualBoard : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QStringList recordings() const { return QDir(dir.path()).entryList({"*.TS"}, QDir::Files); }
    Bytes onlyRecording() const {
        const QStringList r = recordings();
        EXPECT_EQ(r.size(), 1) << r.join(",").toStdString();
        return r.isEmpty() ? Bytes{} : readFile(QDir(dir.path()).filePath(r[0]));
    }

    // A two-second clip made by ffmpeg, for the looped stream.
    void makeClip() {
        // Not *.ts: the recordings are told apart by that name.
        clip = dir.filePath("clip.mpegts");
        QString why;
        source = testing_support::makeTestClip(clip, &why);
        ASSERT_FALSE(source.empty()) << "ffmpeg is needed to make the clip: " << why.toStdString();
        ASSERT_GT(source.size(), 10 * Chunk);
        ASSERT_EQ(source.size() % sim::TsPacketSize, 0u);
        // The clip itself must be free of continuity errors for the check
        // on what comes out to mean anything.
        ASSERT_EQ(continuityErrors(source), 0);
    }

    static void expectLogged(const ProgramRun& r, const QStringList& lines) {
        for (const QString& l : lines)
            EXPECT_TRUE(r.out.contains(l)) << "missing: " << l.toStdString() << "\nstdout:\n"
                                           << r.out.toStdString() << "\nstderr:\n"
                                           << r.err.toStdString();
    }

    QTemporaryDir dir;
    QString clip;
    Bytes source;
};

TEST_F(VirtualBoard, StartUpFindsBothChannelsOpensAAndOpensAndClosesB) {
    const QString trace = dir.filePath("d2xx.txt");
    const ProgramRun r = runOnVirtualBoard({}, {"--d2xx-trace=" + trace, "--do", "Exit1"}, dir.path());
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    expectLogged(r, {"FT2232H  I2C is open\n", "FT2232H FIFO open for TS\n",
                     QString::fromUtf8("For I2C,we will use device N° VB2232H1A named: Dual RS232-HS A\n"),
                     QString::fromUtf8("For TS,we will use device N° VB2232H1B named: Dual RS232-HS B\n"),
                     "FT2232H FIFO closed for TS\n"});
    EXPECT_FALSE(r.out.contains("No FT2232H"));
    EXPECT_LT(r.out.indexOf("FIFO open for TS"), r.out.indexOf("FIFO closed for TS"));

    // The device count and what the backend made of the USB descriptors.
    const Bytes traced = readFile(trace);
    const QString calls = QString::fromUtf8(reinterpret_cast<const char*>(traced.data()),
                                            static_cast<qsizetype>(traced.size()));
    EXPECT_TRUE(calls.contains("FT_ListDevices(NUMBER_ONLY) -> 0 FT_OK count=2")) << calls.toStdString();
    EXPECT_TRUE(calls.contains("FT_CreateDeviceInfoList() -> 0 FT_OK count=2"));
    EXPECT_TRUE(calls.contains("type=6 id=0x04036010 loc=0x2111 serial=\"VB2232H1A\""));
    EXPECT_TRUE(calls.contains("type=6 id=0x04036010 loc=0x2112 serial=\"VB2232H1B\""));
    // Both channels were opened, flags say "open, high speed" while they are.
    EXPECT_TRUE(calls.contains("FT_GetDeviceInfoDetail(1) -> 0 FT_OK flags=0x3"));
}

TEST_F(VirtualBoard, EardaLinkTestHasNoI2cErrors) {
    const ProgramRun r = runOnVirtualBoard({}, {"--do", "TestI2CBtn,TestEardaBtn,Exit1"}, dir.path());
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 0);
    expectLogged(r, {"I2C controler INIT OK\n", "Init MPSSE I2C done!\n", "Demodulator is recognized\n",
                     "Writing demodulator default values ==> OK\n",
                     "ZavoRuraz initialization ==> OK\n", "Reading OK\n"});
    EXPECT_EQ(r.out.count("we have : 0 reading errors from 1000\n"), 2) << r.out.toStdString();
    EXPECT_EQ(r.out.count("we have : 0 writing errors and 0 reading errors from 512\n"), 2);
    EXPECT_FALSE(r.out.contains("NOT OK")) << r.out.toStdString();
}

TEST_F(VirtualBoard, SharpLinkTestHasNoI2cErrors) {
    const ProgramRun r = runOnVirtualBoard({"--nim=sharp"}, {"--do", "TestI2CBtn,TestSharpBtn,Exit1"}, dir.path());
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 0);
    expectLogged(r, {"I2C controler INIT OK\n", "Demodulator is recognized\n"});
    EXPECT_EQ(r.out.count("we have : 0 reading errors from 1000\n"), 2) << r.out.toStdString();
    EXPECT_EQ(r.out.count("we have : 0 writing errors and 0 reading errors from 512\n"), 2);
    EXPECT_FALSE(r.out.contains("NOT OK")) << r.out.toStdString();
}

// The stream as the operator starts it: UDP and Record on for three seconds,
// the clip played at 8 Mbit/s so that it loops many times. Both outputs are
// one unbroken run of the looped clip, without a continuity error at its
// seams.
TEST_F(VirtualBoard, StreamReachesRecordingAndPlayerWhole) {
    makeClip();
    UdpReceiver player(true);
    ASSERT_TRUE(player.ok());
    const QString udp = QString("--udp=127.0.0.1:%1").arg(player.port());
    const ProgramRun r = runOnVirtualBoard(
        {"--ts-file=" + clip, "--ts-rate=8"},
        {udp, "--do", "BtnOpenB,GetTSBtn,UDPOnOff,RecordOnOff,wait 3000,RecordOnOff,GetTSBtn,Exit1"},
        dir.path());
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 0);
    expectLogged(r, {"Started recording '", "Recording stopped.\n"});
    EXPECT_FALSE(r.out.contains("failed")) << r.out.toStdString();

    const Bytes recorded = onlyRecording();
    // 8 Mbit/s for most of three seconds.
    EXPECT_GT(recorded.size(), 1'000'000u);
    EXPECT_EQ(recorded.size() % Chunk, 0u);
    EXPECT_TRUE(loopOffset(source, recorded)) << "the recording is not one run of the clip";
    EXPECT_EQ(continuityErrors(recorded), 0);

    const Bytes sent = joinWholeChunks(UdpReceiver::fromProgram(player.settle()));
    EXPECT_GT(sent.size(), recorded.size() / 2);
    EXPECT_TRUE(loopOffset(source, sent)) << "the UDP stream is not one run of the clip";
    EXPECT_EQ(continuityErrors(sent), 0);
}

// The generated stream numbers its packets: a host that sees every transfer
// 20 ms late still loses none, as the backend keeps enough reads queued.
TEST_F(VirtualBoard, SlowHostLosesNothingOfTheStream) {
    const ProgramRun r = runOnVirtualBoard(
        {"--slow-host-us=20000"},
        {"--do", "BtnOpenB,GetTSBtn,RecordOnOff,wait 2000,RecordOnOff,GetTSBtn,Exit1"}, dir.path());
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    const Bytes recorded = onlyRecording();
    EXPECT_GT(recorded.size(), 500'000u);
    EXPECT_EQ(continuityErrors(recorded), 0);
}

// Pulled while streaming: the read fails, the queue query that follows
// says the device is gone, the run ends with the recording closed whole, Get
// TS goes off for good and Quit is the way out.
TEST_F(VirtualBoard, UnplugDuringStreamEndsTheRunAndKeepsTheRecordingWhole) {
    makeClip();
    const ProgramRun r = runOnVirtualBoard(
        {"--ts-file=" + clip, "--ts-rate=8", "--unplug-after-ts-bytes=2000000"},
        {"--do", "BtnOpenB,GetTSBtn,RecordOnOff,wait 4000,GetTSBtn,BtnQuit,wait 3000,Exit1"}, dir.path(),
        60000);
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 0);
    expectLogged(r, {"Get_USB_Device_QueueStatus failed, No Device\n", "Done ...I=0 FT_Q_Bytes= ",
                     "Recording stopped.\n"});
    EXPECT_LT(r.out.indexOf("Get_USB_Device_QueueStatus failed"), r.out.indexOf("Done ...I=0"));
    EXPECT_TRUE(r.err.contains("step 'GetTSBtn': the switch is disabled")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("step 'BtnQuit': the button is disabled")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("step 'Exit1'")) << "Quit did not end the program";
    // No dialog in the middle of a stream.
    EXPECT_EQ(r.dialogs().filter("FT_CloseB").size(), r.dialogs().size()) << r.err.toStdString();

    // The count includes what start-up and the stream before Record read.
    const Bytes recorded = onlyRecording();
    EXPECT_GT(recorded.size(), 200'000u);
    EXPECT_LE(recorded.size(), 2'000'000u);
    EXPECT_EQ(recorded.size() % Chunk, 0u);
    EXPECT_TRUE(loopOffset(source, recorded)) << "the recording is not one run of the clip";
}

// Pulled while the pump waits for the first data: the queue query fails
// with status 4, Get TS goes off for good and Quit is the way out.
TEST_F(VirtualBoard, UnplugWhileWaitingForDataLosesTheDevice) {
    const ProgramRun r = runOnVirtualBoard(
        {"--fault=ts-none", "--unplug-after-ms=1500"},
        {"--do", "BtnOpenB,GetTSBtn,RecordOnOff,wait 3000,GetTSBtn,BtnQuit,wait 3000,Exit1"},
        dir.path(), 60000);
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 0);
    expectLogged(r, {"Get_USB_Device_QueueStatus failed, No Device\n"});
    EXPECT_FALSE(r.out.contains("Done ...I=")) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("step 'GetTSBtn': the switch is disabled")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("step 'BtnQuit': the button is disabled")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("step 'Exit1'")) << "Quit did not end the program";
    EXPECT_TRUE(recordings().isEmpty());
}

// The link test stops at the first failed call with one line and one
// dialog, instead of a dialog for each of the thousands of calls left.
TEST_F(VirtualBoard, UnplugDuringLinkTestEndsPromptly) {
    // Well inside the first 1000 reads of the link test.
    const ProgramRun r = runOnVirtualBoard({"--unplug-after-writes=400"},
                                           {"--do", "TestI2CBtn,TestEardaBtn,Exit1"}, dir.path(), 60000);
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_LT(r.elapsedMs, 20000) << r.out.toStdString();
    EXPECT_EQ(r.out.count("ERROR : I2C link lost at "), 1) << r.out.toStdString();
    EXPECT_FALSE(r.out.contains("reading errors from 1000")) << r.out.toStdString();
    // Closing channel B at the exit, already closed since start-up, has its own.
    QStringList dialogs = r.dialogs();
    dialogs.removeAll("dialog: FT_CloseB - Invalid handle...");
    EXPECT_EQ(dialogs.size(), 1) << r.err.toStdString();
}

// Two boards on the bus, the first without a demodulator. Chosen by serial,
// the second one's channels are the program's: the window's link test
// passes on it, and register reads reach it and not the first. Unchosen,
// both serials are listed and start-up goes no further.
// The virtual board builds its demodulator from the same signal options.
TEST_F(VirtualBoard, SignalOptionsReachTheDemodulator) {
    const QStringList board = {"--cn=7.5", "--modcod=8psk-2/3"};
    int value[2] = {-1, -1};
    const char* noise[2] = {"NNOSPLHT1", "NNOSPLHT0"};
    for (int k = 0; k < 2; ++k) {
        const ProgramRun r = runOnVirtualBoard(board, {"regs", QString("--read=") + noise[k]}, dir.path());
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        value[k] = r.out.section(" = 0x", 1).trimmed().toInt(nullptr, 16);
    }
    EXPECT_NEAR(STV0903Signal::Lookup(STV0903Signal::Dvbs2CnTable, value[0] << 8 | value[1]), 7.5, 0.2);
    ProgramRun r = runOnVirtualBoard(board, {"regs", "--read=DMDMODCOD"}, dir.path());
    EXPECT_EQ(r.out, "DMDMODCOD (0xF411) = 0x34\n");  // MODCOD 13
    r = runOnVirtualBoard({"--signal=none"}, {"regs", "--read=DSTATUS"}, dir.path());
    EXPECT_EQ(r.out, "DSTATUS (0xF412) = 0x00\n");
}

TEST_F(VirtualBoard, OneOfTwoBoardsIsChosenBySerial) {
    const QStringList bus = {"--fault=demod-absent", "--next-board", "--serial=FTX99"};
    ProgramRun r = runOnVirtualBoard(bus, {"--list-boards"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "VB2232H1\nFTX99\n");

    r = runOnVirtualBoard(bus, {"--do", "TestI2CBtn,Exit1"}, dir.path());
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    expectLogged(r, {"Several boards present: VB2232H1, FTX99 - choose one with --board=SERIAL\n"});
    EXPECT_FALSE(r.out.contains("No FT2232H or no power on it")) << "with boards present";
    EXPECT_FALSE(r.out.contains("I2C controler INIT")) << r.out.toStdString();

    r = runOnVirtualBoard(bus, {"--board=FTX99", "--do", "TestI2CBtn,TestEardaBtn,Exit1"}, dir.path());
    ASSERT_TRUE(r.finished) << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 0);
    expectLogged(r, {QString::fromUtf8("For I2C,we will use device N° FTX99A named: Dual RS232-HS A\n"),
                     QString::fromUtf8("For TS,we will use device N° FTX99B named: Dual RS232-HS B\n"),
                     "I2C controler INIT OK\n", "Demodulator is recognized\n"});
    EXPECT_EQ(r.out.count("we have : 0 reading errors from 1000\n"), 2) << r.out.toStdString();
    EXPECT_FALSE(r.out.contains("NOT OK")) << r.out.toStdString();

    r = runOnVirtualBoard(bus, {"regs", "--board=FTX99", "--read=MID"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "MID (0xF100) = 0x20\n");
    r = runOnVirtualBoard(bus, {"regs", "--board=VB2232H1", "--read=MID"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("no demodulator answers")) << r.err.toStdString();
}

}  // namespace
