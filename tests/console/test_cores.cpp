// The console's cores and the link test without a window: start-up, the
// channels, the I2C set-up, the link test, the UDP output and the pump on
// the simulated board, seen through a fake operator panel.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "console/startup.h"
#include "sim/channel_a.h"
#include "sim/ft2232h_board.h"
#include "sim/ts_source.h"
#include "support/fake_panel.h"
#include "support/test_support.h"
#include "support/fake_network.h"
#include "support/ts_check.h"

using console::Switch;
using testing_support::FakePanel;

namespace {

struct Cores {
    testing_support::FakeClock clock;
    testing_support::RecordingDialogs dialogs;
    testing_support::FakeNetwork network;
    sim::Ft2232hBoard board{clock};
    FakePanel panel;
    usb::ChannelLayer channels{board, dialogs};
    i2c::I2cMaster i2c{channels, clock, dialogs};
    frontend::LinkTest link{i2c, panel};
    console::UdpOutput udp;
    console::ConsoleModel model{&panel};
    console::TsPump pump{channels, clock, udp, model, panel};
    console::Startup startup{channels, i2c, pump, udp, model, panel};

    explicit Cores(console::UdpDestination destination = {})
        : udp(network, std::move(destination)) {
        clock.stepUsPerReading = 1;  // bounded polls end without real waiting
        board.setChannelDevice(0, sim::makeChannelA(sim::ChannelAOptions{}, clock));
        sim::ChannelBOptions ts;
        ts.rateMbit = 0;  // as fast as read
        board.setChannelDevice(1, sim::makeChannelB(ts, clock));
    }
};

}  // namespace

TEST(Cores, StartUpOpensTheChannelsAndAimsTheOutputAtTheDefaultPlayer) {
    Cores c;
    c.startup.FormShow();
    EXPECT_TRUE(c.startup.DevicePresent());
    EXPECT_TRUE(c.i2c.ChannelAOpen);
    EXPECT_EQ(c.panel.caption, "Test My Vesperbox v1.0a    D2XX test - 2 USB Device(s) Present ...");
    EXPECT_TRUE(c.panel.log.contains(
        "UDP address : 127.0.0.1 port : 1234 using IP interface : 127.0.0.1"));
    EXPECT_EQ(c.network.lastClient->port, 1234);
    const console::ConsoleState& s = c.panel.state;
    EXPECT_TRUE(s.udpLampLit);
    EXPECT_EQ(s.channelA, console::ChannelState::Open);
    EXPECT_EQ(s.channelB, console::ChannelState::Closed);  // opened, named and closed again
    EXPECT_TRUE(s.channelOpenedOnce);
    EXPECT_TRUE(s.quitEnabled) << "the last handler closed channel B";
    ASSERT_TRUE(c.startup.Report().udp);
    EXPECT_TRUE(c.startup.Report().udp->connected);
    EXPECT_TRUE(c.startup.Report().channelAOpened && c.startup.Report().channelBOpened);
    c.startup.Exit();
    EXPECT_EQ(c.panel.closes, 1);
    EXPECT_FALSE(c.board.isOpen(0));
}

TEST(Cores, OtherDestinationsAreShownAndNotSentFromTheLoopback) {
    Cores c({"192.0.2.7", 5004});
    c.udp.InitUDP(c.panel);
    EXPECT_EQ(c.panel.log.last(), "UDP address : 192.0.2.7 port : 5004 using IP interface : 0.0.0.0");
    EXPECT_EQ(c.network.lastClient->host, "192.0.2.7");
    EXPECT_EQ(c.network.lastClient->bound, "") << "the route decides the interface";
}

TEST(Cores, UdpDestinationsAreDottedAddressesAndDecimalPorts) {
    const auto ok = console::parseUdpDestination("127.0.0.1:65535");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->host, "127.0.0.1");
    EXPECT_EQ(ok->port, 65535);
    for (const char* bad : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:0x10",
                            "127.0.0.1:", ":1234", "127.0.0:1234", "127.0.0.256:1234",
                            "localhost:1234", "127.0.0.1:12a4", "1.2.3.4.5:1234"})
        EXPECT_FALSE(console::parseUdpDestination(bad)) << bad;
}

TEST(Cores, InitThenLinkTestOnTheSimulatedBoardCountsNoError) {
    Cores c;
    c.startup.FormShow();
    c.startup.InitI2C();
    ASSERT_TRUE(c.startup.I2CReady());
    EXPECT_TRUE(c.panel.state.i2cLampLit);
    const frontend::LinkTestReport& result = c.link.TestEarda();
    EXPECT_TRUE(result.demodFound);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.errors, 0);
    ASSERT_TRUE(result.tuner);
    EXPECT_TRUE(result.tuner->ok());
    EXPECT_EQ(c.panel.errorTotal, "0");
    EXPECT_EQ(c.panel.log.last(), "Reading OK");

    // The other NIM's address finds nobody.
    const frontend::LinkTestReport& sharp = c.link.TestSharp();
    EXPECT_FALSE(sharp.demodFound);
    EXPECT_EQ(c.panel.errorTotal, "????????");
}

TEST(Cores, PumpRecordsWholeChunksUntilGetTsGoesOff) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    {
        Cores c;
        c.startup.FormShow();
        c.startup.OpenB();
        int passes = 0;
        c.panel.onMessages = [&] {
            ++passes;
            if (passes == 2) {
                c.panel.switches[Switch::RecordOnOff] = true;
                c.pump.RecordOnOffClick();
            }
            if (passes == 41) {  // Get TS clicked off: the switch flips, then its handler
                c.panel.switches[Switch::GetTSBtn] = false;
                c.pump.GetTSBtnClick();
            }
        };
        c.panel.switches[Switch::GetTSBtn] = true;
        c.pump.GetTSBtnClick();
        EXPECT_FALSE(c.pump.StreamOn());
        EXPECT_FALSE(c.pump.RecordFile);
        EXPECT_TRUE(c.panel.log.contains("Recording stopped."));
        EXPECT_EQ(c.panel.state.pump, console::PumpState::Idle);
        EXPECT_EQ(c.pump.LastReport().end, console::StreamEnd::SwitchedOff);
        EXPECT_EQ(c.panel.status, "");
    }
    const QStringList files = QDir(dir.path()).entryList({"*.TS"}, QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const std::vector<std::uint8_t> bytes = testing_support::readFile(dir.filePath(files[0]));
    ASSERT_FALSE(bytes.empty()) << "the recording could not be read";
    EXPECT_EQ(bytes.size() % 1316, 0u);
    EXPECT_GE(bytes.size(), 10u * 1316);
    const auto scan = testing_support::scanCounters(bytes);
    EXPECT_TRUE(scan.inSync);
    EXPECT_TRUE(testing_support::contiguous(scan.counters));
    QDir::setCurrent(oldCwd);
}
