// SPDX-License-Identifier: MIT
#pragma once

#include "dialer.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>

// The one socket of the game: it first listens or connects, then carries the
// one connection. Its State reads like a small state machine (0 closed,
// 2 listening, 6 connecting, 7 connected, 8 closing after the peer closed,
// 9 error), and its events are the signals below. It carries bytes and knows
// nothing of what they mean. Nothing it is asked to do throws or aborts: a
// send without a connection is dropped.
//
// A peer cannot make it hold more than it should: what waits unsent is
// bounded, and a network path that dies without a word is noticed by the
// kernel's keepalive and user time-out, within about 15 seconds (Timeouts).
class Sock final : public QObject {
    Q_OBJECT

public:
    // The values of State.
    enum class SocketState : int {
        Closed = 0,
        Listening = 2,
        Connecting = 6,
        Connected = 7,
        Closing = 8, // the peer has closed; not closed here yet
        Failed = 9,
    };

    // What one read may hold: a peer cannot make the game buffer more.
    static constexpr qint64 ReadBufferSize = 64 * 1024;
    // While this much waits unsent, a newer position is not queued behind it.
    static constexpr qint64 MaxUnsentForPositions = 64 * 1024;
    // A peer that has let this much pile up reads nothing: the connection
    // ends as if it had closed it.
    static constexpr qint64 MaxUnsent = 1024 * 1024;

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

    explicit Sock(QObject* parent = nullptr);
    ~Sock() override;

    SocketState State() const { return m_state; }
    // The address that answered, or that was accepted.
    QString RemoteHostIP() const { return m_remoteHostIP; }
    // Where the last Connect went, as players write it, one entry a
    // destination ("198.51.100.1:2539", "[2001:db8::5]:2539", "anna.example:2539").
    QStringList Destinations() const;

    // What tries the addresses of a join, one after another (Dialer::options).
    Dialer dialer;
    // Taken by the next connection and the next join.
    void setTimeouts(const Timeouts& timeouts);
    const Timeouts& timeouts() const { return m_timeouts; }

    // The port the last Listen was given.
    int LocalPort() const { return m_localPort; }

    // Each returns false when it fails at once; errorString() then says why.
    bool Listen(quint16 localPort);
    // Tries the destinations (readDestinations) as the dialer does; the
    // first to answer becomes the connection. What fails later comes as
    // Error, from the event loop.
    bool Connect(const QList<Destination>& destinations);
    void Accept(int requestID);
    // One message, written whole.
    void SendData(const QByteArray& bytes);
    // A position: only the newest one matters, so it is dropped rather than
    // queued behind a backlog.
    void SendPosition(const QByteArray& bytes);
    QByteArray GetData();
    void Close();
    // Written but not yet handed to the network.
    qint64 bytesToWrite() const { return m_connection ? m_connection->bytesToWrite() : 0; }

    QString errorString() const { return m_errorString; }
    // What went wrong last, where it is worth telling the player.
    enum class Failure { Other, HostNotFound, NoAnswer };
    Failure failure() const { return m_failure; }

Q_SIGNALS:
    void ConnectionRequest(int requestID);
    void Connected();
    void DataArrival(qint64 bytesTotal);
    void Closed();
    void Error(int number, const QString& description);
    // State changed.
    void stateChanged(Sock::SocketState state);

private:
    void takeRequests();
    void attach(QTcpSocket* socket);
    void drop(QTcpSocket* socket);
    void onError(QAbstractSocket::SocketError error);
    void write(const QByteArray& bytes);
    void setState(SocketState state);
    void giveUpOnPeer();
    void dialed(QTcpSocket* socket);
    void dialFailed(QAbstractSocket::SocketError error, const QString& text);

    QTcpServer m_server;
    QPointer<QTcpSocket> m_connection;
    QTcpSocket* m_request = nullptr; // offered by ConnectionRequest until it returns
    int m_lastRequestID = 0;
    int m_localPort = 0;
    SocketState m_state = SocketState::Closed;
    QString m_remoteHostIP;
    QString m_errorString;
    Failure m_failure = Failure::Other;
    QList<Destination> m_destinations;
    Timeouts m_timeouts;
    QTimer m_connectTimeout;
};
