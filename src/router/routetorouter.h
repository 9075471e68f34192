// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

// The way out of the home network: the default gateway, which is the router
// asked for a forward, and this machine's address on the route to it, the
// address a forward must point at.
struct RouteToRouter {
    QHostAddress gateway;
    QHostAddress localAddress;
};

// Read from the routing table; nothing is sent. Empty without an IPv4
// default route: NAT-PMP and UPnP-IGD forward IPv4 only.
std::optional<RouteToRouter> routeToRouter();

// IPv6: the default route's next hop, and this machine's stable global
// address on its interface, the one a pinhole opens. Empty without an IPv6
// default route or without such an address.
std::optional<RouteToRouter> routeToRouter6();

// What routeToRouter6() reads, apart, so that it can be tried on any text:
// the default route in the kernel's /proc/net/ipv6_route (its next hop,
// with the interface as its scope when it is link-local, and the interface),
struct DefaultRoute6 {
    QHostAddress gateway;
    QString interfaceName;
};
std::optional<DefaultRoute6> defaultRoute6(QByteArrayView ipv6Routes);
// and the address to open among an interface's: global, neither temporary
// (privacy addresses change, and a router in secure mode opens only the
// address that asks) nor deprecated.
struct LocalAddress6 {
    QHostAddress ip;
    bool temporary = false;
    bool deprecated = false;
};
QHostAddress stableGlobalAddress(const QList<LocalAddress6>& addresses);

// The link-layer address the kernel's neighbour table holds for an IPv6
// address on the link of `scope` (an interface's name or index, as a
// link-local address's scope): empty when it holds none, or only one it is
// still resolving or failed to. Read over rtnetlink; nothing is sent.
QByteArray neighbourLinkAddress(const QHostAddress& address, const QString& scope);
