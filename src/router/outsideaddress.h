// SPDX-License-Identifier: MIT
#pragma once

class QHostAddress;

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
    // link-local, multicast): the router is not connected.
    Unusable,
};

OutsideAddress classifyOutsideAddress(const QHostAddress& address);
