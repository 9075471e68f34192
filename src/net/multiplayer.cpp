// SPDX-License-Identifier: MIT
#include "multiplayer.h"

#include "game/game.h"
#include "mplayer.h"
#include "platform/platform.h"
#include "statusline.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

Multiplayer::Multiplayer(Game& game, Platform& platform, QAction* mplay, QWidget* window)
    : sock(this)
    , receiver(game, platform)
    , m_game(game)
    , m_platform(platform)
    , m_mplay(mplay)
    , m_window(window)
{
    m_game.setPeer(&sock);
    m_game.mul.onTick([this] { mul_Timer(); });
    m_game.wischatr.onTick([this] { wischatr_Timer(); });

    connect(&sock, &Sock::ConnectionRequest, this, &Multiplayer::sock_ConnectionRequest);
    connect(&sock, &Sock::Connected, this, &Multiplayer::sock_Connect);
    connect(&sock, &Sock::Closed, this, &Multiplayer::sock_Close);
    connect(&sock, &Sock::Error, this, &Multiplayer::sock_Error);
    connect(&sock, &Sock::DataArrival, this, &Multiplayer::sock_DataArrival);
}

Multiplayer::~Multiplayer()
{
    m_game.setPeer(nullptr);
}

mplayer& Multiplayer::dialog()
{
    if (!m_dialog)
        m_dialog = std::make_unique<mplayer>(sock, m_game.mul, m_game.scene.redchat, m_window);
    return *m_dialog;
}

void Multiplayer::closeDialog()
{
    if (m_dialog)
        m_dialog->close();
}

void Multiplayer::mplay_Click()
{
    dialog().show();
    dialog().raise();
    dialog().activateWindow();
}

void Multiplayer::setStatus(const QString& text)
{
    dialog().status->setText(text);
}

// The host takes the first peer that knocks and stops listening, so a third
// copy cannot join.
void Multiplayer::sock_ConnectionRequest(int requestID)
{
    setStatus(QStringLiteral("Status: Incoming connection..."));
    if (sock.State() != SockState::Listening)
        return;
    sock.Close();
    sock.Accept(requestID);
    receiver.reset();
    setStatus(QStringLiteral("Status: Connected to ") + sock.RemoteHostIP());
    dialog().hide();
    m_game.mul.setEnabled(true);
    m_mplay->setEnabled(false);
}

void Multiplayer::sock_Connect()
{
    receiver.reset();
    setStatus(QStringLiteral("Status: Connected to ") + sock.RemoteHostIP());
    m_game.mul.setEnabled(true);
    m_mplay->setEnabled(false);
    dialog().hide();
}

void Multiplayer::sock_Close()
{
    sock_DataArrival(); // what the peer sent before it left is still applied
    connectionLost();
}

// An error ends the connection the way the peer closing it would, so the
// player can open the dialog and connect again. A host name that cannot be
// found, or a host that does not answer, is worth saying.
void Multiplayer::sock_Error()
{
    const Sock::Failure failure = sock.failure();
    sock.Close();
    connectionLost();
    const QString host = sock.RemoteHost();
    if (failure == Sock::Failure::HostNotFound)
        setStatus(QStringLiteral("Status: Cannot find ") + host);
    else if (failure == Sock::Failure::NoAnswer)
        setStatus(QStringLiteral("Status: No answer from ") + host);
}

void Multiplayer::connectionLost()
{
    receiver.reset();
    setStatus(QStringLiteral("Status: Idle"));
    m_game.mul.setEnabled(false);
    m_mplay->setEnabled(true);
}

// Also runs while a box opened by a message is up: the connection is read
// on, and the receiver holds what must wait for the box.
void Multiplayer::sock_DataArrival()
{
    for (QByteArray data = sock.GetData(); !data.isEmpty(); data = sock.GetData()) {
        if (!receiver.receive(data)) {
            sock.Close();
            connectionLost();
            return;
        }
    }
}

void Multiplayer::mul_Timer()
{
    const Scene& scene = m_game.scene;
    sock.SendPosition(
        protocol::moveMessage({scene.guy.top(), scene.guyl.top(), scene.guy.left(),
                               scene.guyl.left(), scene.guy.isVisible(), scene.guyl.isVisible()}));
}

void Multiplayer::chat_Click()
{
    const QString line = m_platform.InputBox(QStringLiteral("Say:"), QStringLiteral("Chat"));
    const QString name = dialog().username->text();
    if (m_game.mul.isEnabled())
        sock.SendData(protocol::chatMessage(line, name));
    m_game.scene.redchat.setCaption(name + QStringLiteral(": ") + line);
    // Every line gets its full five seconds, also one that follows another.
    m_game.wischatr.restart();
}

void Multiplayer::wischatr_Timer()
{
    m_game.scene.redchat.setCaption(dialog().username->text());
    m_game.wischatr.setEnabled(false);
}
