#pragma once

#include "protocol.h"

#include <QString>

#include <deque>

class Game;
class Platform;

// Applies what the peer sends to the local game: the peer's figure, its chat
// line, its key pickup and new games, and its "die" and "win".
//
// A "die" or "win" opens a modal box, and a modal box runs the event loop, so
// more data can arrive while one is open. Such data is not applied inside the
// box: the caller reads on once receive() returns, so messages are applied
// one at a time and in the order they came.
class Receiver {
public:
    Receiver(Game& game, Platform& platform);

    // Takes one read off the connection and applies every message it
    // completes. False when the peer sent more than a message may hold.
    bool receive(QByteArrayView data);
    // True while a message is being applied (and a box may be open).
    bool isDispatching() const { return m_dispatching; }

    // The name of the last chat line received; it stays after a disconnect.
    const QString& peerName() const { return m_peerName; }

    void wischatgr_Timer();

private:
    void apply(const protocol::Message& message);
    void MoveRemotePlayer(const protocol::Move& move);
    void ShowRemoteChat(const protocol::Chat& chat);
    void RemoteGotKey();

    Game& m_game;
    Platform& m_platform;
    protocol::MessageReader m_reader;
    std::deque<protocol::Message> m_queue;
    bool m_dispatching = false;
    QString m_peerName;
};
