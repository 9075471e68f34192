// SPDX-License-Identifier: MIT
#pragma once

#include "routerattempt.h"
#include "routerhttp.h"
#include "soap.h"

#include <QList>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <initializer_list>
#include <optional>

class GatewaySearch;

// UPnP-IGD on the event loop: the gateway's device is searched for
// (GatewaySearch), its description fetched and SOAP calls made with
// RouterHttp, bounded in bytes and time, and what comes back is read with
// miniupnpc's parsers. Only the gateway's own device is used: every URL is
// checked where it will be connected to. A standing forward is renewed at
// half its lease and looked up every Timing::check; a router that no longer
// has it has lost it.
class UpnpAttempt final : public RouterAttempt {
    Q_OBJECT

public:
    static constexpr int AnswerDeadlineMs = 2000;
    // When the attempt is deleted while a forward stands, or is being made:
    // how long the router is given to remove it.
    static constexpr int RemovalWaitMs = 500;
    // An outside port another machine holds, on a router that offers no
    // other (IGD version 1): so many ports from the game's are tried in turn.
    static constexpr int PortsTried = 10;

    UpnpAttempt(const QHostAddress& gateway, const QHostAddress& localAddress, quint16 port,
                const Timing& timing, QObject* parent);
    ~UpnpAttempt() override;

    const char* protocolName() const override { return "UPnP-IGD"; }
    void find() override;
    void map() override;
    void release() override;

private:
    using Handler = std::function<void(const SoapAnswer&)>;
    struct Forward {
        quint16 outsidePort = 0;
        QByteArray lease;
    };

    void describe();
    void described(const RouterUrl& description, const QByteArray& xml);
    void askOutsideAddress();
    void askStatus();
    void addAnyPort();
    void addPort(quint16 outsidePort, int tried);
    void addedAt(quint16 outsidePort);
    void renew();
    void check();
    void forgetForward();
    void refuse(const SoapAnswer& answer, const char* action);
    void call(const char* action, std::initializer_list<SoapArgument> arguments,
              Handler handler, std::function<void(bool refused)> noAnswer = {});
    RouterRequest deleteRequest() const;
    void finish();

    QHostAddress m_gateway;
    QHostAddress m_localAddress;
    quint16 m_port;
    Timing m_timing;
    GatewaySearch* m_search = nullptr;
    QList<RouterUrl> m_descriptions;
    bool m_searchOver = false;
    bool m_describing = false;
    QPointer<RouterHttp> m_pending;
    std::optional<RouterUrl> m_control;
    QByteArray m_serviceType;
    bool m_offersAnyPort = false;
    QHostAddress m_outside;
    QByteArray m_lease;
    // A forward the router confirmed, or one being asked for.
    std::optional<Forward> m_forward;
    int m_unanswered = 0; // checks in a row
    QTimer m_renew;
    QTimer m_check;
    bool m_released = false;
};
