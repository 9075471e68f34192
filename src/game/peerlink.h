// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// How far the connection to the other player has come. The two-player
// session keeps it; the game and the console only read it.
enum class ConnectionState {
    Closed,
    Listening,
    Connecting,
    Connected,
    Closing, // the peer has left, or the connection failed; not closed here yet
};

// The connection to the other player as the game sees it. Until a connection
// exists there is no link and nothing is sent.
class PeerLink {
public:
    virtual ~PeerLink() = default;
    virtual ConnectionState state() const = 0;
    // One message, as one piece; a send without a connection is dropped.
    virtual void SendData(const QString& text) = 0;
};
