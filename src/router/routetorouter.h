// SPDX-License-Identifier: MIT
#pragma once

#include <QHostAddress>

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
