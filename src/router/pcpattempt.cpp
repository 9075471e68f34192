// SPDX-License-Identifier: MIT
#include "pcpattempt.h"

#include "outsideaddress.h"
#include "routerlog.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

constexpr quint8 Version = 2;
constexpr quint8 OpcodeMap = 1;
constexpr quint8 AnswerBit = 0x80;
constexpr quint8 Tcp = 6;
constexpr qsizetype NonceSize = 12;
// Asked again 250 ms after, then twice as long each time, within the deadline.
constexpr int FirstResendMs = 250;

void putAddress(QByteArray& bytes, qsizetype at, const QHostAddress& address)
{
    const Q_IPV6ADDR ip = address.toIPv6Address();
    std::memcpy(bytes.data() + at, ip.c, 16);
}

// The IPv4 address an IPv4-mapped IPv6 address maps; null for any other.
QHostAddress mappedIpv4(const QHostAddress& address)
{
    const Q_IPV6ADDR ip = address.toIPv6Address();
    for (int at = 0; at < 10; ++at) {
        if (ip[at] != 0)
            return {};
    }
    if (ip[10] != 0xff || ip[11] != 0xff)
        return {};
    return QHostAddress(qFromBigEndian<quint32>(ip.c + 12));
}

QHostAddress getAddress(QByteArrayView bytes, qsizetype at)
{
    Q_IPV6ADDR ip;
    std::memcpy(ip.c, bytes.data() + at, 16);
    return QHostAddress(ip);
}

} // namespace

QByteArray pcp::mapRequest(const MapRequest& request)
{
    QByteArray bytes(MapSize, '\0');
    bytes[0] = char(Version);
    bytes[1] = char(OpcodeMap);
    qToBigEndian(request.lifetime, bytes.data() + 4);
    putAddress(bytes, 8, request.client);
    std::memcpy(bytes.data() + 24, request.nonce.constData(),
                size_t(std::min(request.nonce.size(), NonceSize)));
    bytes[36] = char(Tcp);
    qToBigEndian(request.port, bytes.data() + 40);
    qToBigEndian(request.port, bytes.data() + 42); // suggested: the same port outside
    // The suggested external address: for a pinhole ::, "any", which is
    // this machine's own; for an IPv4 forward ::ffff:0.0.0.0, "any IPv4
    // address" (RFC 6887, 11.1).
    if (request.client.protocol() == QAbstractSocket::IPv4Protocol)
        bytes[54] = bytes[55] = char(0xff);
    return bytes;
}

std::optional<pcp::MapAnswer> pcp::readMapAnswer(QByteArrayView datagram, const MapRequest& request)
{
    if (datagram.size() < MapSize || datagram.size() > LongestMessage ||
        quint8(datagram[0]) != Version || quint8(datagram[1]) != (AnswerBit | OpcodeMap) ||
        datagram.sliced(24, NonceSize) != QByteArrayView(request.nonce) ||
        quint8(datagram[36]) != Tcp ||
        qFromBigEndian<quint16>(datagram.data() + 40) != request.port)
        return std::nullopt;
    const char* bytes = datagram.data();
    return MapAnswer{quint8(datagram[3]), qFromBigEndian<quint32>(bytes + 4),
                     qFromBigEndian<quint32>(bytes + 8), qFromBigEndian<quint16>(bytes + 42),
                     getAddress(datagram, 44)};
}

bool pcp::isNatPmpOnlyAnswer(QByteArrayView datagram)
{
    constexpr quint16 UnsupportedVersion = 1;
    return datagram.size() >= 4 && datagram.size() <= 16 && datagram[0] == 0 &&
           quint8(datagram[1]) == (AnswerBit | OpcodeMap) &&
           qFromBigEndian<quint16>(datagram.data() + 2) == UnsupportedVersion;
}

QString pcp::resultText(int result)
{
    static const char* const texts[] = {
        "success",
        "unsupported version",
        "not authorized",
        "malformed request",
        "unsupported opcode",
        "unsupported option",
        "malformed option",
        "network failure",
        "no resources",
        "unsupported protocol",
        "user exceeded quota",
        "cannot provide external",
        "address mismatch",
        "excessive remote peers",
    };
    const QString text = result >= 0 && result < int(std::size(texts))
                             ? QLatin1String(texts[result])
                             : QStringLiteral("unknown result");
    return QStringLiteral("%1 (PCP result %2)").arg(text).arg(result);
}

PcpAttempt::PcpAttempt(const QHostAddress& gateway, const QHostAddress& localAddress, quint16 port,
                       const Timing& timing, QObject* parent, int firstAnswerMs)
    : RouterAttempt(parent)
    , m_gateway(gateway)
    , m_timing(timing)
    , m_firstAnswerMs(firstAnswerMs)
    , m_socket(new QUdpSocket(this))
{
    m_request.client = localAddress;
    m_request.port = port;
    m_request.lifetime = quint32(timing.lease.count());
    // The nonce is all that ties an answer, a renewal and the deletion to
    // this opening: anyone who could guess it could delete it.
    m_request.nonce.resize(NonceSize);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(m_request.nonce.data()),
                                          NonceSize / 4);
    connect(&m_resend, &QTimer::timeout, this, &PcpAttempt::resend);
    connect(&m_deadline, &QTimer::timeout, this, &PcpAttempt::noAnswer);
    connect(&m_renew, &QTimer::timeout, this, [this] {
        m_renew.start(m_timing.check);
        if (m_asking == Request::None)
            send(Request::Renew);
    });
    connect(m_socket, &QUdpSocket::readyRead, this, &PcpAttempt::read);
}

