// SPDX-License-Identifier: MIT
#include "dialer.h"

#include <QHostInfo>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

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
    for (QTcpSocket* socket : std::exchange(m_attempts, {}))
        drop(socket, this);
    m_candidates.clear();
}

void Dialer::dropLookups()
{
    for (const int id : std::exchange(m_lookups, {}))
        QHostInfo::abortHostLookup(id);
    m_pendingLookups = 0;
    ++m_dial; // an answer already on its way is not heard
}

void Dialer::drop(QTcpSocket* socket, QObject* watcher)
{
    socket->disconnect(watcher);
    socket->abort();
    // Never deleted on the spot: this may run inside the socket's own signal.
    socket->deleteLater();
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

void Dialer::attempt(Candidate& candidate)
{
    candidate.tried = true;
    ++m_attemptsMade;
    const QHostAddress address = candidate.address;
    const quint16 port = candidate.port;
    m_lastFamily = address.protocol();
    auto* socket = new QTcpSocket(this);
    m_attempts.append(socket);
    connect(socket, &QTcpSocket::connected, this, [this, socket] { won(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { attemptFailed(socket); });
    Q_EMIT attempting(address, port);
    if (!m_attempts.contains(socket))
        return; // whoever heard of it stopped the dial, or started another
    m_turn.start(options.attemptDelayMs);
    socket->connectToHost(address, port);
}

// A failed attempt ends its turn when no other is under way: the next one
// starts at once.
void Dialer::attemptFailed(QTcpSocket* socket)
{
    if (!m_attempts.removeOne(socket))
        return;
    m_lastError = socket->error();
    m_lastErrorText = socket->errorString();
    // It may be inside its own connectToHost: it is left as it is, and goes later.
    socket->disconnect(this);
    socket->deleteLater();
    if (m_attempts.isEmpty() && !m_waitingForNames)
        m_turn.stop();
    stepLater();
}

void Dialer::won(QTcpSocket* socket)
{
    m_attempts.removeOne(socket);
    socket->disconnect(this);
    m_running = false;
    m_turn.stop();
    dropLookups();
    for (QTcpSocket* loser : std::exchange(m_attempts, {}))
        drop(loser, this);
    m_candidates.clear();
    socket->setParent(nullptr);
    Q_EMIT connected(socket);
}
