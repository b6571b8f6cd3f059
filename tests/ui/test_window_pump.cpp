#include <QPushButton>
#include <csignal>
#include <sys/resource.h>

#include "console/ts_pump.h"
#include "ui/window_fixture.h"

using namespace testing_console;

namespace {

const QString Waiting = QStringLiteral("Waiting for Data ...from device");
const QString Stopped = QStringLiteral("Recording stopped.");
const QString FirstName = QStringLiteral("USB_09_12_2026_11h00_00.TS");

QString started(const QString& name) { return "Started recording '" + name + "'."; }
QString done(int lastRead, unsigned queued) {
    return QStringLiteral("Done ...I=%1 FT_Q_Bytes= %2").arg(lastRead).arg(queued);
}
class Pump : public WindowTest {
protected:
    void recordAndSendFromPass(int pass) {
        atPassStart(pass, [this] {
            click(form->UDPOnOff);
            click(form->RecordOnOff);
        });
    }
    void stopAtPassEnd(int pass) { atPassEnd(pass, [this] { click(form->GetTSBtn); }); }
    void run() { click(form->GetTSBtn); }

    // The idle state every normal end leaves the controls in.
    void expectIdle() {
        EXPECT_FALSE(form->Pump.StreamOn());
        EXPECT_FALSE(form->GetTSBtn->SwitchOn());
        EXPECT_TRUE(form->GetTSBtn->isEnabled());
        EXPECT_FALSE(form->UDPOnOff->SwitchOn());
        EXPECT_FALSE(form->UDPOnOff->isEnabled());
        EXPECT_FALSE(form->RecordOnOff->isEnabled());
        EXPECT_TRUE(form->BtnCloseB->isEnabled());
        EXPECT_EQ(form->StatusText(), QString());
        EXPECT_FALSE(form->Pump.RecordFile);
    }
};

sim::ChannelBOptions withFault(const char* arg) {
    sim::ChannelBOptions o;
    o.rateMbit = 0;
    std::string error;
    EXPECT_EQ(sim::parseChannelBOption(arg, o, &error), sim::OptionParse::Accepted) << arg;
    return o;
}

}  // namespace

TEST(RecordingName, DayMonthYearHourMinutesSecondsWithTwoDigitFields) {
    EXPECT_EQ(console::RecordingFileName({2025, 12, 8, 14, 5, 33}), "USB_08_12_2025_14h05_33.TS");
    EXPECT_EQ(console::RecordingFileName({2026, 1, 1, 0, 0, 0}), "USB_01_01_2026_00h00_00.TS");
    EXPECT_EQ(console::RecordingFileName({2026, 10, 31, 23, 59, 59}), "USB_31_10_2026_23h59_59.TS");
    EXPECT_EQ(console::NumberedRecordingName("USB_08_12_2025_14h05_33.TS", 1), "USB_08_12_2025_14h05_33.TS");
    EXPECT_EQ(console::NumberedRecordingName("USB_08_12_2025_14h05_33.TS", 2), "USB_08_12_2025_14h05_33_2.TS");
    EXPECT_EQ(console::NumberedRecordingName("USB_08_12_2025_14h05_33.TS", 12), "USB_08_12_2025_14h05_33_12.TS");
}

TEST_F(Pump, NoDataForFiveSecondsEndsTheRunAcrossATickWrap) {
    clock.nowUs = clock.dateOriginUs = (0xFFFFFFFFll - 2000) * 1000;  // the 32-bit tick wraps during the wait
    stepMs = 10;
    startUp(withFault("--fault=ts-none"));
    QString statusDuringWait;
    atCall(300, [&] { statusDuringWait = form->StatusText(); });
    atCall(3, [this] { click(form->RecordOnOff); });  // no streaming pass will follow
    run();
    EXPECT_EQ(statusDuringWait, Waiting);
    EXPECT_EQ(calls, 501) << "5010 ms is the first poll past 5000 ms";
    EXPECT_EQ(log, QStringList{done(0, 0)});
    EXPECT_EQ(board.callCount("FT_Read"), 0u);
    // A Record switched on during the wait stays on, disabled, for the next run.
    EXPECT_TRUE(form->RecordOnOff->SwitchOn());
    EXPECT_TRUE(form->Pump.RecordOn());
    EXPECT_TRUE(recordings().isEmpty());
    expectIdle();
}

