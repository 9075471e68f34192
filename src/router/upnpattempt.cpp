// SPDX-License-Identifier: MIT
#include "upnpattempt.h"

#include "gatewaysearch.h"
#include "outsideaddress.h"
#include "routerlog.h"

#include <miniupnpc/igd_desc_parse.h>
#include <miniupnpc/miniupnpc.h>

namespace {

constexpr const char* Description = "Korvaloop";
constexpr const char* Permanent = "0";

// UPnP errors the forward is asked around.
constexpr int InvalidAction = 401;
constexpr int OptionalActionNotImplemented = 602;
constexpr int NoSuchEntryInArray = 714;
constexpr int ConflictInMappingEntry = 718;
constexpr int OnlyPermanentLeasesSupported = 725;

QByteArray number(quint16 port)
{
    return QByteArray::number(port);
}

quint16 nextPort(quint16 port)
{
    return port == 65535 ? 1024 : quint16(port + 1);
}

} // namespace

UpnpAttempt::UpnpAttempt(const QHostAddress& gateway, const QHostAddress& localAddress,
                         quint16 port, const Timing& timing, QObject* parent)
    : RouterAttempt(parent)
    , m_gateway(gateway)
    , m_localAddress(localAddress)
    , m_port(port)
    , m_timing(timing)
    , m_lease(QByteArray::number(qint64(timing.lease.count())))
{
    m_renew.setSingleShot(true);
    m_check.setSingleShot(true);
    connect(&m_renew, &QTimer::timeout, this, &UpnpAttempt::renew);
    connect(&m_check, &QTimer::timeout, this, &UpnpAttempt::check);
}

// The game is ending with a forward on the router, or one being made: the
// router is given a moment to remove it.
UpnpAttempt::~UpnpAttempt()
{
    if (!m_forward || !m_control)
        return;
    const bool removed = RouterHttp::exchangeNow(deleteRequest(), RemovalWaitMs).has_value();
    qCInfo(lcRouter) << "UPnP: forward of outside port" << m_forward->outsidePort
                     << (removed ? "removed on the way out" : "not confirmed removed");
}

void UpnpAttempt::find()
{
    m_search = new GatewaySearch(m_gateway, m_localAddress, this);
    connect(m_search, &GatewaySearch::located, this, [this](const RouterUrl& description) {
        m_descriptions.append(description);
        if (!m_describing && !m_control)
            describe();
    });
    connect(m_search, &GatewaySearch::finished, this, [this] {
        m_searchOver = true;
        if (!m_describing && !m_control)
            describe();
    });
    m_search->start();
}

// The descriptions the search found, one after the other, until one is the
// gateway's Internet Gateway Device.
void UpnpAttempt::describe()
{
    if (m_descriptions.isEmpty()) {
        if (m_searchOver)
            Q_EMIT failed(Failure::NoAnswer,
                          QStringLiteral("no UPnP-IGD device at the gateway answered"));
        return;
    }
    const RouterUrl url = m_descriptions.takeFirst();
    qCInfo(lcRouter) << "UPnP: fetching the description" << url.hostHeader() + url.path;
    auto* http = new RouterHttp(RouterRequest{url, {}, {}}, AnswerDeadlineMs, this);
    m_pending = http;
    m_describing = true;
    connect(http, &RouterHttp::answered, this, [this, http, url](const RouterHttp::Answer& answer) {
        http->deleteLater();
        m_pending = nullptr;
        m_describing = false;
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
        m_describing = false;
        qCInfo(lcRouter) << "UPnP: no description:" << why;
        describe();
    });
}

void UpnpAttempt::described(const RouterUrl& description, const QByteArray& xml)
{
    IGDdatas data{};
    parserootdesc(xml.constData(), int(xml.size()), &data);
    const QByteArray descriptionUrl = "http://" + description.hostHeader() + description.path;
    UPNPUrls urls{};
    GetUPNPUrls(&urls, &data, descriptionUrl.constData(), m_gateway.scopeId().toUInt());
    const QByteArray control = urls.controlURL ? QByteArray(urls.controlURL) : QByteArray();
    FreeUPNPUrls(&urls);
    const QByteArray serviceType(data.first.servicetype);
    if (!serviceType.contains("WANIPConnection") && !serviceType.contains("WANPPPConnection")) {
        qCInfo(lcRouter) << "UPnP: the device at" << descriptionUrl << "is no IGD";
        describe();
        return;
    }
    m_control = routerUrl(control, m_gateway);
    if (!m_control) {
        qCInfo(lcRouter) << "UPnP: ignored a control URL not on the gateway:" << control;
        describe();
        return;
    }
    m_serviceType = serviceType;
    m_offersAnyPort = serviceType.contains("WANIPConnection:2");
    if (m_search)
        m_search->disconnect(this);
    askOutsideAddress();
}

