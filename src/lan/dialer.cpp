// SPDX-License-Identifier: MIT
#include "dialer.h"

#include "lanlog.h"

#include <QHostInfo>
#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QAbstractSocket::SocketError socketError(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return QAbstractSocket::ConnectionRefusedError;
    case ETIMEDOUT:
        return QAbstractSocket::SocketTimeoutError;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return QAbstractSocket::SocketResourceError;
    default:
        return QAbstractSocket::NetworkError;
    }
}

// Why an attempt failed, as the join's status says it.
QString reason(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return QStringLiteral("connection refused");
    case EHOSTUNREACH:
        return QStringLiteral("host unreachable");
    case ENETUNREACH:
        return QStringLiteral("network unreachable");
    case EACCES:
    case EPERM:
        return QStringLiteral("blocked by a firewall");
    case ETIMEDOUT:
        return QStringLiteral("timed out");
    default:
        return QString::fromLocal8Bit(std::strerror(error)).toLower();
    }
}

// The address as the kernel takes it; false for one it cannot (an IPv6
// scope that names no interface).
bool socketAddress(const QHostAddress& address, quint16 port, sockaddr_storage& storage,
                   socklen_t& size)
{
    storage = {};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto& in = reinterpret_cast<sockaddr_in&>(storage);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(address.toIPv4Address());
        size = sizeof in;
        return true;
    }
    auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(&in6.sin6_addr, &bytes, sizeof bytes);
    const QString scope = address.scopeId();
    if (!scope.isEmpty()) {
        bool numeric = false;
        in6.sin6_scope_id = scope.toUInt(&numeric);
        if (!numeric)
            in6.sin6_scope_id = ::if_nametoindex(scope.toLocal8Bit().constData());
        if (in6.sin6_scope_id == 0)
            return false;
    }
    size = sizeof in6;
    return true;
}

// While it connects, an attempt hears at once of every ICMP error the
// network sends for it (a router's "unreachable"), where the kernel would
// otherwise keep it to itself and go on retrying, for IPv6 a second or more.
// A connection never hears of them: an error that passes, on a network that
// hiccups, must not end the game.
void hearErrors(int fd, bool on)
{
    const int value = on ? 1 : 0;
    int family = AF_UNSPEC;
    socklen_t size = sizeof family;
    ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &size);
    // An IPv6 socket may carry IPv4 too (an address such as ::ffff:192.0.2.1).
    ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &value, sizeof value);
    if (family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &value, sizeof value);
}

} // namespace

Dialer::Dialer(QObject* parent)
    : QObject(parent)
{
    m_turn.setSingleShot(true);
    m_turn.setTimerType(Qt::PreciseTimer); // a turn is a quarter second, not 5 % less
    connect(&m_turn, &QTimer::timeout, this, [this] {
        m_waitingForNames = false;
        step();
    });
}

Dialer::~Dialer()
{
    abort();
}

void Dialer::start(const QList<Destination>& destinations)
{
    abort();
    m_running = true;
    m_attemptsMade = 0;
    m_lastFamily = QAbstractSocket::IPv4Protocol; // so that IPv6 goes first
    m_waitedForNames = false;
    m_lastError = QAbstractSocket::HostNotFoundError;
    m_lastErrorText = QStringLiteral("Host not found");
    for (const Destination& destination : destinations) {
        if (!destination.address.isNull()) {
            add(destination.address, destination.port);
            continue;
        }
        ++m_pendingLookups;
        const quint16 port = destination.port;
        const quint64 dial = m_dial;
        m_lookups.append(QHostInfo::lookupHost(
            destination.host, this,
            [this, port, dial](const QHostInfo& info) { looked(info, port, dial); }));
    }
    stepLater();
}

void Dialer::abort()
{
    m_running = false;
    m_turn.stop();
    m_waitingForNames = false;
    dropLookups();
    for (Attempt* attempt : std::exchange(m_attempts, {}))
        drop(attempt);
    m_candidates.clear();
}

