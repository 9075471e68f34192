// SPDX-License-Identifier: MIT
#include "routetorouter.h"

#include "outsideaddress.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkInterface>

#include <natpmp.h>

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

// libnatpmp finds the gateway the way NAT-PMP must, and connects its socket
// to it, which tells the kernel's choice of source address without a packet.
std::optional<RouteToRouter> routeToRouter()
{
    natpmp_t natpmp{};
    if (initnatpmp(&natpmp, 0, 0) != 0)
        return std::nullopt;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    const bool known = getsockname(natpmp.s, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
                       local.sin_family == AF_INET;
    RouteToRouter route{QHostAddress(ntohl(natpmp.gateway)),
                        QHostAddress(ntohl(local.sin_addr.s_addr))};
    closenatpmp(&natpmp);
    if (!known || route.gateway.isNull() || local.sin_addr.s_addr == 0)
        return std::nullopt;
    return route;
}

std::optional<DefaultRoute6> defaultRoute6(QByteArrayView ipv6Routes)
{
    constexpr quint32 Up = 0x1;
    constexpr quint32 Gateway = 0x2;
    std::optional<DefaultRoute6> best;
    quint32 bestMetric = 0;
    for (const QByteArray& line : ipv6Routes.toByteArray().split('\n')) {
        // destination, its length, source, its length, next hop, metric,
        // references, use, flags, interface
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() != 10 || fields[0] != QByteArray(32, '0') || fields[1] != "00" ||
            fields[4].size() != 32)
            continue;
        bool ok = false;
        const quint32 flags = fields[8].toUInt(&ok, 16);
        const quint32 metric = ok ? fields[5].toUInt(&ok, 16) : 0;
        const QByteArray nextHop = QByteArray::fromHex(fields[4]);
        if (!ok || (flags & (Up | Gateway)) != (Up | Gateway) || nextHop.size() != 16 ||
            fields[9] == "lo")
            continue;
        Q_IPV6ADDR ip;
        std::memcpy(ip.c, nextHop.constData(), 16);
        QHostAddress gateway(ip);
        if (gateway.isNull() || gateway == QHostAddress::AnyIPv6)
            continue;
        const QString interfaceName = QString::fromLatin1(fields[9]);
        if (gateway.isLinkLocal())
            gateway.setScopeId(interfaceName);
        if (!best || metric < bestMetric) {
            best = DefaultRoute6{gateway, interfaceName};
            bestMetric = metric;
        }
    }
    return best;
}

QHostAddress stableGlobalAddress(const QList<LocalAddress6>& addresses)
{
    for (const LocalAddress6& address : addresses) {
        if (isGlobalIpv6(address.ip) && !address.temporary && !address.deprecated)
            return address.ip;
    }
    return {};
}

std::optional<RouteToRouter> routeToRouter6()
{
    QFile routes(QStringLiteral("/proc/net/ipv6_route"));
    if (!routes.open(QIODevice::ReadOnly))
        return std::nullopt;
    // A line a route, some 150 bytes: enough for thousands.
    const std::optional<DefaultRoute6> route = defaultRoute6(routes.read(1 << 20));
    if (!route)
        return std::nullopt;
    QList<LocalAddress6> addresses;
    const QNetworkInterface interface = QNetworkInterface::interfaceFromName(route->interfaceName);
    for (const QNetworkAddressEntry& entry : interface.addressEntries())
        addresses.append(
            LocalAddress6{entry.ip(), entry.isTemporary(),
                          !entry.isPermanent() && entry.preferredLifetime().hasExpired()});
    const QHostAddress local = stableGlobalAddress(addresses);
    if (local.isNull())
        return std::nullopt;
    return RouteToRouter{route->gateway, local};
}

namespace {

int interfaceIndex(const QString& scope)
{
    bool number = false;
    const int index = scope.toInt(&number);
    if (number)
        return index > 0 ? index : 0;
    return int(if_nametoindex(scope.toLocal8Bit().constData()));
}

// The neighbour messages of a dump, for `address` on `index`: its link-layer
// address, when one is known.
QByteArray linkAddressIn(const char* data, qsizetype size, const Q_IPV6ADDR& address, int index,
                         bool& done)
{
    QByteArray found;
    auto* header = reinterpret_cast<const nlmsghdr*>(data);
    int left = int(size);
    for (; NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
            done = true;
            break;
        }
        if (header->nlmsg_type != RTM_NEWNEIGH || header->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)))
            continue;
        const auto* neighbour = static_cast<const ndmsg*>(NLMSG_DATA(header));
        constexpr int Unknown = NUD_INCOMPLETE | NUD_FAILED | NUD_NONE;
        if (neighbour->ndm_family != AF_INET6 || neighbour->ndm_ifindex != index ||
            (neighbour->ndm_state & Unknown) != 0)
            continue;
        int attributesLeft = int(header->nlmsg_len - NLMSG_LENGTH(sizeof(ndmsg)));
        bool same = false;
        QByteArray link;
        for (auto* attribute = reinterpret_cast<const rtattr*>(
                 reinterpret_cast<const char*>(neighbour) + NLMSG_ALIGN(sizeof(ndmsg)));
             RTA_OK(attribute, attributesLeft); attribute = RTA_NEXT(attribute, attributesLeft)) {
            const auto* value = static_cast<const char*>(RTA_DATA(attribute));
            const int length = int(RTA_PAYLOAD(attribute));
            if (attribute->rta_type == NDA_DST && length == 16)
                same = std::memcmp(value, address.c, 16) == 0;
            else if (attribute->rta_type == NDA_LLADDR && length > 0 && length <= 32)
                link = QByteArray(value, length);
        }
        if (same && !link.isEmpty() && link != QByteArray(link.size(), '\0'))
            found = link;
    }
    return found;
}

} // namespace

QByteArray neighbourLinkAddress(const QHostAddress& address, const QString& scope)
{
    const int index = interfaceIndex(scope);
    if (index == 0 || address.protocol() != QAbstractSocket::IPv6Protocol)
        return {};
    const int socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (socket < 0)
        return {};
    // The kernel answers at once; this bounds a read that would not end.
    const timeval wait{0, 200000};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    struct {
        nlmsghdr header;
        ndmsg neighbour;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.neighbour.ndm_family = AF_INET6;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    QByteArray found;
    if (sendto(socket, &request, request.header.nlmsg_len, 0,
               reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) >= 0) {
        const Q_IPV6ADDR ip = address.toIPv6Address();
        alignas(nlmsghdr) char buffer[32 * 1024];
        bool done = false;
        // A home network's table is a few entries; a thousand reads of 32 KiB
        // are far past any.
        for (int reads = 0; !done && reads < 1000; ++reads) {
            const ssize_t got = recv(socket, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            const QByteArray link = linkAddressIn(buffer, got, ip, index, done);
            if (!link.isEmpty())
                found = link;
        }
    }
    ::close(socket);
    return found;
}