void UpnpAttempt::askOutsideAddress()
{
    call("GetExternalIPAddress", {}, [this](const SoapAnswer& answer) {
        const QByteArray text = answer.value("NewExternalIPAddress");
        const QHostAddress outside = answer.succeeded() ? parseOutsideAddress(text) : QHostAddress();
        if (outside.isNull()) {
            qCInfo(lcRouter) << "UPnP: no outside address in" << text;
            askStatus();
            return;
        }
        m_outside = outside;
        Q_EMIT found(outside);
    });
}

// A router without an outside address it would tell may say that it is
// not connected, as one does whose own is private.
void UpnpAttempt::askStatus()
{
    call("GetStatusInfo", {}, [this](const SoapAnswer& answer) {
        const QByteArray status = answer.value("NewConnectionStatus");
        if (answer.succeeded() && status == "Connected") {
            Q_EMIT found(QHostAddress());
            return;
        }
        Q_EMIT failed(Failure::NotConnected,
                      QStringLiteral("the router says it is not connected (%1)")
                          .arg(QString::fromLatin1(status.left(32))));
    });
}

void UpnpAttempt::map()
{
    if (m_offersAnyPort)
        addAnyPort();
    else
        addPort(m_port, 0);
}

// IGD version 2 offers a free outside port when the game's is taken. A
// router that says version 2 but lacks the call, or holds the port and
// offers none, is asked the version 1 way.
void UpnpAttempt::addAnyPort()
{
    m_forward = Forward{m_port, m_lease};
    call("AddAnyPortMapping",
         {{"NewRemoteHost", {}},
          {"NewExternalPort", number(m_port)},
          {"NewProtocol", "TCP"},
          {"NewInternalPort", number(m_port)},
          {"NewInternalClient", m_localAddress.toString().toLatin1()},
          {"NewEnabled", "1"},
          {"NewPortMappingDescription", Description},
          {"NewLeaseDuration", m_lease}},
         [this](const SoapAnswer& answer) {
             if (answer.succeeded()) {
                 const QByteArray offered = answer.value("NewReservedPort");
                 if (const quint16 port = parsePort(offered)) {
                     addedAt(port);
                     return;
                 }
                 qCInfo(lcRouter) << "UPnP: the router offered" << offered
                                  << "as the outside port, which is none: asked again the "
                                     "version 1 way";
                 addPort(m_port, 0);
                 return;
             }
             m_forward.reset();
             switch (answer.error()) {
             case OnlyPermanentLeasesSupported:
                 if (m_lease != Permanent) {
                     m_lease = Permanent;
                     addAnyPort();
                     return;
                 }
                 break;
             case InvalidAction:
             case OptionalActionNotImplemented:
             case ConflictInMappingEntry:
                 addPort(m_port, 0);
                 return;
             }
             refuse(answer, "AddAnyPortMapping");
         });
}

void UpnpAttempt::addPort(quint16 outsidePort, int tried)
{
    m_forward = Forward{outsidePort, m_lease};
    call("AddPortMapping",
         {{"NewRemoteHost", {}},
          {"NewExternalPort", number(outsidePort)},
          {"NewProtocol", "TCP"},
          {"NewInternalPort", number(m_port)},
          {"NewInternalClient", m_localAddress.toString().toLatin1()},
          {"NewEnabled", "1"},
          {"NewPortMappingDescription", Description},
          {"NewLeaseDuration", m_lease}},
         [this, outsidePort, tried](const SoapAnswer& answer) {
             if (answer.succeeded()) {
                 addedAt(outsidePort);
                 return;
             }
             m_forward.reset();
             // A router that keeps forwards only until it is told otherwise
             // gets one: removal is then the only end it has.
             if (answer.error() == OnlyPermanentLeasesSupported && m_lease != Permanent) {
                 m_lease = Permanent;
                 addPort(outsidePort, tried);
                 return;
             }
             if (answer.error() == ConflictInMappingEntry && tried + 1 < PortsTried) {
                 addPort(nextPort(outsidePort), tried + 1);
                 return;
             }
             refuse(answer, "AddPortMapping");
         });
}

void UpnpAttempt::addedAt(quint16 outsidePort)
{
    m_forward = Forward{outsidePort, m_lease};
    qCInfo(lcRouter) << "UPnP: forwarded outside port" << outsidePort << "for" << m_lease << "s";
    if (m_lease != Permanent)
        m_renew.start(std::chrono::seconds(m_lease.toLongLong() / 2));
    m_check.start(m_timing.check);
    Q_EMIT mapped(m_outside, outsidePort);
}

