// SPDX-License-Identifier: MIT
#pragma once

#include "destinations.h"
#include "dialer.h"
#include "sock.h"

#include <QAbstractSocket>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <chrono>

class QIODevice;
class QTcpSocket;

// Opens the game's connection over TCP: it listens and accepts the peer
// that knocks, or tries a join's addresses (Dialer); either way it hands
// over the socket as a device (opened), tuned so that a path that dies
// without a word is noticed by the kernel's keepalive and user time-out,
// within about 15 seconds (Timeouts), and with its reads bounded
// (Sock::ReadBufferSize). From then on the socket is the connection's:
// a TCP error on it closes it, which the connection takes as its end.
// Nothing it is asked to do throws or aborts.
class TcpOpener final : public QObject {
    Q_OBJECT

public:
    struct Timeouts {
        // How a dead path is noticed: keepalive probes on an idle
        // connection, and a limit on how long sent data may go
        // unacknowledged.
        std::chrono::seconds keepAliveIdle{5};
        std::chrono::seconds keepAliveInterval{2};
        int keepAliveProbes = 3;
        std::chrono::milliseconds user{15000};
        // How long a join waits for the host's name to be found and the
        // host to answer, at any of the addresses it tries.
        std::chrono::milliseconds connect{15000};
    };

    explicit TcpOpener(QObject* parent = nullptr);
    ~TcpOpener() override;

    // Closed, listening, connecting, or failed (Sock::SocketState's numbers).
    Sock::SocketState State() const { return m_state; }

    // What tries the addresses of a join, one after another (Dialer::options).
    Dialer dialer;
    // Taken by the next connection and the next join.
    void setTimeouts(const Timeouts& timeouts);
    const Timeouts& timeouts() const { return m_timeouts; }

    // The port the last Listen was given.
    int LocalPort() const { return m_localPort; }

    // Each returns false when it fails at once; errorString() then says why.
    bool Listen(quint16 localPort);
    // Tries the destinations as the dialer does; the first to answer is
    // opened. What fails later comes as Error, from the event loop.
    bool Connect(const QList<Destination>& destinations);
    // Opens the peer that ConnectionRequest offers, while it offers it.
    void Accept(int requestID);
    // Stops listening and dialing; the peer on offer can still be accepted.
    void Close();

    QString errorString() const { return m_errorString; }
    // What went wrong last, where it is worth telling the player.
    enum class Failure { Other, HostNotFound, NoAnswer };
    Failure failure() const { return m_failure; }

Q_SIGNALS:
    void ConnectionRequest(int requestID);
    // A connection, open for reading and writing, with no parent: the
    // receiver takes it (Sock::Open). The peer's address as players write
    // it, an IPv4 one as such also when it came in over IPv6.
    void opened(QIODevice* device, const QString& remoteHostIP);
    // A join got nowhere (QAbstractSocket::SocketError, and why).
    void Error(int number, const QString& description);
    void stateChanged(Sock::SocketState state);

private:
    void takeRequests();
    void open(QTcpSocket* socket);
    void dialed(QTcpSocket* socket);
    void dialFailed(QAbstractSocket::SocketError error, const QString& text);
    void setState(Sock::SocketState state);

    QTcpServer m_server;
    QTcpSocket* m_request = nullptr; // offered by ConnectionRequest until it returns
    int m_lastRequestID = 0;
    int m_localPort = 0;
    Sock::SocketState m_state = Sock::SocketState::Closed;
    QString m_errorString;
    Failure m_failure = Failure::Other;
    Timeouts m_timeouts;
    QTimer m_connectTimeout;
};
