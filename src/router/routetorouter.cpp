// SPDX-License-Identifier: MIT
#include "routetorouter.h"

#include "outsideaddress.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkInterface>

#include <natpmp.h>

#include <arpa/inet.h>
#include <sys/socket.h>

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
