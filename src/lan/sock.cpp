// SPDX-License-Identifier: MIT
#include "sock.h"

#include "lanlog.h"

#include <QHostAddress>
#include <QNetworkProxy>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

// Asks the kernel to notice a path that died without a word: no FIN, no
// reset, just nothing (a cable pulled, a lid closed). Keepalive probes find
// it on an idle connection; the user time-out finds it while data waits for
// an acknowledgement, when keepalive never fires.
void watchPath(QTcpSocket* socket, const Sock::Timeouts& timeouts)
{
    const auto fd = int(socket->socketDescriptor());
    if (fd < 0)
        return;
    const auto set = [fd](int level, int name, auto value) {
        ::setsockopt(fd, level, name, &value, sizeof value);
    };
    set(SOL_SOCKET, SO_KEEPALIVE, 1);
    set(IPPROTO_TCP, TCP_KEEPIDLE, int(timeouts.keepAliveIdle.count()));
    set(IPPROTO_TCP, TCP_KEEPINTVL, int(timeouts.keepAliveInterval.count()));
    set(IPPROTO_TCP, TCP_KEEPCNT, timeouts.keepAliveProbes);
    set(IPPROTO_TCP, TCP_USER_TIMEOUT, unsigned(timeouts.user.count()));
}

} // namespace

Sock::Sock(QObject* parent)
    : QObject(parent)
{
    // The other copy is reached straight, never through a proxy; and the
    // system's proxy settings are not even looked up (on some desktops a
    // thread of its own that asks a library).
    m_server.setProxy(QNetworkProxy::NoProxy);
    connect(&m_server, &QTcpServer::newConnection, this, &Sock::takeRequests);
    connect(&dialer, &Dialer::connected, this, &Sock::dialed);
    connect(&dialer, &Dialer::failed, this, &Sock::dialFailed);
    m_connectTimeout.setSingleShot(true);
    m_connectTimeout.setInterval(m_timeouts.connect);
    connect(&m_connectTimeout, &QTimer::timeout, this, [this] {
        if (m_state != SocketState::Connecting)
            return;
        dialer.abort();
        setState(SocketState::Failed);
        m_failure = Failure::NoAnswer;
        m_errorString = QStringLiteral("No answer");
        qCInfo(lcLan, "join: no answer within %lld ms", qint64(m_timeouts.connect.count()));
        Q_EMIT Error(int(QAbstractSocket::SocketTimeoutError), m_errorString);
    });
}

void Sock::setTimeouts(const Timeouts& timeouts)
{
    m_timeouts = timeouts;
    m_connectTimeout.setInterval(timeouts.connect);
}

Sock::~Sock()
{
    // Whoever listens may be half gone already.
    blockSignals(true);
    Close();
}

bool Sock::Listen(quint16 localPort)
{
    m_localPort = localPort;
    if (!m_server.listen(QHostAddress::Any, quint16(m_localPort))) {
        m_errorString = m_server.serverError() == QAbstractSocket::AddressInUseError
                            ? QStringLiteral("Port %1 is in use").arg(m_localPort)
                            : m_server.errorString();
        return false;
    }
    setState(SocketState::Listening);
    return true;
}

bool Sock::Connect(const QList<Destination>& destinations)
{
    if (destinations.isEmpty()) {
        m_errorString = QStringLiteral("No address given");
        return false;
    }
    dialer.abort();
    if (m_connection)
        drop(m_connection);
    m_connection = nullptr;
    m_destinations = destinations;
    m_remoteHostIP.clear();
    setState(SocketState::Connecting);
    m_connectTimeout.start();
    dialer.start(m_destinations);
    return true;
}

QStringList Sock::Destinations() const
{
    QStringList texts;
    for (const Destination& destination : m_destinations)
        texts.append(destination.text());
    return texts;
}

// The first address to answer is the connection; the dialer has closed the others.
void Sock::dialed(QTcpSocket* socket)
{
    m_connectTimeout.stop();
    if (m_state != SocketState::Connecting) {
        drop(socket);
        return;
    }
    socket->setParent(this);
    attach(socket);
    watchPath(socket, m_timeouts);
    m_remoteHostIP = socket->peerAddress().toString();
    setState(SocketState::Connected);
    Q_EMIT Connected();
}

