// SPDX-License-Identifier: MIT
#pragma once

#include "routerhttp.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

class QUdpSocket;

// The LOCATION of an SSDP search answer ("HTTP/1.1 200 OK" with a LOCATION
// header); empty when the datagram is no such answer.
QByteArray ssdpLocation(QByteArrayView datagram);

// Looks for the gateway's Internet Gateway Device: an SSDP search (UPnP
// Device Architecture 1.1), sent from this machine's address on the route
// to the gateway, whose answers count only when they come from the gateway
// and point at it. Anyone on the network can answer a search, as often as
// he likes: each description is named once, MaxLocations at most, and no
// more than MaxAnswersRead datagrams are read before the search ends.
class GatewaySearch final : public QObject {
    Q_OBJECT

public:
    static constexpr int MaxLocations = 3;
    static constexpr int MaxAnswersRead = 256;
    static constexpr int AnswersReadAtOnce = 16;
    // The answers' wait; asked again once halfway, in case a datagram is lost.
    static constexpr int SearchMs = 1500;

    GatewaySearch(const QHostAddress& gateway, const QHostAddress& localAddress, QObject* parent);

    void start();

Q_SIGNALS:
    // A description on the gateway, each once.
    void located(const RouterUrl& description);
    // The search's time is over, or it heard enough.
    void finished();

private:
    void send();
    void read();
    void finish();

    QHostAddress m_gateway;
    QHostAddress m_localAddress;
    QUdpSocket* m_socket = nullptr;
    QTimer m_again;
    QTimer m_end;
    QList<QByteArray> m_seen;
    int m_read = 0;
};
