// SPDX-License-Identifier: MIT
#include "sock.h"

#include "lanlog.h"

#include <QIODevice>

Sock::Sock(QObject* parent)
    : QObject(parent)
{
}

Sock::~Sock()
{
    // Whoever listens may be half gone already.
    blockSignals(true);
    Close();
}

void Sock::Open(QIODevice* device, const QString& remoteHostIP)
{
    Close();
    m_device = device;
    device->setParent(this);
    m_remoteHostIP = remoteHostIP;
    m_errorString.clear();
    connect(device, &QIODevice::readyRead, this, [this] {
        if (m_device)
            Q_EMIT DataArrival(m_device->bytesAvailable());
    });
    connect(device, &QIODevice::readChannelFinished, this, &Sock::peerClosed);
    connect(device, &QIODevice::aboutToClose, this, &Sock::carrierFailed);
    setState(SocketState::Connected);
    Q_EMIT Connected();
}

// Nothing more will come; what came before it is still there to be read.
void Sock::peerClosed()
{
    if (m_state != SocketState::Connected)
        return;
    qCInfo(lcLan, "connection: the other player closed it");
    setState(SocketState::Closing);
    Q_EMIT Closed();
}

// The device closes under the connection: what carries it has failed.
void Sock::carrierFailed()
{
    m_errorString = m_device ? m_device->errorString() : QString();
    release();
    qCInfo(lcLan).noquote() << "connection: ended:" << m_errorString;
    setState(SocketState::Failed);
    Q_EMIT Error(m_errorString);
}

// Lets the device go: it hears nothing more from here and is deleted from
// the event loop, never on the spot, since this may run inside one of its
// own signals.
void Sock::release()
{
    if (!m_device)
        return;
    QIODevice* device = m_device;
    m_device = nullptr;
    device->disconnect(this);
    device->deleteLater();
}

void Sock::setState(SocketState state)
{
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

qint64 Sock::bytesToWrite() const
{
    return m_device ? m_device->bytesToWrite() : 0;
}

void Sock::SendData(const QByteArray& bytes)
{
    if (m_state == SocketState::Connected && m_device)
        write(bytes);
}

void Sock::SendPosition(const QByteArray& bytes)
{
    if (m_state == SocketState::Connected && m_device &&
        m_device->bytesToWrite() <= MaxUnsentForPositions)
        write(bytes);
}

void Sock::write(const QByteArray& bytes)
{
    m_device->write(bytes);
    if (m_device->bytesToWrite() > MaxUnsent)
        giveUpOnPeer();
}

// The peer has stopped reading. Nothing more is sent, and the connection
// ends as it does when the peer closes it; the event comes from the event
// loop, not from inside whatever was sending.
void Sock::giveUpOnPeer()
{
    qCInfo(lcLan, "connection: ended: the other player reads nothing, %lld bytes wait unsent",
           m_device->bytesToWrite());
    QIODevice* device = m_device;
    release();
    device->close();
    setState(SocketState::Closing);
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_state == SocketState::Closing)
                Q_EMIT Closed();
        },
        Qt::QueuedConnection);
}

QByteArray Sock::GetData()
{
    return m_device ? m_device->read(ReadBufferSize) : QByteArray();
}

void Sock::Close()
{
    if (m_device) {
        QIODevice* device = m_device;
        release();
        device->close();
    }
    setState(SocketState::Closed);
}
