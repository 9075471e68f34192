// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTimer>

#include <miniupnpc/miniupnpc.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

// The blocking side of UPnP-IGD: miniupnpc's calls, made in a thread of
// their own (UpnpClient starts it), one request at a time in the order
// asked. A search waits the whole discovery delay and each SOAP call may
// take seconds, so nothing here runs on the user interface's thread.
//
// Every request carries the generation it was asked for; Shared::wanted is
// the one still wanted, so a search or a forward no longer wanted is not made.
class UpnpWorker final : public QObject {
    Q_OBJECT

public:
    // What both threads see.
    struct Shared {
        std::atomic<int> wanted{0};
        // A forward stands, or is being made: set before `wanted` is read.
        std::atomic<bool> forwarding{false};
    };

    static constexpr int DiscoveryDelayMs = 1000;
    // An external port another machine holds on a router that cannot offer
    // one (IGD version 1): so many ports after it are tried in turn.
    static constexpr int PortsTried = 10;

    explicit UpnpWorker(std::shared_ptr<Shared> shared);
    ~UpnpWorker() override;

    // Finds the gateway's Internet Gateway Device and asks its outside address.
    void search(int generation, const QString& gateway);
    // Forwards `port` on the outside to `port` of this machine, for `lease`
    // seconds, renewed at half of it; the device found last is asked.
    void add(int generation, quint16 port, int lease);
    // Removes the forward, if one stands.
    void remove();
    // remove(), then ends the thread.
    void finish();

Q_SIGNALS:
    void found(int generation, const QString& lanAddress, const QString& outsideAddress);
    void notFound(int generation);
    void added(int generation, quint16 outsidePort, bool permanent);
    void addFailed(int generation, int error);
    // A renewal failed: the forward is gone.
    void lost(int generation);

private:
    struct Forward {
        int generation = 0;
        std::string controlUrl;
        std::string serviceType;
        std::string outsidePort;
        std::string port;
        std::string client;
        std::string lease; // "0": permanent, not renewed
    };

    bool wanted(int generation) const { return m_shared->wanted.load() == generation; }
    void settle() { m_shared->forwarding.store(m_forward.has_value()); }
    void forget();
    int addForward(Forward& forward, bool offerAnyPort);
    void renew();

    std::shared_ptr<Shared> m_shared;
    std::optional<UPNPUrls> m_urls;
    IGDdatas m_data{};
    std::string m_lanAddress;
    std::optional<Forward> m_forward;
    QTimer m_renew;
};
