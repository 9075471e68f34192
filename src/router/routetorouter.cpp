// SPDX-License-Identifier: MIT
#include "routetorouter.h"

#include <natpmp.h>

#include <arpa/inet.h>
#include <sys/socket.h>

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
