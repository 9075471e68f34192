// SPDX-License-Identifier: MIT
#pragma once

#include "destinations.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

class QHostInfo;
class QSocketNotifier;
class QTcpSocket;

// Connects to the first of several destinations that answers, as RFC 8305
// ("Happy Eyeballs") says: host names are looked up on Qt's lookup threads,
// their addresses join the list, and the attempts take turns, IPv6 first
// and then the families in turn, the next one starting a turn (250 ms)
// after the last when none has answered yet, or at once when every attempt
// under way has failed. An address that never answers costs its turn and no
// more. The first connection made wins; the others are aborted, before any
// byte went over them, and the lookups still running are dropped.
//
// An attempt ends the moment its socket reports an error, whatever the
// network said: refused, unreachable (an ICMP error from a router, or no
// route here), blocked; it is never asked again while it keeps saying so.
// The attempts connect without a proxy: the other copy of the game is
// reached straight.
//
// It knows sockets and addresses, nothing of what goes over them; it never
// blocks, and whatever it reports it reports from the event loop, never
// inside start(). A time-out for the whole dial is the caller's.
class Dialer final : public QObject {
    Q_OBJECT

public:
    struct Options {
        // How long an attempt has to itself before the next one starts.
        int attemptDelayMs = 250;
        // How long the first attempt waits for a name's IPv6 addresses when
        // only IPv4 addresses are known so far.
        int resolutionDelayMs = 50;
        // Addresses tried at most, however many the names come to.
        int maxAddresses = 16;
    };

    explicit Dialer(QObject* parent = nullptr);
    ~Dialer() override;

    Options options;

    // Starts anew: whatever an earlier dial left running is dropped first.
    void start(const QList<Destination>& destinations);
    // Stops everything, quietly.
    void abort();
    bool isRunning() const { return m_running; }
    // The attempts this dial has started.
    int attemptsMade() const { return m_attemptsMade; }
    // The attempts of this dial still waiting for an answer.
    int attemptsUnderWay() const { return int(m_attempts.size()); }

Q_SIGNALS:
    // An attempt starts.
    void attempting(const QHostAddress& address, quint16 port);
    // The winner, with no parent now: the receiver takes it. Nothing has been
    // read from it or written to it.
    void connected(QTcpSocket* socket);
    // Nothing answered. HostNotFoundError when no address was found at all;
    // otherwise the last attempt's error, and why it failed in a few words
    // ("connection refused", "host unreachable", ...).
    void failed(QAbstractSocket::SocketError error, const QString& text);

private:
    struct Candidate {
        QHostAddress address;
        quint16 port = 0;
        bool tried = false;
    };
    // One connect under way: a non-blocking socket of our own, watched
    // until it is connected or reports its error.
    struct Attempt {
        int fd = -1;
        QSocketNotifier* notifier = nullptr;
    };

    void add(const QHostAddress& address, quint16 port);
    void looked(const QHostInfo& info, quint16 port, quint64 dial);
    qsizetype next() const;
    bool hasUntried(QAbstractSocket::NetworkLayerProtocol family) const;
    void step();
    void stepLater();
    void attempt(Candidate& candidate);
    void attemptAnswered(Attempt* attempt);
    void attemptFailed(Attempt* attempt, int error);
    void won(Attempt* attempt);
    void dropLookups();
    static void drop(Attempt* attempt);

    QList<Candidate> m_candidates;
    QList<Attempt*> m_attempts; // under way
    QList<int> m_lookups;       // their ids
    int m_pendingLookups = 0;
    QTimer m_turn;
    bool m_running = false;
    bool m_waitingForNames = false; // the turn is the wait for IPv6 addresses
    bool m_waitedForNames = false;
    int m_attemptsMade = 0;
    QAbstractSocket::NetworkLayerProtocol m_lastFamily = QAbstractSocket::IPv4Protocol;
    QAbstractSocket::SocketError m_lastError = QAbstractSocket::HostNotFoundError;
    QString m_lastErrorText;
    quint64 m_dial = 0; // a lookup answers the dial that asked
};
