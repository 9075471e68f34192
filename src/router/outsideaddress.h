// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArrayView>
#include <QHostAddress>

// What a router's outside address says about reaching the game from the
// internet.
enum class OutsideAddress {
    // Players outside reach it. The documentation ranges count as public:
    // no real router has one outside, and the sandbox's internet uses them.
    Public,
    // Private (10/8, 172.16/12, 192.168/16) or the provider's shared range
    // (100.64/10): another router, or the provider's NAT, stands between
    // this router and the internet.
    BehindSecondRouter,
    // No address a router could be reached at (none, 0.0.0.0, loopback,
    // link-local, multicast, an address of the home network itself,
    // anything but IPv4).
    Unusable,
};

// `lan`, when given, is the home network's own range (this machine's
// address and prefix length): no router's outside address lies in it.
OutsideAddress classifyOutsideAddress(const QHostAddress& address,
                                      const QPair<QHostAddress, int>& lan = {});

// An IPv4 address as a router writes it, read strictly: four decimal parts,
// as inet_pton reads it ("8.8.8" and "010.1.1.1" are not addresses). An
// IPv4-mapped IPv6 address ("::ffff:198.51.100.1") is the IPv4 address it
// maps. Anything else, blanks around it included, is a null address.
QHostAddress parseOutsideAddress(QByteArrayView text);

// A port as a router writes it: a decimal number from 1 to 65535 and
// nothing else; 0 for anything that is not one.
quint16 parsePort(QByteArrayView text);

// A global unicast IPv6 address (2000::/3), one the internet can route to:
// not link-local, unique-local (fc00::/7), loopback, multicast or
// IPv4-mapped. The documentation prefix 2001:db8::/32 counts: the sandbox's
// internet uses it.
bool isGlobalIpv6(const QHostAddress& address);
