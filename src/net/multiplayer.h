// SPDX-License-Identifier: MIT
#pragma once

#include "receiver.h"
#include "sock.h"

#include <QObject>

#include <memory>

class Game;
class Platform;
class QAction;
class mplayer;

// The two-player mode: the socket and what its events do, the position
// messages, the chat, and the connection dialog.
class Multiplayer final : public QObject {
    Q_OBJECT

public:
    // `mplay` is the menu item that opens the dialog; it is off while connected.
    Multiplayer(Game& game, Platform& platform, QAction* mplay, QWidget* window);
    ~Multiplayer() override;

    Sock sock;
    Receiver receiver;
    // The connection dialog, made the first time anything needs it.
    mplayer& dialog();

    void mplay_Click();
    void closeDialog();
    void chat_Click();

    void sock_ConnectionRequest(int requestID);
    void sock_Connect();
    void sock_Close();
    void sock_Error();
    void sock_DataArrival();

    void mul_Timer();
    void wischatr_Timer();

private:
    void setStatus(const QString& text);
    void connectionLost();

    Game& m_game;
    Platform& m_platform;
    QAction* m_mplay;
    QWidget* m_window;
    std::unique_ptr<mplayer> m_dialog;
};
