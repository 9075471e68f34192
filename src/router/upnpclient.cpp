// SPDX-License-Identifier: MIT
#include "upnpclient.h"

#include "upnpworker.h"

#include <QDeadlineTimer>
#include <QThread>

UpnpClient::UpnpClient(QObject* parent)
    : QObject(parent)
{
}

// The worker may be inside a call that takes seconds. A forward that stands,
// or is being made, is waited for a little: it is removed before the game
// ends when the router answers in time. Otherwise the thread is left to end
// by itself, which it does as soon as the call returns, making nothing new.
UpnpClient::~UpnpClient()
{
    if (!m_thread)
        return;
    want(0);
    Q_EMIT finishRequested();
    const bool forwarding = m_shared->forwarding.load();
    if (m_thread->wait(QDeadlineTimer(forwarding ? RemovalWaitMs : 0))) {
        delete m_thread;
        return;
    }
    m_thread->setParent(nullptr);
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    if (m_thread->isFinished())
        delete m_thread;
}

void UpnpClient::search(const QHostAddress& gateway)
{
    if (!m_thread) {
        m_thread = new QThread(this);
        m_thread->setObjectName(QStringLiteral("UPnP-IGD"));
        m_worker = new UpnpWorker(m_shared);
        m_worker->moveToThread(m_thread);
        connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);

        connect(this, &UpnpClient::searchRequested, m_worker, &UpnpWorker::search,
                Qt::QueuedConnection);
        connect(this, &UpnpClient::addRequested, m_worker, &UpnpWorker::add, Qt::QueuedConnection);
        connect(this, &UpnpClient::removeRequested, m_worker, &UpnpWorker::remove,
                Qt::QueuedConnection);
        connect(this, &UpnpClient::finishRequested, m_worker, &UpnpWorker::finish,
                Qt::QueuedConnection);

        connect(m_worker, &UpnpWorker::found, this,
                [this](int generation, const QString& lanAddress, const QString& outside) {
                    if (current(generation))
                        Q_EMIT found(QHostAddress(lanAddress), QHostAddress(outside));
                });
        connect(m_worker, &UpnpWorker::notFound, this, [this](int generation) {
            if (current(generation))
                Q_EMIT notFound();
        });
        connect(m_worker, &UpnpWorker::added, this,
                [this](int generation, quint16 outsidePort, bool permanent) {
                    if (current(generation))
                        Q_EMIT mapped(outsidePort, permanent);
                });
        connect(m_worker, &UpnpWorker::addFailed, this, [this](int generation, int error) {
            if (current(generation))
                Q_EMIT failed(error);
        });
        connect(m_worker, &UpnpWorker::lost, this, [this](int generation) {
            if (current(generation))
                Q_EMIT lost();
        });
        m_thread->start();
    }
    want(++m_lastGeneration);
    Q_EMIT searchRequested(m_generation, gateway.toString());
}

void UpnpClient::add(quint16 port, int lease)
{
    if (!m_thread || m_generation == 0)
        return;
    Q_EMIT addRequested(m_generation, port, lease);
}

void UpnpClient::release()
{
    if (!m_thread)
        return;
    want(0);
    Q_EMIT removeRequested();
}

void UpnpClient::want(int generation)
{
    m_generation = generation;
    m_shared->wanted.store(generation);
}