void Dialer::dropLookups()
{
    for (const int id : std::exchange(m_lookups, {}))
        QHostInfo::abortHostLookup(id);
    m_pendingLookups = 0;
    ++m_dial; // an answer already on its way is not heard
}

void Dialer::drop(Attempt* attempt)
{
    attempt->notifier->setEnabled(false);
    // Never deleted on the spot: this may run inside the notifier's own signal.
    attempt->notifier->deleteLater();
    if (attempt->fd >= 0)
        ::close(attempt->fd);
    delete attempt;
}

// The same address and port twice is tried once; a list that outgrows its
// bound takes no more.
void Dialer::add(const QHostAddress& address, quint16 port)
{
    const auto family = address.protocol();
    if (family != QAbstractSocket::IPv4Protocol && family != QAbstractSocket::IPv6Protocol)
        return;
    if (m_candidates.size() >= options.maxAddresses)
        return;
    for (const Candidate& candidate : std::as_const(m_candidates)) {
        if (candidate.port == port &&
            candidate.address.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            return;
    }
    m_candidates.append({address, port, false});
}

void Dialer::looked(const QHostInfo& info, quint16 port, quint64 dial)
{
    if (dial != m_dial || !m_running)
        return;
    --m_pendingLookups;
    if (info.error() == QHostInfo::NoError && !info.addresses().isEmpty()) {
        for (const QHostAddress& address : info.addresses())
            add(address, port);
    } else if (m_attemptsMade == 0) {
        m_lastErrorText = info.errorString();
    }
    // The first attempt waited for IPv6 addresses: here they are, or no
    // more names are coming.
    if (m_waitingForNames && (hasUntried(QAbstractSocket::IPv6Protocol) || m_pendingLookups == 0)) {
        m_waitingForNames = false;
        m_turn.stop();
    }
    stepLater();
}

bool Dialer::hasUntried(QAbstractSocket::NetworkLayerProtocol family) const
{
    return std::any_of(m_candidates.begin(), m_candidates.end(), [family](const Candidate& c) {
        return !c.tried && c.address.protocol() == family;
    });
}

// The families take turns: after an IPv4 address (or at first) the next
// IPv6 one, after an IPv6 address the next IPv4 one, or else the next of
// whichever family is left.
qsizetype Dialer::next() const
{
    const auto preferred = m_lastFamily == QAbstractSocket::IPv6Protocol
                               ? QAbstractSocket::IPv4Protocol
                               : QAbstractSocket::IPv6Protocol;
    qsizetype other = -1;
    for (qsizetype i = 0; i < m_candidates.size(); ++i) {
        if (m_candidates[i].tried)
            continue;
        if (m_candidates[i].address.protocol() == preferred)
            return i;
        if (other < 0)
            other = i;
    }
    return other;
}

// Whatever is due now: the next attempt, once the last one's turn is over;
// or the end, once nothing is under way, left to try or being looked up.
void Dialer::step()
{
    if (!m_running || m_turn.isActive())
        return;
    const qsizetype i = next();
    if (i < 0) {
        if (m_attempts.isEmpty() && m_pendingLookups == 0) {
            m_running = false;
            m_candidates.clear();
            const auto error =
                m_attemptsMade == 0 ? QAbstractSocket::HostNotFoundError : m_lastError;
            Q_EMIT failed(error, m_lastErrorText);
        }
        return;
    }
    if (m_attemptsMade == 0 && m_pendingLookups > 0 && !m_waitedForNames &&
        m_candidates[i].address.protocol() != QAbstractSocket::IPv6Protocol) {
        m_waitedForNames = true;
        m_waitingForNames = true;
        m_turn.start(options.resolutionDelayMs);
        return;
    }
    attempt(m_candidates[i]);
}

void Dialer::stepLater()
{
    QMetaObject::invokeMethod(this, &Dialer::step, Qt::QueuedConnection);
}

// The connect is our own rather than QTcpSocket's: a socket whose connect
// the network answered with an error, but which the kernel keeps trying
// (an ICMP "unreachable" from a router, on a kernel that treats it as a
// soft error), polls as failed while connect() still says "already under
// way", and QTcpSocket, which never asks the socket for its error while it
// connects, would ask again and again until the kernel gives up. Here the
// socket's error ends the attempt at once; only the connected socket goes
// to a QTcpSocket.
void Dialer::attempt(Candidate& candidate)
{
    candidate.tried = true;
    ++m_attemptsMade;
    const QHostAddress address = candidate.address;
    const quint16 port = candidate.port;
    m_lastFamily = address.protocol();
    sockaddr_storage storage;
    socklen_t size = 0;
    auto* attempt = new Attempt;
    int failure = EINVAL;
    if (socketAddress(address, port, storage, size)) {
        attempt->fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        failure = errno;
        if (attempt->fd >= 0)
            hearErrors(attempt->fd, true);
    }
    attempt->notifier = new QSocketNotifier(QSocketNotifier::Write, this);
    attempt->notifier->setEnabled(false);
    m_attempts.append(attempt);
    Q_EMIT attempting(address, port);
    if (!m_attempts.contains(attempt))
        return; // whoever heard of it stopped the dial, or started another
    qCInfo(lcLan).noquote() << "join: trying" << address.toString() << port;
    if (attempt->fd < 0) {
        attemptFailed(attempt, failure);
        return;
    }
    m_turn.start(options.attemptDelayMs);
    if (::connect(attempt->fd, reinterpret_cast<const sockaddr*>(&storage), size) == 0) {
        won(attempt);
        return;
    }
    if (errno != EINPROGRESS) {
        attemptFailed(attempt, errno);
        return;
    }
    attempt->notifier->setSocket(attempt->fd);
    connect(attempt->notifier, &QSocketNotifier::activated, this,
            [this, attempt] { attemptAnswered(attempt); });
    attempt->notifier->setEnabled(true);
}

// The socket is writable, or has an error: connected, or failed.
void Dialer::attemptAnswered(Attempt* attempt)
{
    if (!m_attempts.contains(attempt))
        return;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(attempt->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
    if (error == 0) {
        sockaddr_storage peer;
        socklen_t peerSize = sizeof peer;
        if (::getpeername(attempt->fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0) {
            won(attempt);
            return;
        }
        error = ECONNABORTED; // closed with no error to tell
    }
    attemptFailed(attempt, error);
}

// A failed attempt ends its turn when no other is under way: the next one
// starts at once.
void Dialer::attemptFailed(Attempt* attempt, int error)
{
    if (!m_attempts.removeOne(attempt))
        return;
    qCInfo(lcLan, "join: the attempt failed: %s", std::strerror(error));
    m_lastError = socketError(error);
    m_lastErrorText = reason(error);
    drop(attempt);
    if (m_attempts.isEmpty() && !m_waitingForNames)
        m_turn.stop();
    stepLater();
}

void Dialer::won(Attempt* attempt)
{
    m_attempts.removeOne(attempt);
    auto* socket = new QTcpSocket;
    socket->setProxy(QNetworkProxy::NoProxy);
    const int fd = std::exchange(attempt->fd, -1);
    hearErrors(fd, false); // and what it heard is dropped
    if (!socket->setSocketDescriptor(fd, QAbstractSocket::ConnectedState)) {
        qCWarning(lcLan) << "join: cannot take the connection:" << socket->errorString();
        delete socket;
        ::close(fd);
        m_attempts.append(attempt);
        attemptFailed(attempt, EBADF);
        return;
    }
    drop(attempt);
    m_running = false;
    m_turn.stop();
    dropLookups();
    for (Attempt* loser : std::exchange(m_attempts, {}))
        drop(loser);
    m_candidates.clear();
    qCInfo(lcLan).noquote() << "join: connected to" << socket->peerAddress().toString()
                            << socket->peerPort();
    Q_EMIT connected(socket);
}
