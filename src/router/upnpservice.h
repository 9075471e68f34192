// SPDX-License-Identifier: MIT
#pragma once

#include "routerhttp.h"
#include "soap.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class GatewaySearch;

// One UPnP-IGD service of the gateway's own device, found and called on the
// event loop: the device is searched for (GatewaySearch), its description
// fetched and SOAP calls made with RouterHttp, bounded in bytes and time,
// and what comes back is read with miniupnpc's parsers. Every URL is
// checked where it will be connected to: only the gateway's.
class UpnpService final : public QObject {
    Q_OBJECT

public:
    enum class Kind {
        Connection, // WANIPConnection or WANPPPConnection: the IPv4 forward
        Firewall6,  // WANIPv6FirewallControl: IPv6 pinholes
    };
    using Handler = std::function<void(const SoapAnswer&)>;
    // Nothing came back in time; `refused` when nothing listens there any
    // more (a server that restarted on another port).
    using NoAnswer = std::function<void(bool refused)>;

    static constexpr int AnswerDeadlineMs = 2000;
    // Descriptions found to be an Internet Gateway Device, none of them with
    // the service asked for: after so many, the gateway has none. One that
    // refuses the connection, or serves what is no IGD's description, does
    // not count (anyone may name such a one from the gateway's address).
    static constexpr int MaxDevices = 3;

    UpnpService(Kind kind, const QHostAddress& gateway, const QHostAddress& localAddress,
                QObject* parent);

    // found() or notFound().
    void find();

    QByteArray serviceType() const { return m_serviceType; }
    bool isFound() const { return m_control.has_value(); }
    // A call is under way: the next waits for it.
    bool busy() const { return m_pending; }

    void call(const char* action, const QList<SoapArgument>& arguments, Handler handler,
              NoAnswer noAnswer);
    // The same, whatever comes back: `then` follows the answer or its absence.
    void call(const char* action, const QList<SoapArgument>& arguments,
              const std::function<void()>& then);
    // One check of a standing opening, after `next` (which starts it again)
    // timed out: `stands` reads from the answer whether the opening still
    // stands (nothing when the router cannot say: asked again at the next
    // check). An answer that says it does not, a refusal, or two checks in a
    // row unanswered, and it is `gone`.
    using Stands = std::function<std::optional<bool>(const SoapAnswer&)>;
    void check(const char* action, const QList<SoapArgument>& arguments, const Stands& stands,
               QTimer& next, std::chrono::milliseconds every, const std::function<void()>& gone);
    // Drops the search and the call under way; no handler is called after it.
    void abort();

Q_SIGNALS:
    void found();
    void notFound(const QString& reason);

private:
    void describe();
    void described(const RouterUrl& description, const QByteArray& xml);
    RouterRequest request(const char* action, const QList<SoapArgument>& arguments) const;

    Kind m_kind;
    QHostAddress m_gateway;
    QHostAddress m_localAddress;
    GatewaySearch* m_search = nullptr;
    QList<RouterUrl> m_descriptions;
    int m_devices = 0; // described, and found to be an IGD
    bool m_searchOver = false;
    QPointer<RouterHttp> m_pending;
    std::optional<RouterUrl> m_control;
    QByteArray m_serviceType;
    int m_unanswered = 0; // checks in a row
};
