#include "ui/window_fixture.h"

using namespace testing_console;

namespace {

const QString Separator(74, QLatin1Char('='));
const QString Detection = QStringLiteral("------ IP and UDP detection ------");
class UdpOutput : public WindowTest {
protected:
    // The window's output is aimed at the test's receiver.
    QString normalStatus() const {
        return QStringLiteral("UDP address : 127.0.0.1 port : ") + QString::number(rx.port()) +
               QStringLiteral(" using IP interface : 127.0.0.1");
    }
    void init() {
        makeWindow();
        form->InitUDP();
    }
    // One pump run with UDP on that sends a few chunks, then ends.
    std::size_t datagramsOfAShortRun() {
        form->BtnOpenBClick();
        atPassStart(1, [this] { click(form->UDPOnOff); });
        atPassEnd(5, [this] { click(form->GetTSBtn); });
        click(form->GetTSBtn);
        std::size_t n = 0;
        received(&n);
        return n;
    }
};

}  // namespace

TEST_F(UdpOutput, ThreeAddressesAreNumberedAndTheClientIsAimedAtTheLocalPlayer) {
    net.addresses = {"192.168.1.20", "10.0.0.7", "127.0.0.1"};
    init();
    const QStringList expected = {
        Separator,
        Detection,
        QString::fromUtf8("IP n\u00b0 1 = 192.168.1.20"),
        QString::fromUtf8("IP n\u00b0 2 = 10.0.0.7"),
        QString::fromUtf8("IP n\u00b0 3 = 127.0.0.1"),
        normalStatus(),
    };
    EXPECT_EQ(log, expected);
    // The degree-like sign is the one UTF-8 character C2 B0.
    EXPECT_EQ(log[2].toUtf8(), QByteArray("IP n\xC2\xB0 1 = 192.168.1.20"));
    EXPECT_EQ(net.seen.host, "127.0.0.1");
    EXPECT_EQ(net.seen.port, rx.port());
    EXPECT_EQ(net.seen.bound, "127.0.0.1") << "never one of the listed addresses";
    EXPECT_EQ(net.seen.bufferSize, 1316u);
    EXPECT_EQ(net.seen.connects, 1);
    ASSERT_TRUE(form->Udp.UdpClient);
    EXPECT_TRUE(form->Udp.UdpClient->connected());
    EXPECT_TRUE(form->LampIsGreen(form->LedUDP));
    ASSERT_TRUE(form->Udp.UdpPacket);
    for (int i = 0; i < 1316; ++i) ASSERT_EQ(form->Udp.UdpPacket[i], 0) << i;
    EXPECT_GT(datagramsOfAShortRun(), 0u);
    EXPECT_EQ(rx.lastSender(), 0x7F000001u) << "sent from the loopback interface";
}

TEST_F(UdpOutput, NoLocalAddressMeansNoConnectAndNothingSent) {
    net.addresses = {};
    init();
    EXPECT_EQ(log, (QStringList{Separator, Detection, normalStatus()}));
    EXPECT_EQ(net.seen.connects, 0);
    ASSERT_TRUE(form->Udp.UdpClient) << "the client exists, unconnected";
    EXPECT_FALSE(form->Udp.UdpClient->connected());
    EXPECT_FALSE(form->LampIsGreen(form->LedUDP));
    EXPECT_EQ(datagramsOfAShortRun(), 0u);
}

TEST_F(UdpOutput, FailedConnectIsToldOnTheStatusLineAndLeavesTheClientUnconnected) {
    net.connectFails = true;
    init();
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.last(), normalStatus() + QStringLiteral("no Socket, Impossible to set UDP!"));
    EXPECT_FALSE(form->LampIsGreen(form->LedUDP));
    EXPECT_FALSE(form->Udp.UdpClient->connected());
    ASSERT_TRUE(form->Udp.UdpPacket);
    EXPECT_EQ(datagramsOfAShortRun(), 0u);
}

TEST_F(UdpOutput, FailedListingEndsTheSetUpWithALineAndNoClient) {
    net.listingFails = true;
    init();
    ASSERT_EQ(log.size(), 3);
    EXPECT_EQ(log[1], Detection);
    EXPECT_TRUE(log[2].contains(QStringLiteral("resolver unavailable"))) << log[2].toStdString();
    EXPECT_EQ(net.clientsCreated, 0);
    EXPECT_FALSE(form->Udp.UdpClient);
    EXPECT_FALSE(form->Udp.UdpPacket);
    EXPECT_FALSE(form->LampIsGreen(form->LedUDP));
    // The pump takes the missing client as not connected.
    EXPECT_EQ(datagramsOfAShortRun(), 0u);
    EXPECT_EQ(log.count(QStringLiteral("Done ...I=1316 FT_Q_Bytes= %1").arg(FullDriverBuffer)), 1);
}
