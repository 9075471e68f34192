// SPDX-License-Identifier: MIT
#pragma once

#include "game/peerlink.h"
#include "ice/link.h"
#include "lan/discovery.h"
#include "lan/sock.h"
#include "lan/tcpopener.h"
#include "reach.h"
#include "receiver.h"
#include "router/portmapping.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class Game;
class Platform;

// The two-player mode behind the windows: the socket and what its events
// do, the connection's one state, the messages both ways, the chat, and the
// games on the network. It is the connection dialog's one door: the dialog
// shows what it says (the status, the games found, how the other player can
// reach this copy) and hands it the player's choices; it knows no widget.
class Session final : public QObject, public PeerLink {
    Q_OBJECT

public:
    Session(Game& game, Platform& platform, QObject* parent = nullptr);
    ~Session() override;

    // Closed, listening, connecting, connected or closing. The position
    // timer `mul` is enabled exactly while connected, so the game's senders
    // send only then.
    ConnectionState state() const override { return m_state; }
    void SendData(const QString& text) override;

    // What the dialog's status line says.
    const QString& status() const { return m_status; }

    // The player's choices, as the connection dialog hands them over.
    const QString& userName() const { return m_userName; }
    void setUserName(const QString& name) { m_userName = name; }
    // An interval that is no whole number leaves the last good one; one
    // outside what a timer takes is brought inside. 0 sends no positions.
    void setUpdateInterval(const QString& milliseconds);
    // The local player's name tag, above the figure.
    void showNameTag();
    // How soon a dead path or a join that finds no host is given up on
    // (the opener's); the game keeps the defaults.
    void setTimeouts(const TcpOpener::Timeouts& timeouts) { opener.setTimeouts(timeouts); }

    // Each returns false when it fails at once; the status says why. A host
    // that is to be reached from the internet asks the home router to
    // forward its port (router()).
    bool StartHost(const QString& port, bool askRouter = true);
    // The address may hold several, each with its port or taking `port`
    // (readDestinations), and an invitation (what the host's Co&py gave);
    // the first path to open is joined, and the others are closed before a
    // byte is sent.
    bool StartJoin(const QString& address, const QString& port);
    // A join whose address held an invitation answers it: this copy's
    // answer, once made (then answerChanged, with the status saying it was
    // copied: the dialog puts it on the clipboard). Empty otherwise.
    const QString& answer() const { return m_answer; }
    // Whether the last StartJoin's address held an invitation, and whether
    // this join is answering one now.
    bool invitationGiven() const { return m_invitationGiven; }
    bool joinsByInvitation() const;
    // While this copy hosts with the router asked, it also offers an
    // invitation (reach()); the friend's game answers it, and the answer
    // taken here opens a path through both routers. False when the answer is
    // refused, at once; the status says why.
    bool takeAnswer(const QString& text);
    // The STUN and TURN servers and the ICE time-outs; the game's come from
    // the settings (IceLink::Options::fromSettings). They are asked only
    // while this copy hosts with the router asked or answers an invitation.
    void setIceOptions(const ice::Link::Options& options) { m_iceOptions = options; }
    // What the last StartJoin's address held, as it was read: none when it
    // held no address.
    const QList<Destination>& destinations() const { return m_destinations; }
    void StopConnection();
    // Closes whatever is open and says nothing: the dialog's Cancel.
    void Close();

    // The games other copies host on the network, then gameAppeared and
    // gameVanished. The first call starts looking, so that start-up never
    // talks to the system bus. While this copy listens, its game is
    // announced there.
    QList<FoundGame> games();

    // How the other player can reach this copy while it hosts, from what
    // the home router said of its forward of this copy's port; then
    // reachChanged. The forward is asked for while this copy listens, kept
    // while the connection that came in through it lasts, and removed as
    // soon as both are over.
    const Reach& reach() const { return m_reach; }
    // The forward itself, for tests: none until a copy first hosts with the
    // router to be asked.
    const PortMapping* router() const { return m_router.get(); }
    // Removes the router's forward now, waiting a moment for the router: for
    // an ending that skips the destructors.
    void forgetRouter();
    // Whether this copy hosts: it listens, or carries a connection it
    // accepted.
    bool isHosting() const;
    // The port this copy listens on, or listened on last.
    int LocalPort() const { return opener.LocalPort(); }

    // The menu's Chat: asks for a line and shows it, and sends it while connected.
    void chat_Click();

Q_SIGNALS:
    void stateChanged(ConnectionState state);
    void statusChanged(const QString& status);
    void reachChanged(const Reach& reach);
    void gameAppeared(const FoundGame& game);
    void gameVanished(const FoundGame& game);
    void answerChanged(const QString& answer);

private:
    void sock_ConnectionRequest(int requestID);
    void sock_Connect();
    void sock_Close();
    void sock_Error();
    void opener_Error();
    void sock_DataArrival();

    void mul_Timer();
    void wischatr_Timer();

    void setStatus(const QString& text);
    Sock::SocketState socketState() const;
    void followSocket();
    void keepForward();
    void followRouter();
    Discovery& discovery();
    void connectionLost();
    QString joinFailure() const;

    void startIce(ice::Link::Role role, const QString& invitation = {});
    void dropIce();
    void ice_Gathered(const QString& code);
    void ice_Connected(QIODevice* device);
    void ice_Failed(const QString& reason);

    // Each carries its name as its object name, so that a test can find it.
    // The opener listens or dials and hands the connection over; from then
    // on the session knows only the connection, not what carries it.
    TcpOpener opener;
    Sock sock;
    Receiver receiver;
    Game& m_game;
    Platform& m_platform;
    ConnectionState m_state = ConnectionState::Closed;
    QString m_status = QStringLiteral("Status: Idle");
    QString m_userName = QStringLiteral("Player");
    std::unique_ptr<Discovery> m_discovery;
    std::unique_ptr<PortMapping> m_router;
    Reach m_reach;
    QList<Destination> m_destinations;
    QString m_joinText;
    // The ICE link of this copy's invitation while it hosts, or of the
    // invitation a join answers; then the connection's carrier.
    std::unique_ptr<ice::Link> m_ice;
    // Read from the settings when the first invitation is made or answered,
    // not at start-up.
    std::optional<ice::Link::Options> m_iceOptions;
    QString m_answer;
    QString m_iceTrouble;  // why no invitation could be made
    QString m_dialFailure; // a join's addresses failed while its invitation may still open a path
    bool m_answerTaken = false;
    bool m_invitationGiven = false;
    bool m_askRouter = false; // as the last StartHost was told
    bool m_accepting = false; // inside the close and accept of a connection request
    bool m_accepted = false;  // the connection came in here
    bool m_forwarding = false;
    bool m_joining = false; // a join has started and not yet connected or ended
};
