// SPDX-License-Identifier: MIT
#include "gatewaysearch.h"

#include "outsideaddress.h"
#include "routerlog.h"
#include "routetorouter.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QUrl>
#include <QVariant>

namespace {

const QHostAddress SsdpGroupV4(QStringLiteral("239.255.255.250"));
const QHostAddress SsdpGroupV6(QStringLiteral("ff02::c"));
constexpr quint16 SsdpPort = 1900;
// An SSDP answer is one datagram of a few hundred bytes.
constexpr qint64 LongestAnswer = 1500;

QByteArray searchRequest(const QHostAddress& group)
{
    const QByteArray host = group.protocol() == QAbstractSocket::IPv6Protocol
                                ? "[" + group.toString().toLatin1() + "]"
                                : group.toString().toLatin1();
    return "M-SEARCH * HTTP/1.1\r\nHOST: " + host +
           ":1900\r\n"
           "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
           "MAN: \"ssdp:discover\"\r\nMX: " +
           QByteArray::number(GatewaySearch::MxSeconds) + "\r\n\r\n";
}

} // namespace

QByteArray ssdpLocation(QByteArrayView datagram)
{
    if (!datagram.startsWith("HTTP/1.1 200") && !datagram.startsWith("HTTP/1.0 200"))
        return {};
    const QList<QByteArray> lines = datagram.toByteArray().split('\n');
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "location")
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

GatewaySearch::GatewaySearch(const QHostAddress& gateway, const QHostAddress& localAddress,
                             QObject* parent)
    : QObject(parent)
    , m_gateway(gateway)
    , m_localAddress(localAddress)
{
    connect(&m_again, &QTimer::timeout, this, &GatewaySearch::send);
    connect(&m_end, &QTimer::timeout, this, &GatewaySearch::finish);
    m_prove.setInterval(ProveEveryMs);
    connect(&m_prove, &QTimer::timeout, this, &GatewaySearch::prove);
}

void GatewaySearch::start()
{
    m_socket = new QUdpSocket(this);
    if (!m_socket->bind(m_localAddress, 0)) {
        qCInfo(lcRouter) << "UPnP: no search from" << m_localAddress.toString() << ':'
                         << m_socket->errorString();
        QTimer::singleShot(0, this, &GatewaySearch::finish);
        return;
    }
    // Out of the interface that leads to the gateway, and no further than
    // the next router.
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip().isEqual(m_localAddress, QHostAddress::StrictConversion))
                m_socket->setMulticastInterface(interface);
        }
    }
    m_socket->setSocketOption(QAbstractSocket::MulticastTtlOption, QVariant(2));
    connect(m_socket, &QUdpSocket::readyRead, this, &GatewaySearch::read);
    send();
    m_again.start(AgainMs);
    m_end.start(SearchMs);
}

void GatewaySearch::send()
{
    if (!m_socket)
        return;
    const QHostAddress& group =
        m_gateway.protocol() == QAbstractSocket::IPv6Protocol ? SsdpGroupV6 : SsdpGroupV4;
    qCDebug(lcRouter) << "UPnP: searching for the gateway's IGD from" << m_localAddress.toString();
    m_socket->writeDatagram(searchRequest(group), group, SsdpPort);
}

// A few answers at a time: what is left waits for the next turn of the
// event loop, so that a flood of answers holds the game up no longer than
// a handful does. Answers from elsewhere are dropped unparsed, so that
// they never crowd the gateway's out of the socket.
void GatewaySearch::read()
{
    int parsed = 0;
    int dropped = 0;
    for (int taken = 0; taken < DatagramsAtOnce && m_socket && m_socket->hasPendingDatagrams();
         ++taken) {
        const bool wanted = parsed < AnswersReadAtOnce;
        const QNetworkDatagram answer = m_socket->receiveDatagram(wanted ? LongestAnswer : 0);
        const QHostAddress sender = answer.senderAddress();
        const bool fromGateway = sender.isEqual(m_gateway, QHostAddress::StrictConversion);
        // Perhaps the gateway's global address, which only the neighbour
        // table can tell.
        const bool perhaps = m_gateway.isLinkLocal() &&
                             m_gateway.protocol() == QAbstractSocket::IPv6Protocol &&
                             isGlobalIpv6(sender);
        if (!wanted || (!fromGateway && !perhaps)) {
            ++dropped;
            continue;
        }
        ++parsed;
        const QByteArray location = ssdpLocation(answer.data());
        if (location.isEmpty() || m_seen.contains(location) || m_seen.size() >= MaxLocations)
            continue;
        switch (consider(location, sender)) {
        case Answer::OnTheGateway:
        case Answer::ToProve:
            m_seen.append(location);
            break;
        case Answer::NoRoom: // its next answer may find some
            break;
        case Answer::Elsewhere:
            m_seen.append(location);
            qCInfo(lcRouter) << "UPnP: ignored a description not on the gateway:" << location;
            break;
        }
    }
    if (dropped)
        qCDebug(lcRouter) << "UPnP: dropped" << dropped << "search answers unread";
}

