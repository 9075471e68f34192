// SPDX-License-Identifier: MIT
#pragma once

#include "routerattempt.h"
#include "routerhttp.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

#include <optional>

class QUdpSocket;

// The LOCATION of an SSDP search answer ("HTTP/1.1 200 OK" with a LOCATION
// header); empty when the datagram is no such answer.
QByteArray ssdpLocation(QByteArrayView datagram);

// Looks for the gateway's Internet Gateway Device: an SSDP search (UPnP
// Device Architecture 1.1), sent from this machine's address on the route
// to the gateway, whose answers count only when they come from the gateway
// and point at it. Anyone on the network can answer a search, as often as
// he likes, and from the gateway's address too: the search reads until its
// deadline, past the time a router may wait before it answers (MX), and
// names each description on the gateway once, in the order they came, for
// its owner to try. A flood is dropped unread, never taken for the end: of
// what waits at each turn of the event loop, the gateway's answers are
// read, AnswersReadAtOnce at most, and the rest goes unparsed.
//
// Where the gateway is a link-local address (an IPv6 default route, as
// router advertisements set it), the router answers from its global address
// and names that: such an answer counts when the kernel's neighbour table
// ties its sender and its URL's host to the gateway's link-layer address,
// the same router, and nothing else does.
class GatewaySearch final : public QObject {
    Q_OBJECT

public:
    // Distinct descriptions named, at most.
    static constexpr int MaxLocations = 32;
    static constexpr int AnswersReadAtOnce = 16;
    // Datagrams taken from the socket at one turn, at most, parsed or not.
    static constexpr int DatagramsAtOnce = 256;
    // A router waits up to MX seconds before it answers: the search is sent
    // again after AgainMs, in case a datagram is lost, and ends past the
    // longest wait after it.
    static constexpr int MxSeconds = 1;
    static constexpr int AgainMs = 500;
    static constexpr int SearchMs = AgainMs + MxSeconds * 1000 + 200;
    // Answers from another address, waiting for the neighbour table to say
    // whether it is the gateway's: so many at most, each for ProveTries
    // looks ProveEveryMs apart.
    static constexpr int MaxUnproven = 8;
    static constexpr int ProveTries = 8;
    static constexpr int ProveEveryMs = 100;

    GatewaySearch(const QHostAddress& gateway, const QHostAddress& localAddress, QObject* parent);

    void start();
    // No more answers are wanted: the socket closes, and finished() is not
    // sent.
    void stop();

Q_SIGNALS:
    // A description on the gateway, each once.
    void located(const RouterUrl& description);
    // The search's time is over.
    void finished();

private:
    void send();
    void read();
    void finish();
    enum class Answer { OnTheGateway, ToProve, NoRoom, Elsewhere };
    Answer consider(const QByteArray& location, const QHostAddress& sender);
    void prove();

    struct Unproven {
        RouterUrl url;
        QHostAddress sender;
        int tries = 0;
    };

    QHostAddress m_gateway;
    QHostAddress m_localAddress;
    QUdpSocket* m_socket = nullptr;
    OneShot m_again{this};
    OneShot m_end{this};
    QList<QByteArray> m_seen;
    QList<Unproven> m_unproven;
    QTimer m_prove{this};
    bool m_ending = false;
};
