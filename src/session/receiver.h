// SPDX-License-Identifier: MIT
#pragma once

#include "heldmessages.h"
#include "wire/protocol.h"

#include <QObject>
#include <QString>
#include <QTimer>

class Game;
class Platform;

// Applies what the peer sends to the local game: the peer's figure, its chat
// line, its key pickup and new games, and its "die" and "win".
//
// A "die" or "win" opens a modal box, which holds everything after it until
// the player dismisses it. The box is opened from the event loop, not from
// inside the read that brought the message, so the connection is read on
// while it is up: what comes meanwhile is held (HeldMessages says what, and
// within which bound) and applied once the box is gone, also when the peer
// has left meanwhile. A "die" or "win" that came with the one that opened the
// box, or while it is up, opens no box of its own: the player has been told.
class Receiver final : public QObject {
    Q_OBJECT

public:
    Receiver(Game& game, Platform& platform, QObject* parent = nullptr);

    // Takes one read off the connection and applies every message it
    // completes. False when the peer sent more than a message may hold.
    bool receive(QByteArrayView data);
    // The memory taken by what is held for the box.
    qsizetype heldBytes() const { return m_held.bytes(); }
    // A connection ended or began: the unfinished message of the old one is
    // no beginning for the new one's first.
    void reset() { m_reader.reset(); }

    // The name of the last chat line received; it stays after a disconnect.
    const QString& peerName() const { return m_peerName; }

private:
    void wischatgr_Timer();
    void take(protocol::Message message);
    void showBox();
    void apply(const protocol::Message& message);
    void MoveRemotePlayer(const protocol::Move& move);
    void ShowRemoteChat(const protocol::Chat& chat);
    void RemoteGotKey();

    Game& m_game;
    Platform& m_platform;
    protocol::MessageReader m_reader;
    HeldMessages m_held;
    bool m_holding = false; // a box is due or up
    QString m_boxText;
    QTimer m_box;
    QString m_peerName;
};
