// SPDX-License-Identifier: MIT
#include "outsideaddress.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

OutsideAddress classifyOutsideAddress(const QHostAddress& address,
                                      const QPair<QHostAddress, int>& lan)
{
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return OutsideAddress::Unusable;
    if (lan.first.protocol() == QAbstractSocket::IPv4Protocol && lan.second > 0 &&
        lan.second <= 32 && address.isInSubnet(lan))
        return OutsideAddress::Unusable;
    const quint32 ip = address.toIPv4Address();
    const auto in = [ip](quint32 network, int prefix) {
        const quint32 mask = ~quint32(0) << (32 - prefix);
        return (ip & mask) == network;
    };
    if (in(0x00000000, 8) || in(0x7f000000, 8) || in(0xa9fe0000, 16) || in(0xe0000000, 3))
        return OutsideAddress::Unusable; // 0/8, 127/8, 169.254/16, 224/4 and 240/4
    if (in(0x0a000000, 8) || in(0xac100000, 12) || in(0xc0a80000, 16) || in(0x64400000, 10))
        return OutsideAddress::BehindSecondRouter;
    return OutsideAddress::Public;
}

QHostAddress parseOutsideAddress(QByteArrayView text)
{
    // Longer than any IPv6 address: not one, and not worth a copy.
    if (text.size() > INET6_ADDRSTRLEN || text.contains('\0'))
        return {};
    const std::string terminated(text.data(), size_t(text.size()));
    in_addr v4{};
    if (inet_pton(AF_INET, terminated.c_str(), &v4) == 1)
        return QHostAddress(ntohl(v4.s_addr));
    in6_addr v6{};
    if (inet_pton(AF_INET6, terminated.c_str(), &v6) == 1 && IN6_IS_ADDR_V4MAPPED(&v6)) {
        quint32 mapped = 0;
        std::memcpy(&mapped, &v6.s6_addr[12], sizeof mapped);
        return QHostAddress(ntohl(mapped));
    }
    return {};
}

quint16 parsePort(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 5)
        return 0;
    quint32 port = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9')
            return 0;
        port = port * 10 + quint32(digit - '0');
    }
    return port <= 65535 ? quint16(port) : 0;
}

bool isGlobalIpv6(const QHostAddress& address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR ip = address.toIPv6Address();
    return (ip[0] & 0xe0) == 0x20; // 2000::/3
}