TEST_F(Pump, ExactlyFiveThousandMillisecondsStillWaits) {
    stepMs = 1000;
    startUp(withFault("--fault=ts-none"));
    run();
    EXPECT_EQ(calls, 6) << "polls at 1000..5000 ms go on, 6000 ms ends the wait";
}

TEST_F(Pump, StreamThatStopsEndsWithTheWaitsQueueCountAndOnlyWholeChunksGoOut) {
    startUp(withFault("--fault=ts-stop-after=13660"));  // ten chunks and 500 bytes
    recordAndSendFromPass(1);
    QString lastStatus;
    onEveryCall = [&] { if (!form->StatusText().isEmpty()) lastStatus = form->StatusText(); };
    run();
    EXPECT_EQ(lastStatus, QStringLiteral("Bytes Received = 13660"));
    EXPECT_EQ(log, (QStringList{started(FirstName), done(0, 13660), Stopped}));
    std::size_t datagrams = 0;
    const auto sent = received(&datagrams);
    EXPECT_EQ(datagrams, 10u);
    const auto recorded = fileBytes(FirstName);
    EXPECT_EQ(recorded.size(), 10u * 1316);
    EXPECT_EQ(recorded, sent);
    EXPECT_TRUE(contiguous(payloadCounters(recorded)));
    EXPECT_FALSE(form->RecordOnOff->SwitchOn());
    EXPECT_FALSE(form->Pump.RecordOn());
    expectIdle();
}

TEST_F(Pump, ShortReadsAreJoinedIntoWholeChunks) {
    startUp(withFault("--fault=ts-short-reads"));
    recordAndSendFromPass(1);
    stopAtPassEnd(6);
    QString statusAtEnd;
    atPassEnd(5, [&] { statusAtEnd = form->StatusText(); });
    run();
    EXPECT_EQ(statusAtEnd, QStringLiteral("Bytes Received = 2500"));
    EXPECT_EQ(log, (QStringList{started(FirstName), done(500, FullDriverBuffer), Stopped}));
    // 3000 bytes in six reads: two whole chunks, the rest waits for more.
    std::size_t datagrams = 0;
    const auto sent = received(&datagrams);
    EXPECT_EQ(datagrams, 2u);
    const auto recorded = fileBytes(FirstName);
    EXPECT_EQ(recorded.size(), 2u * 1316);
    EXPECT_EQ(recorded, sent);
    const auto counters = payloadCounters(recorded);
    EXPECT_GT(counters.size(), 10u);
    EXPECT_TRUE(contiguous(counters));
}

TEST_F(Pump, GetTsOffAtThePassStartStillForwardsThatPassesChunk) {
    startUp();
    atPassStart(1, [this] { click(form->UDPOnOff); });
    atPassStart(4, [this] { click(form->GetTSBtn); });
    run();
    EXPECT_EQ(board.callCount("FT_Read"), 4u);
    std::size_t datagrams = 0;
    const auto sent = received(&datagrams);
    EXPECT_EQ(datagrams, 4u);
    EXPECT_TRUE(contiguous(payloadCounters(sent)));
    EXPECT_EQ(log, QStringList{done(1316, FullDriverBuffer)});
    expectIdle();
}

TEST_F(Pump, GetTsOffAtThePassEndEndsAtOnce) {
    startUp();
    atPassStart(1, [this] { click(form->UDPOnOff); });
    stopAtPassEnd(3);
    run();
    EXPECT_EQ(board.callCount("FT_Read"), 3u);
    std::size_t datagrams = 0;
    received(&datagrams);
    EXPECT_EQ(datagrams, 3u);
    EXPECT_EQ(log, QStringList{done(1316, FullDriverBuffer)});
    expectIdle();
}

