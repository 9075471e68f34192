#pragma once

#include "game/peerlink.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// The one socket of the game: it first listens or connects, then carries the
// one connection. Its State reads like a small state machine (0 closed,
// 2 listening, 6 connecting, 7 connected, 8 closing after the peer closed,
// 9 error), and its events are the signals below. Nothing it is asked to do
// throws or aborts: a send without a connection is dropped.
class Sock final : public QObject, public PeerLink {
    Q_OBJECT

public:
    // What one read may hold: a peer cannot make the game buffer more.
    static constexpr qint64 ReadBufferSize = 64 * 1024;

    explicit Sock(QObject* parent = nullptr);
    ~Sock() override;

    int State() const override { return m_state; }
    QString RemoteHostIP() const { return m_remoteHostIP; }

    int LocalPort = 0;

    // Each returns false when it fails at once; errorString() then says why.
    bool Listen();
    bool Connect(const QString& remoteHost, int remotePort);
    void Accept(int requestID);
    void SendData(const QString& text) override;
    QByteArray GetData();
    void Close();
    // Written but not yet handed to the network.
    qint64 bytesToWrite() const { return m_connection ? m_connection->bytesToWrite() : 0; }

    QString errorString() const { return m_errorString; }
    // The last error was a host name that could not be found.
    bool hostNotFound() const { return m_hostNotFound; }

Q_SIGNALS:
    void ConnectionRequest(int requestID);
    void Connected();
    void DataArrival(qint64 bytesTotal);
    void Closed();
    void Error(int number, const QString& description);
    // Listen() succeeded, or the listening ended (Close(), also the one
    // that Accept() makes).
    void listeningChanged(bool listening);

private:
    void takeRequests();
    void attach(QTcpSocket* socket);
    void drop(QTcpSocket* socket);
    void onError(QAbstractSocket::SocketError error);

    QTcpServer m_server;
    QPointer<QTcpSocket> m_connection;
    QTcpSocket* m_request = nullptr; // offered by ConnectionRequest until it returns
    int m_lastRequestID = 0;
    int m_state = SockState::Closed;
    QString m_remoteHostIP;
    QString m_errorString;
    bool m_hostNotFound = false;
};
