// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

class PortMapping;

// How the other player can reach this copy while it hosts: a short text for
// the connection dialog's row, the whole story for its tooltip, and what
// Co&py puts on the clipboard, every address that works as the other player
// pastes it, then the invitation. While this copy does not host, all are
// empty, so nothing could be taken for an address.
struct Reach {
    QString text;
    QString toolTip;
    // Empty unless the router opened a way in or an invitation is ready.
    QString address;
    // A code of one line: the friend's game answers it, and the answer
    // pasted here opens a path through both routers.
    QString invitation = {};

    friend bool operator==(const Reach&, const Reach&) = default;
};

// What the router (none while it was not asked) makes of a copy that hosts
// on `port`.
Reach reachOf(const PortMapping* router, int port);
// What the router made of hosting, with the invitation made for it, or the
// reason none could be made; both empty while it is being made.
Reach withInvitation(Reach reach, const QString& invitation, const QString& trouble);
