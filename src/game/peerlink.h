// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// The connection to the other player as the game sees it. Until a connection
// exists there is no link and nothing is sent.
// The values of the socket's State that the game tells apart; any other value
// only means "not closed".
namespace SockState {
inline constexpr int Closed = 0;
inline constexpr int Listening = 2;
inline constexpr int Connecting = 6;
inline constexpr int Connected = 7;
inline constexpr int Closing = 8; // the peer has closed; not closed here yet
inline constexpr int Failed = 9;
} // namespace SockState

class PeerLink {
public:
    virtual ~PeerLink() = default;
    virtual int State() const = 0;
    // One message, as one piece; a send without a connection is dropped.
    virtual void SendData(const QString& text) = 0;
};
