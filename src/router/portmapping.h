// SPDX-License-Identifier: MIT
#pragma once

#include "routerattempt.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <vector>

// Asks the home router to let players on the internet reach the hosting
// game's TCP port, and keeps that opening for as long as it is needed: the
// owner starts it when the game listens and stops it when neither the
// listening nor a connection that came in through it is left. Two openings
// are asked for at once, each on its own:
// - the IPv4 forward from the router's outside address to this machine,
//   through PCP or NAT-PMP (on the same port of the router, PCP first) or
//   UPnP-IGD: exactly one forward is made, by the first attempt that finds
//   a usable outside address, the others held in reserve in case it fails;
// - the IPv6 pinhole in the router's firewall for this machine's stable
//   global address, through PCP or UPnP IGD 2's WANIPv6FirewallControl:
//   both are asked at once, and the first pinhole that opens is kept.
//
// Each start() makes one attempt a protocol (RouterAttempt), thrown away
// after it. Only the default gateway is asked, and only the game's own port
// is opened, to this machine. A lease is renewed at half its life, and the
// opening is checked now and then: one the router lost (it restarted, say)
// is asked for again, and the state follows. Every outside address the
// router names, at a check too, is classified as the first: one players
// outside cannot reach is never shown as the forward's. A router that keeps
// only permanent forwards gets one, and stop() or destruction removes it.
// An outside port another machine holds is given up for the one the router
// offers.
//
// Nothing here waits on the network but the destructor, RemovalWaitMs at
// most: every answer comes back through the event loop, and the state is
// known within about 3 s when a router answers and within 5 s when none
// does. Until start() nothing is sent.
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

    enum class Protocol { None, NatPmp, UpnpIgd, Pcp };
    Q_ENUM(Protocol)

    // The lease asked for, how often a standing opening is checked (and how
    // soon a lost one that could not be made again is tried anew), and the
    // shortest renewal: each at least 1 s, and passed to the attempts.
    struct Options : RouterAttempt::Timing {
        bool natPmp = true;
        bool upnpIgd = true; // the forward and the pinhole
        // The pinhole, and the forward where the router speaks PCP (asked
        // before NAT-PMP, whose answers anyone on the network can forge).
        bool pcp = true;
        bool ipv6 = true; // whether a pinhole is asked for at all
    };

    // A router answers within this, or counts as not answering.
    static constexpr int NoRouterAfterMs = 4500;
    // At destruction, the router is given so long to remove the openings.
    static constexpr int RemovalWaitMs = 1000;

    explicit PortMapping(QObject* parent = nullptr);
    explicit PortMapping(const Options& options, QObject* parent = nullptr);
    // Removes the openings, waiting at most RemovalWaitMs for the router.
    ~PortMapping() override;

    // Forwards `port` (the game's listening port); a forward of an earlier
    // start() is removed first.
    void start(quint16 port);
    // Removes the forward; returns at once, the router is told in the
    // background.
    void stop();

    // The IPv4 forward.
    State state() const { return m_forward.state; }
    // The game's own port, as given to start().
    quint16 port() const { return m_port; }
    // This machine's address on the route to the router, the one a forward
    // points at: known from start() on, when there is a route.
    QHostAddress localAddress() const { return m_forward.local; }
    // The router's outside address: Mapped, and BehindSecondRouter when the
    // router named it.
    QHostAddress outsideAddress() const { return m_forward.address; }
    // Mapped: the port on the outside address, port() unless another
    // machine holds that one on the router.
    quint16 outsidePort() const { return m_forward.port; }
    // Mapped: which protocol made the forward.
    Protocol protocol() const { return m_forward.protocol; }
    // Refused and NoUsableAddress: what the router said, for the curious.
    QString reason() const { return m_forward.reason; }

    // The IPv6 pinhole: Off while this machine has no stable global IPv6
    // address on the route to the router (or none is asked for); Mapped
    // when it is open; NoRouter or Refused when none could be had, though
    // the address may still be reachable.
    State pinholeState() const { return m_pinhole.state; }
    // This machine's stable global IPv6 address, the one opened.
    QHostAddress globalAddress() const { return m_pinhole.local; }
    // Mapped: where players on the internet reach the game over IPv6.
    QHostAddress pinholeAddress() const { return m_pinhole.address; }
    quint16 pinholePort() const { return m_pinhole.port; }
    Protocol pinholeProtocol() const { return m_pinhole.protocol; }
    QString pinholeReason() const { return m_pinhole.reason; }

Q_SIGNALS:
    // Also when the outside address or port of a forward changes.
    void stateChanged(PortMapping::State state);
    // The same for the pinhole.
    void pinholeChanged(PortMapping::State state);

private:
    // Where an attempt is: finding the router, found it (ready to make the
    // opening), or asked to make it (map()).
    enum class Stage { Finding, Found, Mapping };
    // An attempt leaves the list before it is released, and only then goes.
    struct Entry {
        RouterAttempt* attempt;
        Protocol protocol;
        Stage stage = Stage::Finding;
    };
    // How a slot's attempts take their turns, and what says its state.
    struct Policy {
        const char* name;
        // The forward: one attempt at a time makes it, in the order they
        // were made, since a router may keep both protocols' forwards in
        // one table, where one attempt's removal would take the other's
        // forward. The pinhole has a name of its own in each protocol: all
        // ask at once, and the first to open stays.
        bool oneAtATime;
        void (PortMapping::*start)();
        void (PortMapping::*changed)(PortMapping::State);
    };
    static const Policy Forward;
    static const Policy Pinhole;
    // One opening and the attempts at it.
    struct Slot {
        explicit Slot(const Policy& how)
            : policy(how)
        {
            deadline.setSingleShot(true);
            retry.setSingleShot(true);
        }
        const Policy& policy;
        std::vector<Entry> attempts;
        QTimer deadline;
        QTimer retry;
        State state = State::Off;
        QHostAddress local;
        QHostAddress address;
        quint16 port = 0;
        Protocol protocol = Protocol::None;
        // What the attempts that gave up said, the telling one kept.
        State outcome = State::NoRouter;
        QString reason;
        // The opening was lost: tried again until it stands.
        bool retrying = false;
    };

    void startForward();
    void startPinhole();
    void begin(Slot& slot);
    void add(Slot& slot, RouterAttempt* attempt, Protocol protocol);
    Entry* entryOf(Slot& slot, RouterAttempt* attempt);
    bool reachable(Slot& slot, RouterAttempt* attempt, const QHostAddress& outsideAddress);
    void mapped(Slot& slot, RouterAttempt* attempt, const QHostAddress& outsideAddress,
                quint16 outsidePort);
    void failed(Slot& slot, RouterAttempt* attempt, RouterAttempt::Failure failure,
                const QString& reason);
    void mapNext(Slot& slot);
    void drop(Slot& slot, const std::function<bool(const RouterAttempt*)>& which);
    void drop(Slot& slot, const RouterAttempt* attempt);
    static void note(Slot& slot, State outcome, const QString& reason);
    void conclude(Slot& slot);
    void reset(Slot& slot);
    void settle(Slot& slot, State state, bool changed = false);

    Options m_options;
    quint16 m_port = 0;
    // The home network's range (this machine's address and prefix length),
    // where no outside address lies.
    QPair<QHostAddress, int> m_lan;
    Slot m_forward{Forward};
    Slot m_pinhole{Pinhole};
};