void PcpAttempt::find()
{
    if (!m_socket->bind(m_request.client, 0)) {
        failLater(Failure::NoAnswer,
                  QStringLiteral("PCP cannot be asked: %1").arg(m_socket->errorString()));
        return;
    }
    // Nothing to look up: the gateway is asked when the opening is.
    QTimer::singleShot(0, this, [this] { Q_EMIT found(m_request.client); });
}

void PcpAttempt::map()
{
    send(Request::Map);
}

void PcpAttempt::remove()
{
    m_renew.stop();
    if (m_open) {
        qCInfo(lcRouter) << "PCP: removing the opening of port" << m_request.port;
        send(Request::Delete);
        return;
    }
    if (m_asked) {
        pcp::MapRequest removal = m_request;
        removal.lifetime = 0;
        m_socket->writeDatagram(pcp::mapRequest(removal), m_gateway, pcp::ServerPort);
    }
    deleteLater();
}

void PcpAttempt::send(Request request)
{
    m_asking = request;
    m_asked = true;
    if (request != Request::Delete)
        qCInfo(lcRouter) << "PCP: asking" << m_gateway.toString() << "to open TCP port"
                         << m_request.port << "to" << m_request.client.toString() << "for"
                         << m_request.lifetime << "s";
    m_resendMs = FirstResendMs;
    m_deadline.start(m_epoch.known() ? AnswerDeadlineMs : m_firstAnswerMs);
    resend();
}

void PcpAttempt::resend()
{
    if (m_asking == Request::None)
        return;
    pcp::MapRequest request = m_request;
    if (m_asking == Request::Delete)
        request.lifetime = 0;
    if (m_socket->writeDatagram(pcp::mapRequest(request), m_gateway, pcp::ServerPort) < 0)
        qCInfo(lcRouter) << "PCP: cannot send:" << m_socket->errorString();
    m_resend.start(m_resendMs);
    m_resendMs *= 2;
}

void PcpAttempt::read()
{
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram(pcp::LongestMessage + 1);
        if (m_asking == Request::None || !datagram.senderAddress().isEqual(m_gateway) ||
            datagram.senderPort() != pcp::ServerPort)
            continue;
        if (const std::optional<pcp::MapAnswer> answer =
                pcp::readMapAnswer(datagram.data(), m_request)) {
            answered(*answer);
        } else if (!m_epoch.known() && pcp::isNatPmpOnlyAnswer(datagram.data())) {
            qCInfo(lcRouter) << "PCP: the router speaks NAT-PMP only";
            noAnswer();
        } else {
            qCInfo(lcRouter) << "PCP: dropped an answer of" << datagram.data().size()
                             << "bytes that is no answer to what was asked";
        }
    }
}

void PcpAttempt::answered(const pcp::MapAnswer& answer)
{
    const Request request = std::exchange(m_asking, Request::None);
    m_resend.stop();
    m_deadline.stop();
    const bool restartedRouter = m_epoch.restarted(answer.epoch);
    if (request == Request::Delete) {
        deleteLater();
        return;
    }
    if (answer.result != 0 || answer.lifetime == 0 || answer.externalPort == 0) {
        const QString reason = answer.result != 0 ? pcp::resultText(answer.result)
                                                  : QStringLiteral("the router opened nothing");
        qCInfo(lcRouter) << "PCP: the router answered:" << reason;
        m_open = false;
        if (request == Request::Map)
            Q_EMIT failed(answer.result != 0 ? Failure::Refused : Failure::BadAnswer, reason);
        else
            Q_EMIT lost();
        return;
    }
    const bool wasOpen = m_open;
    m_open = true;
    m_leaseEnd.setRemainingTime(qint64(answer.lifetime) * 1000);
    qCInfo(lcRouter, "PCP: open on port %u for %u s%s", answer.externalPort, answer.lifetime,
           restartedRouter ? " (the router restarted)" : "");
    // Renewed at every check, which also makes it again on a router that
    // restarted, or at half a shorter life: never sooner than the shortest
    // renewal, as NAT-PMP's forward, nor more often than once a second.
    m_renew.start(std::max<std::chrono::milliseconds>(
        std::min<std::chrono::milliseconds>(m_timing.check, m_timing.renewal(answer.lifetime)),
        std::chrono::seconds(1)));
    // The router's own words on where the opening is: for a forward its
    // IPv4 outside address; for a pinhole, when they name a global address,
    // that one (this machine's, unless the router translates).
    const QHostAddress outside = m_request.client.protocol() == QAbstractSocket::IPv4Protocol
                                     ? mappedIpv4(answer.externalAddress)
                                 : isGlobalIpv6(answer.externalAddress) ? answer.externalAddress
                                                                        : m_request.client;
    if (!wasOpen || request == Request::Map || outside != m_outside ||
        answer.externalPort != m_outsidePort) {
        m_outside = outside;
        m_outsidePort = answer.externalPort;
        Q_EMIT mapped(m_outside, m_outsidePort);
    }
}

void PcpAttempt::noAnswer()
{
    const Request request = std::exchange(m_asking, Request::None);
    m_resend.stop();
    m_deadline.stop();
    qCInfo(lcRouter) << "PCP: no answer to" << m_request.client.toString();
    if (request == Request::Delete) {
        deleteLater();
    } else if (request == Request::Map) {
        Q_EMIT failed(Failure::NoAnswer, QStringLiteral("no answer to PCP"));
    } else if (m_leaseEnd.hasExpired()) {
        m_open = false;
        Q_EMIT lost();
    } else {
        // Asked again soon while the lease lasts: the opening may stand.
        m_renew.start(
            int(std::clamp<qint64>(m_leaseEnd.remainingTime() / 2, 1000, AnswerDeadlineMs)));
    }
}