TEST_F(Pump, ThreeRecordingsInOneRunEachNamedAfterItsStart) {
    stepMs = 400;  // each pass takes 0.8 s of the clock
    startUp();
    for (int pass : {2, 5, 8, 11, 14}) atPassStart(pass, [this] { click(form->RecordOnOff); });
    stopAtPassEnd(16);
    run();
    const QStringList names = {"USB_09_12_2026_11h00_01.TS", "USB_09_12_2026_11h00_06.TS",
                               "USB_09_12_2026_11h00_11.TS"};
    EXPECT_EQ(recordings(), names);
    EXPECT_EQ(log, (QStringList{started(names[0]), Stopped, started(names[1]), Stopped,
                                started(names[2]), done(1316, FullDriverBuffer), Stopped}));
    for (const QString& n : names) {
        const auto bytes = fileBytes(n);
        EXPECT_EQ(bytes.size(), 3u * 1316) << n.toStdString();
        EXPECT_TRUE(contiguous(payloadCounters(bytes))) << n.toStdString();
    }
    EXPECT_FALSE(form->RecordOnOff->SwitchOn());
    expectIdle();
}

TEST_F(Pump, RecordingNeverOverwritesAFileOfTheSameName) {
    stepMs = 0;  // every start falls in the same second
    startUp();
    ASSERT_TRUE(testing_support::writeFile(FirstName, "keep"));
    for (int pass : {1, 3, 5}) atPassStart(pass, [this] { click(form->RecordOnOff); });
    stopAtPassEnd(6);
    run();
    const QString second = QStringLiteral("USB_09_12_2026_11h00_00_2.TS");
    const QString third = QStringLiteral("USB_09_12_2026_11h00_00_3.TS");
    EXPECT_EQ(log, (QStringList{started(second), Stopped, started(third), done(1316, FullDriverBuffer),
                                Stopped}));
    EXPECT_EQ(fileBytes(FirstName), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(fileBytes(second).size(), 2u * 1316);
    EXPECT_EQ(fileBytes(third).size(), 2u * 1316);
}

TEST_F(Pump, RecordingThatCannotBeCreatedTurnsRecordOffAndStreamingGoesOn) {
    // A current directory that has been removed: nothing can be created in
    // it, not even by root.
    ASSERT_TRUE(QDir(dir.path()).mkdir("gone"));
    ASSERT_TRUE(QDir::setCurrent(dir.filePath("gone")));
    ASSERT_TRUE(QDir(dir.path()).rmdir("gone"));
    startUp();
    recordAndSendFromPass(1);
    stopAtPassEnd(4);
    run();
    EXPECT_EQ(log, (QStringList{"Error starting recording '" + FirstName + "'.",
                                done(1316, FullDriverBuffer)}));
    EXPECT_FALSE(form->RecordOnOff->SwitchOn());
    EXPECT_FALSE(form->Pump.RecordOn());
    std::size_t datagrams = 0;
    received(&datagrams);
    EXPECT_EQ(datagrams, 4u);
}

TEST_F(Pump, FailedWriteStopsTheRecordingAndKeepsItWholeChunks) {
    startUp();
    recordAndSendFromPass(1);
    stopAtPassEnd(8);
    // Room for three chunks and a bit: the fourth write comes up short.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 3 * 1316 + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    run();
    setrlimit(RLIMIT_FSIZE, &old);
    // The line gives the system's reason.
    EXPECT_EQ(log, (QStringList{started(FirstName), "Error writing recording '" + FirstName + "': File too large.",
                                Stopped, done(1316, FullDriverBuffer)}));
    EXPECT_EQ(fileBytes(FirstName).size(), 3u * 1316);
    EXPECT_FALSE(form->RecordOnOff->SwitchOn());
    EXPECT_FALSE(form->Pump.RecordOn());
    std::size_t datagrams = 0;
    received(&datagrams);
    EXPECT_EQ(datagrams, 8u) << "UDP goes on";
}

TEST_F(Pump, UdpOnWithoutAConnectedClientRecordsButSendsNothing) {
    net.connectFails = true;
    startUp();
    recordAndSendFromPass(1);
    stopAtPassEnd(4);
    run();
    EXPECT_EQ(log, (QStringList{started(FirstName), done(1316, FullDriverBuffer), Stopped}));
    EXPECT_EQ(fileBytes(FirstName).size(), 4u * 1316);
    std::size_t datagrams = 0;
    received(&datagrams, 50);
    EXPECT_EQ(datagrams, 0u);
}

TEST_F(Pump, NoErrorDialogsOnceAPumpHasRun) {
    startUp();
    board.addFault(*sim::parseCallFault("FT_SetTimeouts:1=4"));
    const std::size_t before = dialogs.errors.size();
    form->Channels.Close_USB_Device_A();  // never opened: invalid handle
    ASSERT_EQ(dialogs.errors.size(), before + 1);
    stopAtPassEnd(1);
    run();
    form->Channels.Close_USB_Device_A();
    EXPECT_EQ(dialogs.errors.size(), before + 1) << "neither the failure in the pump nor later ones";
    EXPECT_FALSE(form->Channels.ShowFTErrors);
}

TEST_F(Pump, GetTsOffAndOnBeforeThePumpLooksRunsANestedPump) {
    startUp();
    atPassStart(1, [this] { click(form->UDPOnOff); });
    atPassStart(3, [this] {
        click(form->GetTSBtn);  // off
        click(form->GetTSBtn);  // on: the inner pump runs right here
    });
    // Calls of the inner pump: 7 waiting, then 8/9 and 10/11 for its passes.
    atCall(11, [this] { click(form->GetTSBtn); });
    run();
    EXPECT_EQ(log, (QStringList{done(1316, FullDriverBuffer), done(1316, FullDriverBuffer)}));
    EXPECT_EQ(board.callCount("FT_Read"), 5u) << "two inner passes, three outer";
    std::size_t datagrams = 0;
    received(&datagrams);
    EXPECT_EQ(datagrams, 4u) << "the inner pump's end turned UDP off for the outer's last pass";
    expectIdle();
}

TEST_F(Pump, NestedPumpWhileRecordingKeepsTheStreamAndLeavesNoHole) {
    startUp();
    // Were the inner pump to purge, its purge would fail and say so.
    const std::uint32_t purges = board.callCount("FT_Purge");
    board.addFault(*sim::parseCallFault("FT_Purge=2@" + std::to_string(purges + 2)));
    recordAndSendFromPass(1);
    atPassStart(3, [this] {
        click(form->GetTSBtn);
        click(form->GetTSBtn);  // inner pump, while the outer one records
    });
    stopAtPassEnd(5);  // the inner pump's second pass
    run();
    EXPECT_EQ(board.callCount("FT_Purge"), purges + 1) << "only the outer pump purged";
    const unsigned innerQueue = 419 * 188;  // what the inner pump's wait found queued
    EXPECT_EQ(log, (QStringList{started(FirstName), done(1316, innerQueue), Stopped, done(1316, innerQueue)}));
    // Two chunks of the outer pump, two of the inner one, in one piece.
    const auto recorded = fileBytes(FirstName);
    EXPECT_EQ(recorded.size(), 4u * 1316);
    EXPECT_TRUE(contiguous(payloadCounters(recorded)));
    std::size_t datagrams = 0;
    const auto sent = received(&datagrams);
    EXPECT_EQ(datagrams, 4u) << "the inner pump's end turned UDP off for the outer's last pass";
    EXPECT_EQ(sent, recorded);
    expectIdle();
}

TEST_F(Pump, NestedPumpWhosePurgeFailsWithoutARecordingLeavesTheOuterStreaming) {
    startUp();
    board.addFault(*sim::parseCallFault("FT_Purge=2@" + std::to_string(board.callCount("FT_Purge") + 2)));
    atPassStart(1, [this] { click(form->UDPOnOff); });
    atPassStart(3, [this] {
        click(form->GetTSBtn);
        click(form->GetTSBtn);  // inner pump: the purge fails, nothing to clean up
    });
    stopAtPassEnd(5);
    run();
    EXPECT_EQ(log, (QStringList{"Purge_USB_Device_Out failed, No Device", done(1316, FullDriverBuffer)}));
    std::size_t datagrams = 0;
    const auto sent = received(&datagrams);
    EXPECT_EQ(datagrams, 5u);
    EXPECT_TRUE(contiguous(payloadCounters(sent)));
    expectIdle();
}

TEST_F(Pump, QueueStatusFailureLeavesThePumpStuckUntilGetTsIsSwitchedOff) {
    startUp(maxRate(), {"FT_GetQueueStatus:1=2"});
    run();
    EXPECT_EQ(log, QStringList{"Get_USB_Device_QueueStatus failed, No Device"});
    EXPECT_EQ(form->StatusText(), QString());
    EXPECT_TRUE(form->Pump.StreamOn());
    EXPECT_TRUE(form->GetTSBtn->SwitchOn());
    EXPECT_TRUE(form->GetTSBtn->isEnabled());
    EXPECT_TRUE(form->UDPOnOff->isEnabled());
    EXPECT_TRUE(form->RecordOnOff->isEnabled());
    EXPECT_FALSE(form->BtnCloseB->isEnabled());
    click(form->GetTSBtn);
    expectIdle();
}

TEST_F(Pump, GeneralIoErrorOnTheQueueMeansTheDeviceIsLost) {
    startUp(maxRate(), {"FT_GetQueueStatus:1=4"});
    form->BtnQuit->setEnabled(false);
    run();
    EXPECT_EQ(log, QStringList{"Get_USB_Device_QueueStatus failed, No Device"});
    EXPECT_FALSE(form->GetTSBtn->SwitchOn());
    EXPECT_FALSE(form->GetTSBtn->isEnabled());
    EXPECT_TRUE(form->BtnQuit->isEnabled());
    EXPECT_TRUE(form->Pump.StreamOn());
    EXPECT_TRUE(form->UDPOnOff->isEnabled());
    EXPECT_FALSE(form->BtnCloseB->isEnabled());
    EXPECT_TRUE(board.isOpen(1)) << "channel B stays open";
}

TEST_F(Pump, PurgeFailureEndsThePumpBeforeWaiting) {
    startUp(maxRate(), {"FT_Purge:1=4"});
    run();
    EXPECT_EQ(log, QStringList{"Purge_USB_Device_Out failed, No Device"});
    EXPECT_EQ(form->StatusText(), QString());
    EXPECT_EQ(board.callCount("FT_GetQueueStatus"), 0u);
    EXPECT_TRUE(form->GetTSBtn->SwitchOn()) << "stuck: Get TS still shows on";
    EXPECT_TRUE(form->Pump.StreamOn());
}

TEST_F(Pump, RateLimitedStreamReachesBothOutputsWithoutAGap) {
    // 4 Mbit/s on the test clock: 1 ms per message handling brings 1000
    // bytes per pass, so each read also waits a little for its chunk.
    stepMs = 1;
    sim::ChannelBOptions o;
    o.rateMbit = 4;
    startUp(o);
    recordAndSendFromPass(1);
    stopAtPassEnd(200);
    run();
    std::size_t datagrams = 0;
    const auto sent = received(&datagrams);
    EXPECT_EQ(datagrams, 200u);
    const auto counters = payloadCounters(sent);
    EXPECT_GT(counters.size(), 1000u);
    EXPECT_TRUE(contiguous(counters));
    EXPECT_EQ(fileBytes(FirstName), sent);
}
