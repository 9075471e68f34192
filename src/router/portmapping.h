// SPDX-License-Identifier: MIT
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

class NatPmpClient;
class UpnpClient;

// Asks the home router to forward the hosting game's TCP port from the
// internet to this machine, and keeps that forward for as long as it is
// needed: the owner starts it when the game listens and stops it when
// neither the listening nor a connection that came in through it is left.
//
// Both ways a home router takes such a request are tried at once: NAT-PMP
// (which a PCP router answers too) and UPnP-IGD. Exactly one forward is
// made, by the first that can; only the default gateway is asked, and only
// the game's own port is forwarded, to this machine. A lease is renewed at
// half its life; a router that keeps only permanent forwards gets one, and
// stop() or destruction removes it. An outside port another machine holds
// is given up for the one the router offers.
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
        // No router answered, or none would forward: only players on this
        // network can join, unless the port is forwarded by hand to
        // localAddress().
        NoRouter,
        // The router's outside address is private or the provider's shared
        // range: a second router or the provider's NAT stands in the way,
        // and no forward is asked for. outsideAddress() names it, unless the
        // router answered without one (as miniupnpd does when its own is
        // private).
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
    // The router's outside address: Mapped and BehindSecondRouter.
    QHostAddress outsideAddress() const { return m_outsideAddress; }
    // Mapped: the port on the outside address, port() unless another
    // machine holds that one on the router.
    quint16 outsidePort() const { return m_outsidePort; }
    // Mapped: which protocol made the forward.
    Protocol protocol() const { return m_protocol; }

Q_SIGNALS:
    // Also when a renewal moves a forward to another outside port.
    void stateChanged(PortMapping::State state);

private:
    // How far each protocol has come since start().
    enum class Phase { Off, Asking, Found, Mapping, Mapped, Failed };

    void natPmpAnswered(const QHostAddress& outsideAddress);
    void natPmpMapped(quint16 outsidePort);
    void natPmpFailed();
    void upnpFound(const QHostAddress& lanAddress, const QHostAddress& outsideAddress);
    void upnpMapped(quint16 outsidePort);
    void upnpFailed();
    void mapWithUpnp();
    void mapped(Protocol protocol, const QHostAddress& outsideAddress, quint16 outsidePort);
    void behindSecondRouter(const QHostAddress& outsideAddress);
    void concludeIfBothFailed();
    void conclude();
    void releaseNatPmp();
    void releaseAll();
    void settle(State state);

    Options m_options;
    UpnpClient* m_upnp;
    QPointer<NatPmpClient> m_natPmp; // one a start(); deletes itself once released
    QTimer m_deadline;

    State m_state = State::Off;
    Phase m_natPmpPhase = Phase::Off;
    Phase m_upnpPhase = Phase::Off;
    quint16 m_port = 0;
    QHostAddress m_gateway;
    QHostAddress m_localAddress;
    QHostAddress m_natPmpOutside;
    QHostAddress m_upnpOutside;
    QHostAddress m_outsideAddress;
    quint16 m_outsidePort = 0;
    Protocol m_protocol = Protocol::None;
    // A router answered, but with no outside address a forward could use.
    bool m_answeredWithoutOutside = false;
};