// A description on the gateway, from its own address, is located at once.
// Where the gateway is a link-local address, one on a global address is
// held until the neighbour table proves it, and its sender, the gateway's.
GatewaySearch::Answer GatewaySearch::consider(const QByteArray& location,
                                              const QHostAddress& sender)
{
    const bool fromGateway = sender.isEqual(m_gateway, QHostAddress::StrictConversion);
    if (fromGateway) {
        if (const std::optional<RouterUrl> url = routerUrl(location, m_gateway)) {
            Q_EMIT located(*url);
            return Answer::OnTheGateway;
        }
    }
    if (!m_gateway.isLinkLocal())
        return Answer::Elsewhere;
    const QHostAddress host(QUrl(QString::fromLatin1(location), QUrl::StrictMode).host());
    const std::optional<RouterUrl> url =
        isGlobalIpv6(host) ? routerUrl(location, host) : std::nullopt;
    if (!url)
        return Answer::Elsewhere;
    if (m_unproven.size() >= MaxUnproven)
        return Answer::NoRoom;
    m_unproven.append({*url, sender, 0});
    if (!m_prove.isActive()) {
        m_prove.start();
        QTimer::singleShot(0, this, &GatewaySearch::prove);
    }
    return Answer::ToProve;
}

// Whether the sender and the URL's host are the gateway's, by its
// link-layer address. An address the table does not know yet is sent an
// empty datagram, to the SSDP port that is open anyway, so that the kernel
// asks the network for it.
void GatewaySearch::prove()
{
    const QString link = m_gateway.scopeId();
    const QByteArray gatewayLink = neighbourLinkAddress(m_gateway, link);
    for (qsizetype at = 0; at < m_unproven.size();) {
        Unproven& answer = m_unproven[at];
        const QByteArray senderLink = neighbourLinkAddress(answer.sender, link);
        const QByteArray hostLink = neighbourLinkAddress(answer.url.host, link);
        const bool known = !gatewayLink.isEmpty() && !senderLink.isEmpty() && !hostLink.isEmpty();
        if (!known && ++answer.tries < ProveTries) {
            if (answer.tries == 1 && m_socket) {
                for (const QHostAddress& unknown : {m_gateway, answer.sender, answer.url.host})
                    m_socket->writeDatagram(QByteArray(), unknown, SsdpPort);
            }
            ++at;
            continue;
        }
        const RouterUrl url = answer.url;
        const bool same = known && senderLink == gatewayLink && hostLink == gatewayLink;
        m_unproven.removeAt(at);
        if (!same) {
            qCInfo(lcRouter).noquote()
                << "UPnP: ignored a description at" << url.hostHeader()
                << (known ? "from another device than the gateway"
                          : "whose device the neighbour table does not know");
            continue;
        }
        qCInfo(lcRouter).noquote()
            << "UPnP: the gateway" << m_gateway.toString() << "answers at" << url.host.toString();
        Q_EMIT located(url);
    }
    if (m_unproven.isEmpty()) {
        m_prove.stop();
        if (m_ending)
            finish();
    }
}

void GatewaySearch::stop()
{
    m_again.stop();
    m_end.stop();
    m_prove.stop();
    m_unproven.clear();
    if (!m_socket)
        return;
    // Perhaps from within its own readyRead().
    m_socket->disconnect(this);
    m_socket->deleteLater();
    m_socket = nullptr;
}

void GatewaySearch::finish()
{
    if (!m_socket)
        return;
    // Answers still being proven the gateway's have their few tries first.
    if (!m_unproven.isEmpty()) {
        m_ending = true;
        return;
    }
    stop();
    Q_EMIT finished();
}