void Sock::dialFailed(QAbstractSocket::SocketError error, const QString& text)
{
    m_connectTimeout.stop();
    if (m_state != SocketState::Connecting)
        return;
    setState(SocketState::Failed);
    m_failure =
        error == QAbstractSocket::HostNotFoundError ? Failure::HostNotFound : Failure::Other;
    m_errorString = text;
    qCInfo(lcLan).noquote() << "join: failed:" << text;
    Q_EMIT Error(int(error), m_errorString);
}

// Each waiting peer is offered once; one that is not accepted while it is
// offered is sent away.
void Sock::takeRequests()
{
    while (m_server.hasPendingConnections()) {
        QTcpSocket* socket = m_server.nextPendingConnection();
        if (m_state != SocketState::Listening) {
            drop(socket);
            continue;
        }
        m_request = socket;
        Q_EMIT ConnectionRequest(++m_lastRequestID);
        if (m_request)
            drop(m_request);
        m_request = nullptr;
    }
}

void Sock::Accept(int requestID)
{
    if (!m_request || requestID != m_lastRequestID)
        return;
    Close();
    QTcpSocket* socket = m_request;
    m_request = nullptr;
    socket->setParent(this);
    attach(socket);
    watchPath(socket, m_timeouts);
    setState(SocketState::Connected);
    QHostAddress address = socket->peerAddress();
    bool mappedIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&mappedIPv4);
    m_remoteHostIP = mappedIPv4 ? QHostAddress(ipv4).toString() : address.toString();
}

void Sock::attach(QTcpSocket* socket)
{
    m_connection = socket;
    socket->setReadBufferSize(ReadBufferSize);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        if (m_connection)
            Q_EMIT DataArrival(m_connection->bytesAvailable());
    });
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        qCInfo(lcLan, "connection: the other player closed it");
        setState(SocketState::Closing);
        Q_EMIT Closed();
    });
    connect(socket, &QTcpSocket::errorOccurred, this, &Sock::onError);
}

void Sock::onError(QAbstractSocket::SocketError error)
{
    // The peer closing is no error: the close event follows.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    setState(SocketState::Failed);
    m_failure =
        error == QAbstractSocket::HostNotFoundError ? Failure::HostNotFound : Failure::Other;
    m_errorString = m_connection ? m_connection->errorString() : QString();
    qCInfo(lcLan).noquote() << "connection: ended:" << m_errorString;
    Q_EMIT Error(int(error), m_errorString);
}

void Sock::drop(QTcpSocket* socket)
{
    socket->disconnect(this);
    socket->abort();
    // Never deleted on the spot: this may run inside the socket's own signal.
    socket->deleteLater();
}

void Sock::setState(SocketState state)
{
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void Sock::SendData(const QByteArray& bytes)
{
    if (m_state == SocketState::Connected && m_connection)
        write(bytes);
}

void Sock::SendPosition(const QByteArray& bytes)
{
    if (m_state == SocketState::Connected && m_connection &&
        m_connection->bytesToWrite() <= MaxUnsentForPositions)
        write(bytes);
}

void Sock::write(const QByteArray& bytes)
{
    m_connection->write(bytes);
    if (m_connection->bytesToWrite() > MaxUnsent)
        giveUpOnPeer();
}

// The peer has stopped reading. Nothing more is sent, and the connection
// ends as it does when the peer closes it; the event comes from the event
// loop, not from inside whatever was sending.
void Sock::giveUpOnPeer()
{
    qCInfo(lcLan, "connection: ended: the other player reads nothing, %lld bytes wait unsent",
           m_connection->bytesToWrite());
    drop(m_connection);
    m_connection = nullptr;
    setState(SocketState::Closing);
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_state == SocketState::Closing)
                Q_EMIT Closed();
        },
        Qt::QueuedConnection);
}

QByteArray Sock::GetData()
{
    return m_connection ? m_connection->readAll() : QByteArray();
}

void Sock::Close()
{
    m_connectTimeout.stop();
    dialer.abort();
    m_server.close();
    if (m_connection)
        drop(m_connection);
    m_connection = nullptr;
    setState(SocketState::Closed);
}