void UpnpAttempt::renew()
{
    if (!m_forward)
        return;
    if (m_pending) { // a check under way: right after it
        m_renew.start(AnswerDeadlineMs);
        return;
    }
    const Forward forward = *m_forward;
    call(
        "AddPortMapping",
        {{"NewRemoteHost", {}},
         {"NewExternalPort", number(forward.outsidePort)},
         {"NewProtocol", "TCP"},
         {"NewInternalPort", number(m_port)},
         {"NewInternalClient", m_localAddress.toString().toLatin1()},
         {"NewEnabled", "1"},
         {"NewPortMappingDescription", Description},
         {"NewLeaseDuration", forward.lease}},
        [this, forward](const SoapAnswer& answer) {
            if (answer.succeeded()) {
                m_renew.start(std::chrono::seconds(forward.lease.toLongLong() / 2));
                return;
            }
            m_forward.reset();
            Q_EMIT lost();
        },
        [this](bool) { m_renew.start(m_timing.check); });
}

// One request a check: does the router still forward the port here? A
// router whose server is no longer where it was has restarted; one that
// does not answer twice in a row is taken for gone too.
void UpnpAttempt::check()
{
    if (!m_forward)
        return;
    if (m_pending) {
        m_check.start(m_timing.check);
        return;
    }
    call(
        "GetSpecificPortMappingEntry",
        {{"NewRemoteHost", {}},
         {"NewExternalPort", number(m_forward->outsidePort)},
         {"NewProtocol", "TCP"}},
        [this](const SoapAnswer& answer) {
            m_check.start(m_timing.check);
            m_unanswered = 0;
            if (answer.succeeded()) {
                const bool ours =
                    parseOutsideAddress(answer.value("NewInternalClient")) == m_localAddress &&
                    parsePort(answer.value("NewInternalPort")) == m_port;
                if (ours)
                    return;
                qCInfo(lcRouter) << "UPnP: the router forwards the port elsewhere now";
            } else if (answer.error() != NoSuchEntryInArray) {
                return; // a router that cannot say: asked again at the next check
            }
            forgetForward();
        },
        [this](bool refused) {
            if (refused || ++m_unanswered >= 2) {
                forgetForward();
                return;
            }
            m_check.start(m_timing.check);
        });
}

void UpnpAttempt::forgetForward()
{
    m_check.stop();
    m_renew.stop();
    m_forward.reset();
    qCInfo(lcRouter) << "UPnP: the router no longer has the forward";
    Q_EMIT lost();
}

void UpnpAttempt::refuse(const SoapAnswer& answer, const char* action)
{
    Q_EMIT failed(Failure::Refused,
                  QStringLiteral("%1: %2").arg(QLatin1String(action), answer.errorText()));
}

void UpnpAttempt::call(const char* action, std::initializer_list<SoapArgument> arguments,
                       Handler handler, std::function<void(bool refused)> noAnswer)
{
    const QByteArray soapAction = m_serviceType + '#' + action;
    qCInfo(lcRouter) << "UPnP:" << action;
    auto* http = new RouterHttp(
        RouterRequest{*m_control, soapAction, soapRequestBody(m_serviceType, action, arguments)},
        AnswerDeadlineMs, this);
    m_pending = http;
    connect(http, &RouterHttp::answered, this,
            [this, http, action, handler](const RouterHttp::Answer& reply) {
                http->deleteLater();
                m_pending = nullptr;
                const SoapAnswer answer(reply.status, reply.body);
                if (!answer.succeeded())
                    qCInfo(lcRouter) << "UPnP:" << action << "answered" << answer.errorText();
                handler(answer);
            });
    connect(http, &RouterHttp::failed, this,
            [this, http, action, noAnswer](const QString& why) {
                http->deleteLater();
                m_pending = nullptr;
                qCInfo(lcRouter) << "UPnP:" << action << ':' << why;
                if (noAnswer)
                    noAnswer(http->refused());
                else
                    Q_EMIT failed(Failure::NoAnswer, QStringLiteral("%1: %2").arg(
                                                         QLatin1String(action), why));
            });
}

RouterRequest UpnpAttempt::deleteRequest() const
{
    return RouterRequest{*m_control, m_serviceType + "#DeletePortMapping",
                         soapRequestBody(m_serviceType, "DeletePortMapping",
                                         {{"NewRemoteHost", {}},
                                          {"NewExternalPort", number(m_forward->outsidePort)},
                                          {"NewProtocol", "TCP"}})};
}

void UpnpAttempt::release()
{
    if (m_released)
        return;
    m_released = true;
    blockSignals(true);
    m_renew.stop();
    m_check.stop();
    delete m_search;
    m_search = nullptr;
    delete m_pending;
    if (!m_forward || !m_control) {
        finish();
        return;
    }
    qCInfo(lcRouter) << "UPnP: removing the forward of outside port" << m_forward->outsidePort;
    auto* http = new RouterHttp(deleteRequest(), AnswerDeadlineMs, this);
    const auto removed = [this, http] {
        http->deleteLater();
        m_forward.reset();
        finish();
    };
    connect(http, &RouterHttp::answered, this, removed);
    connect(http, &RouterHttp::failed, this, removed);
}

void UpnpAttempt::finish()
{
    deleteLater();
}
