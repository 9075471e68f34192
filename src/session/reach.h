// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

class PortMapping;

// How the other player can reach this copy while it hosts: a short text for
// the connection dialog's row, the whole story for its tooltip, and what
// Co&py puts on the clipboard, every address that works as the other player
// pastes it. While this copy does not host, all three are empty, so nothing
// could be taken for an address.
struct Reach {
    QString text;
    QString toolTip;
    // Empty unless the router opened a way in.
    QString address;

    friend bool operator==(const Reach&, const Reach&) = default;
};

// What the router (none while it was not asked) makes of a copy that hosts
// on `port`.
Reach reachOf(const PortMapping* router, int port);
