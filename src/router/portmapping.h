// SPDX-License-Identifier: MIT
#pragma once

#include "routerattempt.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <vector>

// Asks the home router to forward the hosting game's TCP port from the
// internet to this machine, and keeps that forward for as long as it is
// needed: the owner starts it when the game listens and stops it when
// neither the listening nor a connection that came in through it is left.
//
// Each start() makes one attempt a protocol, NAT-PMP (which a PCP router
// answers too) and UPnP-IGD, and runs them at once; exactly one forward is
// made, by the first attempt that finds a usable outside address, the
// others held in reserve in case it fails, and thrown away once it stands.
// Only the default gateway is asked, and only the game's own port is
// forwarded, to this machine. A lease is renewed at half its life, and the
// forward is checked now and then: one the router lost (it restarted, say)
// is asked for again, and the state follows. A router that keeps only
// permanent forwards gets one, and stop() or destruction removes it. An
// outside port another machine holds is given up for the one the router
// offers.
//
// Nothing here waits on the network: every answer comes back through the
// event loop, and the state is known within about 3 s when a router answers
// and within 5 s when none does. Until start() nothing is sent.
class PortMapping final : public QObject {
    Q_OBJECT

public:
    enum class State {
        Off,    // not asked: before start(), after stop()
        Asking, // the router is being searched for and asked
        // Players on the internet reach the game at
        // outsideAddress():outsidePort().
        Mapped,
        // Nothing answered: only players on this network can join, unless
        // the port is forwarded by hand to localAddress().
        NoRouter,
        // The router answered, and would not forward the port: reason()
        // has its words.
        Refused,
        // The router answered with no outside address anyone could reach
        // (none, 0.0.0.0, or no address at all).
        NoUsableAddress,
        // The router's outside address is private or the provider's shared
        // range, or the router says it is not on the internet itself: a
        // second router or the provider's NAT stands in the way, and no
        // forward is asked for. outsideAddress() names it when the router
        // did.
        BehindSecondRouter,
    };
    Q_ENUM(State)

    enum class Protocol { None, NatPmp, UpnpIgd };
    Q_ENUM(Protocol)

    struct Options {
        // Asked for; the router may grant another, which is renewed at half
        // its life.
        std::chrono::seconds lease{3600};
        bool natPmp = true;
        bool upnpIgd = true;
        // How often a standing forward is checked, and how soon a lost one
        // that could not be made again is tried anew.
        std::chrono::milliseconds check{30000};
    };

    // A router answers within this, or counts as not answering.
    static constexpr int NoRouterAfterMs = 4500;

    explicit PortMapping(QObject* parent = nullptr);
    explicit PortMapping(const Options& options, QObject* parent = nullptr);
    // Removes the forward, waiting at most about a second for the router.
    ~PortMapping() override;

    // Forwards `port` (the game's listening port); a forward of an earlier
    // start() is removed first.
    void start(quint16 port);
    // Removes the forward; returns at once, the router is told in the
    // background.
    void stop();

    State state() const { return m_state; }
    // The game's own port, as given to start().
    quint16 port() const { return m_port; }
    // This machine's address on the route to the router, the one a forward
    // points at: known from start() on, when there is a route.
    QHostAddress localAddress() const { return m_localAddress; }
    // The router's outside address: Mapped, and BehindSecondRouter when the
    // router named it.
    QHostAddress outsideAddress() const { return m_outsideAddress; }
    // Mapped: the port on the outside address, port() unless another
    // machine holds that one on the router.
    quint16 outsidePort() const { return m_outsidePort; }
    // Mapped: which protocol made the forward.
    Protocol protocol() const { return m_protocol; }
    // Refused and NoUsableAddress: what the router said, for the curious.
    QString reason() const { return m_reason; }

Q_SIGNALS:
    // Also when the outside address or port of a forward changes.
    void stateChanged(PortMapping::State state);

private:
    enum class Stage { Finding, Found, Mapping, Mapped };
    struct Entry {
        QPointer<RouterAttempt> attempt;
        Protocol protocol;
        Stage stage = Stage::Finding;
    };

    void add(RouterAttempt* attempt, Protocol protocol);
    Entry* entryOf(RouterAttempt* attempt);
    void found(RouterAttempt* attempt, const QHostAddress& outsideAddress);
    void mapped(RouterAttempt* attempt, const QHostAddress& outsideAddress, quint16 outsidePort);
    void failed(RouterAttempt* attempt, RouterAttempt::Failure failure, const QString& reason);
    void lost();
    void mapNext();
    void drop(RouterAttempt* attempt);
    void note(State outcome, const QString& reason);
    void conclude();
    void releaseAll();
    void settle(State state);

    Options m_options;
    std::vector<Entry> m_attempts;
    QTimer m_deadline;
    QTimer m_retry;

    State m_state = State::Off;
    quint16 m_port = 0;
    QHostAddress m_gateway;
    QHostAddress m_localAddress;
    QHostAddress m_outsideAddress;
    quint16 m_outsidePort = 0;
    Protocol m_protocol = Protocol::None;
    // What the attempts that gave up said, the telling one kept.
    State m_outcome = State::NoRouter;
    QString m_reason;
    // A forward was lost: tried again until it stands.
    bool m_retrying = false;
};
