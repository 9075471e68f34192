// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <utility>

// One protocol's try at a forward of the game's port: made for one start
// of PortMapping and thrown away after it, so an answer that comes late
// dies with its attempt. It first finds the router and its outside
// address, and makes the forward only when told to, so that of several
// attempts just one makes a forward. Once it stands, the attempt renews
// it and checks now and then that the router still has it.
//
// An attempt reports only from the event loop, never from inside a call of
// its owner's (find(), map(), release()): the owner may change its list of
// attempts while it calls them. It removes what it made in one way only,
// release(), which the owner calls on the event loop, or at the game's last
// moment on a thread of its own (every object of an attempt is its child, so
// that it moves there whole); its destructor sends nothing.
class RouterAttempt : public QObject {
    Q_OBJECT

public:
    enum class Failure {
        NoAnswer,     // nothing answered in time
        Refused,      // the router answered, and would not
        NotConnected, // the router says it is not on the internet itself
        BadAnswer,    // the router answered what cannot be used
    };
    Q_ENUM(Failure)

    struct Timing {
        // Asked for; the router may grant another, which is renewed at half
        // its life.
        std::chrono::seconds lease{3600};
        // How often a standing forward is checked (asked for again: the
        // router's answer says whether it still has it).
        std::chrono::milliseconds check{30000};
        // However short a life the router grants, a lease is not renewed
        // more often than this, and never more often than once a second.
        std::chrono::seconds shortestRenewal{10};

        // When a lease the router granted for `lifetime` seconds is renewed:
        // at half its life, daily at the longest, and not sooner than the
        // shortest renewal.
        std::chrono::seconds renewal(quint32 lifetime) const
        {
            constexpr qint64 longest = 86400;
            const qint64 shortest = std::clamp<qint64>(shortestRenewal.count(), 1, longest);
            return std::chrono::seconds(std::clamp<qint64>(lifetime / 2, shortest, longest));
        }
    };

    using QObject::QObject;

    virtual const char* protocolName() const = 0;

    // Finds the router: found() or failed().
    virtual void find() = 0;
    // After found(): makes the forward, mapped() or failed().
    virtual void map() = 0;
    // Removes the forward if one stands, then deletes itself; returns at
    // once, and no signal comes after it. Once: a second call does nothing.
    void release()
    {
        if (std::exchange(m_released, true))
            return;
        blockSignals(true);
        remove();
    }

protected:
    // release()'s work: removes what the attempt made, then deleteLater().
    virtual void remove() = 0;
    bool released() const { return m_released; }

    // A failure met inside find() or map(), reported from the event loop.
    void failLater(Failure failure, const QString& reason)
    {
        QTimer::singleShot(0, this, [this, failure, reason] { Q_EMIT failed(failure, reason); });
    }

Q_SIGNALS:
    // The router's outside address, read strictly: null when what it
    // answered is no IPv4 address.
    void found(const QHostAddress& outsideAddress);
    // Also when a renewal or a check finds the outside address or port
    // changed. The address is the router's word, read as strictly as
    // found()'s, and the owner classifies it again.
    void mapped(const QHostAddress& outsideAddress, quint16 outsidePort);
    void failed(RouterAttempt::Failure failure, const QString& reason);
    // The forward is gone: the router dropped it, or restarted without it.
    void lost();

private:
    bool m_released = false;
};

// A timer of an attempt's, its child, that fires once a start.
class OneShot : public QTimer {
public:
    explicit OneShot(QObject* owner)
        : QTimer(owner)
    {
        setSingleShot(true);
    }
};

// A router's seconds since its epoch, in every NAT-PMP and PCP answer,
// tell a restart (RFC 6886, 3.6): they grow at least about as fast as the
// time that passes here, less 2 s for rounding; if they fell behind, the
// router restarted, and forgot its forwards and pinholes. Only a hint: a
// router that restarts within seconds, or loses a forward without
// restarting, shows nothing here, so the attempts ask for their forward
// again at every check whatever the epoch says.
class RouterEpoch {
public:
    // Whether an answer came.
    bool known() const { return m_seen.isValid(); }
    // Takes an answer's epoch: true when the router restarted since the
    // last answer.
    bool restarted(quint32 epoch)
    {
        const bool known = m_seen.isValid();
        const qint64 elapsedMs = known ? m_seen.elapsed() : 0;
        const qint64 beforeMs = qint64(m_epoch) * 1000;
        m_epoch = epoch;
        m_seen.start();
        return known && qint64(epoch) * 1000 + 2000 < beforeMs + elapsedMs * 7 / 8;
    }

private:
    quint32 m_epoch = 0;
    QElapsedTimer m_seen;
};
