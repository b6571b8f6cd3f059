// Start-up of the UDP output: the local addresses, for the log only, and the
// client that sends the stream from 127.0.0.1 to a player on 127.0.0.1:1234.
#include <QString>
#include <exception>

#include "ui/main_window.h"
#include "usb/channel_layer.h"

namespace ui {

namespace {

const char* const UdpHost = "127.0.0.1";
const char* const UdpPort = "1234";
const char* const UdpInterface = "127.0.0.1";
constexpr int PacketsPerDatagram = 7;
constexpr std::size_t TsPacketBytes = 188;

}  // namespace

void TForm1::InitUDP() {
    AppendLog(QString(74, QLatin1Char('=')));
    AppendLog(QStringLiteral("------ IP and UDP detection ------"));

    QString UdpStatusText;
    QString interfaceAddress = QStringLiteral("0.0.0.0");

    std::vector<std::string> addresses;
    try {
        addresses = services_.network.localAddresses();
    } catch (const std::exception& e) {
        // Without the list we cannot tell whether a connect makes sense; the
        // stream can still be recorded, so the start-up goes on without UDP.
        AppendLog(QStringLiteral("Listing the local IP addresses failed (") +
                  QString::fromLocal8Bit(e.what()) + QStringLiteral("), UDP output not set up."));
        return;
    }
    int n = 0;
    for (const std::string& address : addresses)
        AppendLog(QString::asprintf("IP n° %d = %s", ++n, address.c_str()));

    bool connected = false;
    UdpClient = services_.network.createUdpClient();

    const QString host = QString::fromLatin1(UdpHost);
    const QString port = QString::fromLatin1(UdpPort);
    UdpStatusText += QStringLiteral("UDP address : ") + host;
    UdpClient->setHost(host.toStdString());

    // The listed addresses are shown only: the player runs on this PC, so the
    // client always sends from the loopback interface.
    interfaceAddress = QString::fromLatin1(UdpInterface);
    UdpStatusText += QStringLiteral(" port : ") + port + QStringLiteral(" using IP interface : ") +
                     interfaceAddress;
    UdpClient->setPort(static_cast<std::uint16_t>(port.toUInt()));
    if (interfaceAddress != QStringLiteral("0.0.0.0"))
        UdpClient->setBoundAddress(interfaceAddress.toStdString());

    if (!addresses.empty()) {
        connected = true;
        try {
            UdpClient->connect();
        } catch (const console::SocketError&) {
            connected = false;
            UdpStatusText += QStringLiteral("no Socket, Impossible to set UDP!");
        } catch (const std::exception& e) {
            AppendLog(QStringLiteral("UDP set-up failed (") + QString::fromLocal8Bit(e.what()) +
                      QStringLiteral(")."));
            return;
        }
    }
    if (connected) LightLamp(LedUDP);

    constexpr std::size_t datagramBytes = PacketsPerDatagram * TsPacketBytes;
    static_assert(datagramBytes == usb::TsChunkSize);
    UdpPacket = std::make_unique<std::uint8_t[]>(datagramBytes);  // zero-filled
    UdpClient->setBufferSize(datagramBytes);

    AppendLog(UdpStatusText);
}

}  // namespace ui
