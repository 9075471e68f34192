// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QIODevice;

// The game's one connection: bytes both ways over whatever device carries
// them, once an opener has made it (TcpOpener over TCP). It knows nothing of
// what carries it, nor of what the bytes mean. Nothing it is asked to do
// throws or aborts: a send without a connection is dropped.
//
// Its State reads as the game's socket did (SocketState): closed, connected,
// closing after the peer closed, or error; listening and connecting are the
// opener's. Its events are the signals below.
//
// A device tells of its end as QIODevice does: readChannelFinished when the
// other side has closed (what it sent before is still read, then Closed), or
// the device closing under the connection when what carries it failed, with
// errorString saying why (then Error). A peer cannot make it hold more than
// it should: what waits unsent is bounded, and so is each read.
class Sock final : public QObject {
    Q_OBJECT

public:
    // The game's socket's states, by their numbers: the connection's own, and
    // the opener's while it listens or connects.
    enum class SocketState : int {
        Closed = 0,
        Listening = 2,
        Connecting = 6,
        Connected = 7,
        Closing = 8, // the peer has closed; not closed here yet
        Failed = 9,
    };

    // What one read may hold: a peer cannot make the game take more at once.
    static constexpr qint64 ReadBufferSize = 64 * 1024;
    // While this much waits unsent, a newer position is not queued behind it.
    static constexpr qint64 MaxUnsentForPositions = 64 * 1024;
    // A peer that has let this much pile up reads nothing: the connection
    // ends as if it had closed it.
    static constexpr qint64 MaxUnsent = 1024 * 1024;

    explicit Sock(QObject* parent = nullptr);
    ~Sock() override;

    SocketState State() const { return m_state; }
    // The address of the other end, as what carries it names it.
    QString RemoteHostIP() const { return m_remoteHostIP; }

    // Carries the connection over `device`, open for reading and writing,
    // from now on; whatever it carried before is closed. It takes the
    // device, and Connected follows at once.
    void Open(QIODevice* device, const QString& remoteHostIP);
    // One message, written whole.
    void SendData(const QByteArray& bytes);
    // A position: only the newest one matters, so it is dropped rather than
    // queued behind a backlog.
    void SendPosition(const QByteArray& bytes);
    // What has come in, at most ReadBufferSize bytes a call.
    QByteArray GetData();
    void Close();
    // Written but not yet handed on by the device.
    qint64 bytesToWrite() const;

    // Why the connection ended in error.
    QString errorString() const { return m_errorString; }

Q_SIGNALS:
    void Connected();
    void DataArrival(qint64 bytesTotal);
    void Closed();
    void Error(const QString& description);
    // State changed.
    void stateChanged(Sock::SocketState state);

private:
    void peerClosed();
    void carrierFailed();
    void write(const QByteArray& bytes);
    void setState(SocketState state);
    void giveUpOnPeer();
    void release();

    QPointer<QIODevice> m_device;
    SocketState m_state = SocketState::Closed;
    QString m_remoteHostIP;
    QString m_errorString;
};
