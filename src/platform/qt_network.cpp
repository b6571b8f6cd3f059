#include "platform/qt_network.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QVariant>

namespace platform {

namespace {

class QtUdpClient : public console::UdpClient {
public:
    void setHost(const std::string& host) override { host_ = host; }
    void setPort(std::uint16_t port) override { port_ = port; }
    void setBoundAddress(const std::string& address) override { bound_ = address; }
    void setBufferSize(std::size_t bytes) override {
        bufferSize_ = bytes;
        if (socket_) applyBufferSize();
    }

    void connect() override {
        auto socket = std::make_unique<QUdpSocket>();
        const QHostAddress local =
            bound_.empty() ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(QString::fromStdString(bound_));
        if (local.isNull()) throw console::SocketError("invalid local address '" + bound_ + "'");
        const QHostAddress peer(QString::fromStdString(host_));
        if (peer.isNull()) throw console::SocketError("invalid remote address '" + host_ + "'");
        if (!socket->bind(local, 0))
            throw console::SocketError("bind to " + bound_ + ": " + socket->errorString().toStdString());
        // With a literal address the UDP connect happens at once: no lookup.
        socket->connectToHost(peer, port_);
        if (socket->state() != QAbstractSocket::ConnectedState)
            throw console::SocketError("connect to " + host_ + ": " + socket->errorString().toStdString());
        socket_ = std::move(socket);
        applyBufferSize();
    }

    bool connected() const override {
        return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
    }

    void send(const std::uint8_t* data, std::size_t size) override {
        if (!socket_) throw console::SocketError("not connected");
        const qint64 sent = socket_->write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
        if (sent != static_cast<qint64>(size))
            throw console::SocketError("send: " + socket_->errorString().toStdString());
    }

private:
    void applyBufferSize() {
        if (bufferSize_ == 0) return;
        // The kernel's send buffer must hold at least one whole datagram.
        const QVariant current = socket_->socketOption(QAbstractSocket::SendBufferSizeSocketOption);
        if (current.toLongLong() < static_cast<qint64>(bufferSize_))
            socket_->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption,
                                     static_cast<qlonglong>(bufferSize_));
    }

    std::string host_;
    std::uint16_t port_ = 0;
    std::string bound_;
    std::size_t bufferSize_ = 0;
    std::unique_ptr<QUdpSocket> socket_;
};

}  // namespace

std::vector<std::string> QtNetwork::localAddresses() {
    std::vector<std::string> out;
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol) out.push_back(a.toString().toStdString());
    return out;
}

std::unique_ptr<console::UdpClient> QtNetwork::createUdpClient() {
    return std::make_unique<QtUdpClient>();
}

}  // namespace platform
