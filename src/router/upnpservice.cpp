// SPDX-License-Identifier: MIT
#include "upnpservice.h"

#include "gatewaysearch.h"
#include "routerlog.h"

#include <miniupnpc/igd_desc_parse.h>
#include <miniupnpc/miniupnpc.h>

UpnpService::UpnpService(Kind kind, const QHostAddress& gateway, const QHostAddress& localAddress,
                         QObject* parent)
    : QObject(parent)
    , m_kind(kind)
    , m_gateway(gateway)
    , m_localAddress(localAddress)
{
}

void UpnpService::find()
{
    m_search = new GatewaySearch(m_gateway, m_localAddress, this);
    connect(m_search, &GatewaySearch::located, this, [this](const RouterUrl& description) {
        m_descriptions.append(description);
        if (!m_pending && !m_control)
            describe();
    });
    connect(m_search, &GatewaySearch::finished, this, [this] {
        m_searchOver = true;
        if (!m_pending && !m_control)
            describe();
    });
    m_search->start();
}

// The descriptions the search found, one after the other, until one is the
// gateway's Internet Gateway Device with the service asked for.
void UpnpService::describe()
{
    if (m_devices >= MaxDevices) {
        m_descriptions.clear();
        if (m_search)
            m_search->stop();
        m_searchOver = true;
    }
    if (m_descriptions.isEmpty()) {
        if (m_searchOver)
            Q_EMIT notFound(QStringLiteral("no UPnP-IGD device at the gateway answered"));
        return;
    }
    const RouterUrl url = m_descriptions.takeFirst();
    qCInfo(lcRouter) << "UPnP: fetching the description" << url.hostHeader() + url.path;
    auto* http = new RouterHttp(RouterRequest{url, {}, {}}, AnswerDeadlineMs, this);
    m_pending = http;
    connect(http, &RouterHttp::answered, this, [this, http, url](const RouterHttp::Answer& answer) {
        http->deleteLater();
        m_pending = nullptr;
        if (answer.status == 200) {
            described(url, answer.body);
            return;
        }
        qCInfo(lcRouter) << "UPnP: the description answered HTTP" << answer.status;
        describe();
    });
    connect(http, &RouterHttp::failed, this, [this, http](const QString& why) {
        http->deleteLater();
        m_pending = nullptr;
        qCInfo(lcRouter) << "UPnP: no description:" << why;
        describe();
    });
}

void UpnpService::described(const RouterUrl& description, const QByteArray& xml)
{
    IGDdatas data{};
    parserootdesc(xml.constData(), int(xml.size()), &data);
    const QByteArray descriptionUrl = "http://" + description.hostHeader() + description.path;
    UPNPUrls urls{};
    GetUPNPUrls(&urls, &data, descriptionUrl.constData(), m_gateway.scopeId().toUInt());
    const char* controlUrl = m_kind == Kind::Connection ? urls.controlURL : urls.controlURL_6FC;
    const QByteArray control = controlUrl ? QByteArray(controlUrl) : QByteArray();
    FreeUPNPUrls(&urls);
    const QByteArray serviceType(m_kind == Kind::Connection ? data.first.servicetype
                                                            : data.IPv6FC.servicetype);
    const bool igd =
        data.CIF.servicetype[0] || data.first.servicetype[0] || data.IPv6FC.servicetype[0];
    if (!igd) {
        qCInfo(lcRouter) << "UPnP: the description at" << descriptionUrl
                         << "is no Internet Gateway Device's";
        describe();
        return;
    }
    ++m_devices;
    const bool offered =
        m_kind == Kind::Connection
            ? serviceType.contains("WANIPConnection") || serviceType.contains("WANPPPConnection")
            : serviceType.contains("WANIPv6FirewallControl");
    if (!offered || control.isEmpty()) {
        qCInfo(lcRouter) << "UPnP: the device at" << descriptionUrl << "offers no"
                         << (m_kind == Kind::Connection ? "IGD connection" : "IPv6 firewall");
        describe();
        return;
    }
    // On the host that served the description, which the search found to
    // be the gateway.
    m_control = routerUrl(control, description.host);
    if (!m_control) {
        qCInfo(lcRouter) << "UPnP: ignored a control URL not on the gateway:" << control;
        describe();
        return;
    }
    m_serviceType = serviceType;
    if (m_search) {
        m_search->disconnect(this);
        m_search->stop();
    }
    Q_EMIT found();
}

RouterRequest UpnpService::request(const char* action, const QList<SoapArgument>& arguments) const
{
    return RouterRequest{*m_control, m_serviceType + '#' + action,
                         soapRequestBody(m_serviceType, action, arguments)};
}

void UpnpService::call(const char* action, const QList<SoapArgument>& arguments, Handler handler,
                       NoAnswer noAnswer)
{
    qCInfo(lcRouter) << "UPnP:" << action;
    auto* http = new RouterHttp(request(action, arguments), AnswerDeadlineMs, this);
    m_pending = http;
    connect(http, &RouterHttp::answered, this,
            [this, http, action, handler](const RouterHttp::Answer& reply) {
                http->deleteLater();
                m_pending = nullptr;
                const SoapAnswer answer(reply.status, reply.body, action);
                if (!answer.succeeded())
                    qCInfo(lcRouter) << "UPnP:" << action << "answered" << answer.errorText();
                handler(answer);
            });
    connect(http, &RouterHttp::failed, this, [this, http, action, noAnswer](const QString& why) {
        http->deleteLater();
        m_pending = nullptr;
        qCInfo(lcRouter) << "UPnP:" << action << ':' << why;
        noAnswer(http->refused());
    });
}

void UpnpService::call(const char* action, const QList<SoapArgument>& arguments,
                       const std::function<void()>& then)
{
    call(
        action, arguments, [then](const SoapAnswer&) { then(); }, [then](bool) { then(); });
}

void UpnpService::check(const char* action, const QList<SoapArgument>& arguments,
                        const Stands& stands, QTimer& next, std::chrono::milliseconds every,
                        const std::function<void()>& gone)
{
    if (busy()) {
        next.start(every);
        return;
    }
    call(
        action, arguments,
        [this, stands, &next, every, gone](const SoapAnswer& answer) {
            m_unanswered = 0;
            if (stands(answer) == false)
                gone();
            else
                next.start(every);
        },
        [this, &next, every, gone](bool refused) {
            if (refused || ++m_unanswered >= 2)
                gone();
            else
                next.start(every);
        });
}

void UpnpService::abort()
{
    delete m_search;
    m_search = nullptr;
    delete m_pending;
}
