#include "console/udp_output.h"

#include <charconv>
#include <cstring>
#include <exception>

#include "usb/channel_layer.h"

namespace console {

namespace {

// The player runs on this PC: a loopback destination is reached from the
// loopback interface, anything else from whatever interface routes to it.
const char* const LoopbackInterface = "127.0.0.1";
constexpr int PacketsPerDatagram = 7;
constexpr std::size_t TsPacketBytes = 188;

bool isDecimal(std::string_view s, unsigned long max, unsigned long& value) {
    if (s.empty() || s.size() > 5) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && p == s.data() + s.size() && value <= max;
}

bool isDottedQuad(std::string_view s) {
    int parts = 0;
    while (true) {
        const auto dot = s.find('.');
        const std::string_view part = s.substr(0, dot);
        unsigned long v = 0;
        if (part.size() > 3 || !isDecimal(part, 255, v)) return false;
        ++parts;
        if (dot == std::string_view::npos) break;
        s.remove_prefix(dot + 1);
    }
    return parts == 4;
}

}  // namespace

std::optional<UdpDestination> parseUdpDestination(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::string host = text.substr(0, colon);
    unsigned long port = 0;
    if (!isDottedQuad(host) || !isDecimal(std::string_view(text).substr(colon + 1), 65535, port) ||
        port == 0)
        return std::nullopt;
    return UdpDestination{host, static_cast<std::uint16_t>(port)};
}

UdpSetup UdpOutput::InitUDP(OperatorPanel& panel) {
    UdpSetup setup;
    panel.AppendLog(QString(74, QLatin1Char('=')));
    panel.AppendLog(QStringLiteral("------ IP and UDP detection ------"));

    QString UdpStatusText;
    QString interfaceAddress = QStringLiteral("0.0.0.0");

    std::vector<std::string> addresses;
    try {
        addresses = network_.localAddresses();
    } catch (const std::exception& e) {
        // Without the list we cannot tell whether a connect makes sense; the
        // stream can still be recorded, so the start-up goes on without UDP.
        setup.failure = QStringLiteral("Listing the local IP addresses failed (") +
                        QString::fromLocal8Bit(e.what()) + QStringLiteral("), UDP output not set up.");
        panel.AppendLog(setup.failure);
        return setup;
    }
    setup.addresses = addresses;
    int n = 0;
    for (const std::string& address : addresses)
        panel.AppendLog(QString::asprintf("IP n° %d = %s", ++n, address.c_str()));

    bool connected = false;
    UdpClient = network_.createUdpClient();

    const QString host = QString::fromStdString(destination_.host);
    const QString port = QString::number(destination_.port);
    UdpStatusText += QStringLiteral("UDP address : ") + host;
    UdpClient->setHost(destination_.host);

    // The listed addresses are shown only.
    if (destination_.host.rfind("127.", 0) == 0)
        interfaceAddress = QString::fromLatin1(LoopbackInterface);
    UdpStatusText += QStringLiteral(" port : ") + port + QStringLiteral(" using IP interface : ") +
                     interfaceAddress;
    UdpClient->setPort(destination_.port);
    if (interfaceAddress != QStringLiteral("0.0.0.0"))
        UdpClient->setBoundAddress(interfaceAddress.toStdString());

    if (!addresses.empty()) {
        connected = true;
        try {
            UdpClient->connect();
        } catch (const SocketError&) {
            connected = false;
            setup.failure = QStringLiteral("no Socket, Impossible to set UDP!");
            UdpStatusText += setup.failure;
        } catch (const std::exception& e) {
            setup.failure = QStringLiteral("UDP set-up failed (") + QString::fromLocal8Bit(e.what()) +
                            QStringLiteral(").");
            panel.AppendLog(setup.failure);
            return setup;
        }
    }
    setup.connected = connected;

    constexpr std::size_t datagramBytes = PacketsPerDatagram * TsPacketBytes;
    static_assert(datagramBytes == usb::TsChunkSize);
    UdpPacket = std::make_unique<std::uint8_t[]>(datagramBytes);  // zero-filled
    UdpClient->setBufferSize(datagramBytes);

    panel.AppendLog(UdpStatusText);
    return setup;
}

bool UdpOutput::send(const std::uint8_t* chunk) {
    std::memcpy(UdpPacket.get(), chunk, usb::TsChunkSize);
    try {
        UdpClient->send(UdpPacket.get(), usb::TsChunkSize);
        return true;
    } catch (const std::exception&) {
        // A datagram the player misses is not worth stopping the stream for;
        // the pump counts it for the run's report.
        return false;
    }
}

}  // namespace console
