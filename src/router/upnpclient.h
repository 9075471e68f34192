// SPDX-License-Identifier: MIT
#pragma once

#include "upnpworker.h"

#include <QHostAddress>
#include <QObject>

#include <memory>

class QThread;

// The user interface's side of UPnP-IGD: asks UpnpWorker, in its own thread,
// through queued signals and hears its answers the same way, so no call here
// waits on the network. Only the answers to the latest search are passed on.
class UpnpClient final : public QObject {
    Q_OBJECT

public:
    // How long destruction waits for a forward that stands or is being made
    // to be removed; a search alone is not waited for.
    static constexpr int RemovalWaitMs = 500;

    explicit UpnpClient(QObject* parent = nullptr);
    ~UpnpClient() override;

    // The thread starts with the first search: until then nothing runs.
    void search(const QHostAddress& gateway);
    void add(quint16 port, int lease);
    // Forgets the search and removes the forward if one was made; returns
    // at once.
    void release();

Q_SIGNALS:
    void found(const QHostAddress& lanAddress, const QHostAddress& outsideAddress);
    void notFound();
    void mapped(quint16 outsidePort, bool permanent);
    void failed(int error);
    void lost();

    // To the worker.
    void searchRequested(int generation, const QString& gateway);
    void addRequested(int generation, quint16 port, int lease);
    void removeRequested();
    void finishRequested();

private:
    bool current(int generation) const { return generation == m_generation && m_generation != 0; }
    void want(int generation);

    QThread* m_thread = nullptr;
    UpnpWorker* m_worker = nullptr;
    std::shared_ptr<UpnpWorker::Shared> m_shared = std::make_shared<UpnpWorker::Shared>();
    int m_generation = 0;
    int m_lastGeneration = 0;
};
