// SPDX-License-Identifier: MIT
#include "outsideaddress.h"

#include <QHostAddress>

OutsideAddress classifyOutsideAddress(const QHostAddress& address)
{
    bool isIPv4 = false;
    const quint32 ip = address.toIPv4Address(&isIPv4);
    if (!isIPv4)
        return OutsideAddress::Unusable;
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
