// SPDX-License-Identifier: MIT
#include "tcpopener.h"

#include "lanlog.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>

#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

// Asks the kernel to notice a path that died without a word: no FIN, no
// reset, just nothing (a cable pulled, a lid closed). Keepalive probes find
// it on an idle connection; the user time-out finds it while data waits for
// an acknowledgement, when keepalive never fires.
void watchPath(QTcpSocket* socket, const TcpOpener::Timeouts& timeouts)
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

// Never deleted on the spot: this may run inside the socket's own signal.
void drop(QTcpSocket* socket)
{
    socket->abort();
    socket->deleteLater();
}

} // namespace

TcpOpener::TcpOpener(QObject* parent)
    : QObject(parent)
{
    // The other copy is reached straight, never through a proxy; and the
    // system's proxy settings are not even looked up (on some desktops a
    // thread of its own that asks a library).
    m_server.setProxy(QNetworkProxy::NoProxy);
    connect(&m_server, &QTcpServer::newConnection, this, &TcpOpener::takeRequests);
    connect(&dialer, &Dialer::connected, this, &TcpOpener::dialed);
    connect(&dialer, &Dialer::failed, this, &TcpOpener::dialFailed);
    m_connectTimeout.setSingleShot(true);
    m_connectTimeout.setInterval(m_timeouts.connect);
    connect(&m_connectTimeout, &QTimer::timeout, this, [this] {
        if (m_state != Sock::SocketState::Connecting)
            return;
        dialer.abort();
        setState(Sock::SocketState::Failed);
        m_failure = Failure::NoAnswer;
        m_errorString = QStringLiteral("No answer");
        qCInfo(lcLan, "join: no answer within %lld ms", qint64(m_timeouts.connect.count()));
        Q_EMIT Error(int(QAbstractSocket::SocketTimeoutError), m_errorString);
    });
}

TcpOpener::~TcpOpener()
{
    blockSignals(true);
    Close();
}

void TcpOpener::setTimeouts(const Timeouts& timeouts)
{
    m_timeouts = timeouts;
    m_connectTimeout.setInterval(timeouts.connect);
}

bool TcpOpener::Listen(quint16 localPort)
{
    Close();
    m_localPort = localPort;
    if (!m_server.listen(QHostAddress::Any, quint16(m_localPort))) {
        m_errorString = m_server.serverError() == QAbstractSocket::AddressInUseError
                            ? QStringLiteral("Port %1 is in use").arg(m_localPort)
                            : m_server.errorString();
        return false;
    }
    setState(Sock::SocketState::Listening);
    return true;
}

bool TcpOpener::Connect(const QList<Destination>& destinations)
{
    if (destinations.isEmpty()) {
        m_errorString = QStringLiteral("No address given");
        return false;
    }
    Close();
    setState(Sock::SocketState::Connecting);
    m_connectTimeout.start();
    dialer.start(destinations);
    return true;
}

// The first address to answer is the connection; the dialer has closed the others.
void TcpOpener::dialed(QTcpSocket* socket)
{
    m_connectTimeout.stop();
    if (m_state != Sock::SocketState::Connecting) {
        drop(socket);
        return;
    }
    // Handed over first, so that whoever follows both never sees a moment
    // with nothing open.
    open(socket);
    setState(Sock::SocketState::Closed);
}

void TcpOpener::dialFailed(QAbstractSocket::SocketError error, const QString& text)
{
    m_connectTimeout.stop();
    if (m_state != Sock::SocketState::Connecting)
        return;
    setState(Sock::SocketState::Failed);
    m_failure =
        error == QAbstractSocket::HostNotFoundError ? Failure::HostNotFound : Failure::Other;
    m_errorString = text;
    qCInfo(lcLan).noquote() << "join: failed:" << text;
    Q_EMIT Error(int(error), m_errorString);
}

// Each waiting peer is offered once; one that is not accepted while it is
// offered is sent away.
void TcpOpener::takeRequests()
{
    while (m_server.hasPendingConnections()) {
        QTcpSocket* socket = m_server.nextPendingConnection();
        if (m_state != Sock::SocketState::Listening) {
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

void TcpOpener::Accept(int requestID)
{
    if (!m_request || requestID != m_lastRequestID)
        return;
    QTcpSocket* socket = std::exchange(m_request, nullptr);
    open(socket);
}

// Tunes the socket and hands it over. A TCP error ends it as any carrier's
// failure ends a connection: the device closes, its errorString says why.
// The peer closing is no error: its end comes as the end of what it sends.
void TcpOpener::open(QTcpSocket* socket)
{
    socket->setParent(nullptr);
    socket->setReadBufferSize(Sock::ReadBufferSize);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    watchPath(socket, m_timeouts);
    connect(socket, &QTcpSocket::errorOccurred, socket, [socket](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError)
            socket->abort();
    });
    QHostAddress address = socket->peerAddress();
    bool mappedIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&mappedIPv4);
    Q_EMIT opened(socket, mappedIPv4 ? QHostAddress(ipv4).toString() : address.toString());
}

void TcpOpener::setState(Sock::SocketState state)
{
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void TcpOpener::Close()
{
    m_connectTimeout.stop();
    dialer.abort();
    m_server.close();
    setState(Sock::SocketState::Closed);
}
