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
// box: it waits, and is applied once the box is dismissed, one message at a
// time and in the order they came. A "die" or "win" that came before the
// player dismissed the box opens no box of its own: the player has been told.
class Receiver {
public:
    // While a box is up, this many messages may wait; the rest stays on the
    // connection until the box is dismissed.
    static constexpr std::size_t MaxWaiting = 4096;

    Receiver(Game& game, Platform& platform);

    // Takes one read off the connection and applies every message it
    // completes. False when the peer sent more than a message may hold.
    bool receive(QByteArrayView data);
    // Whether another read may be taken now.
    bool canTakeMore() const { return !m_dispatching || m_queue.size() < MaxWaiting; }
    // A connection ended or began: the unfinished message of the old one is
    // no beginning for the new one's first.
    void reset() { m_reader.reset(); }

    // The name of the last chat line received; it stays after a disconnect.
    const QString& peerName() const { return m_peerName; }

    void wischatgr_Timer();

private:
    void apply(const protocol::Message& message);
    void MoveRemotePlayer(const protocol::Move& move);
    void ShowRemoteChat(const protocol::Chat& chat);
    void RemoteGotKey();
    void announce(const QString& text);

    Game& m_game;
    Platform& m_platform;
    protocol::MessageReader m_reader;
    std::deque<protocol::Message> m_queue;
    bool m_dispatching = false;
    bool m_boxOpen = false;
    QString m_peerName;
};
