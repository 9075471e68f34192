// SPDX-License-Identifier: MIT
#include "upnpattempt.h"

#include "outsideaddress.h"
#include "routerlog.h"
#include "upnpservice.h"

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
    , m_localAddress(localAddress)
    , m_port(port)
    , m_timing(timing)
    , m_service(new UpnpService(UpnpService::Kind::Connection, gateway, localAddress, this))
    , m_lease(QByteArray::number(qint64(timing.lease.count())))
{
    connect(m_service, &UpnpService::found, this, &UpnpAttempt::askOutsideAddress);
    connect(m_service, &UpnpService::notFound, this,
            [this](const QString& reason) { Q_EMIT failed(Failure::NoAnswer, reason); });
    connect(&m_renew, &QTimer::timeout, this, &UpnpAttempt::renew);
    connect(&m_check, &QTimer::timeout, this, &UpnpAttempt::check);
}

// AddPortMapping's, and AddAnyPortMapping's: the game's port on this
// machine, from `outsidePort` on the router's outside address, for anyone.
QList<SoapArgument> UpnpAttempt::forwardArguments(quint16 outsidePort,
                                                  const QByteArray& lease) const
{
    return {{"NewRemoteHost", {}},
            {"NewExternalPort", number(outsidePort)},
            {"NewProtocol", "TCP"},
            {"NewInternalPort", number(m_port)},
            {"NewInternalClient", m_localAddress.toString().toLatin1()},
            {"NewEnabled", "1"},
            {"NewPortMappingDescription", Description},
            {"NewLeaseDuration", lease}};
}

void UpnpAttempt::find()
{
    m_service->find();
}

void UpnpAttempt::askOutsideAddress()
{
    m_service->call(
        "GetExternalIPAddress", {},
        [this](const SoapAnswer& answer) {
            if (gaveBadAnswer(answer))
                return;
            const QByteArray text = answer.value("NewExternalIPAddress");
            const QHostAddress outside =
                answer.succeeded() ? parseOutsideAddress(text) : QHostAddress();
            if (outside.isNull()) {
                qCInfo(lcRouter) << "UPnP: no outside address in" << text;
                askStatus();
                return;
            }
            m_outside = outside;
            Q_EMIT found(outside);
        },
        [this](bool) { noAnswerTo("GetExternalIPAddress"); });
}

// A router without an outside address it would tell may say that it is
// not connected, as one does whose own is private.
void UpnpAttempt::askStatus()
{
    m_service->call(
        "GetStatusInfo", {},
        [this](const SoapAnswer& answer) {
            if (gaveBadAnswer(answer))
                return;
            const QByteArray status = answer.value("NewConnectionStatus");
            if (answer.succeeded() && status == "Connected") {
                Q_EMIT found(QHostAddress());
                return;
            }
            Q_EMIT failed(Failure::NotConnected,
                          QStringLiteral("the router says it is not connected (%1)")
                              .arg(QString::fromLatin1(status.left(32))));
        },
        [this](bool) { noAnswerTo("GetStatusInfo"); });
}

void UpnpAttempt::map()
{
    if (m_service->serviceType().contains("WANIPConnection:2"))
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
    m_service->call(
        "AddAnyPortMapping", forwardArguments(m_port, m_lease),
        [this](const SoapAnswer& answer) {
            if (gaveBadAnswer(answer))
                return;
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
        },
        [this](bool) { noAnswerTo("AddAnyPortMapping"); });
}

void UpnpAttempt::addPort(quint16 outsidePort, int tried)
{
    m_forward = Forward{outsidePort, m_lease};
    m_service->call(
        "AddPortMapping", forwardArguments(outsidePort, m_lease),
        [this, outsidePort, tried](const SoapAnswer& answer) {
            if (gaveBadAnswer(answer))
                return;
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
        },
        [this](bool) { noAnswerTo("AddPortMapping"); });
}

void UpnpAttempt::addedAt(quint16 outsidePort)
{
    m_forward = Forward{outsidePort, m_lease};
    qCInfo(lcRouter) << "UPnP: forwarded outside port" << outsidePort << "for" << m_lease << "s";
    if (m_lease != Permanent)
        renewAtHalfLife(m_lease);
    m_check.start(m_timing.check);
    Q_EMIT mapped(m_outside, outsidePort);
}

void UpnpAttempt::renewAtHalfLife(const QByteArray& lease)
{
    m_renew.start(std::max(std::chrono::seconds(lease.toLongLong() / 2), m_timing.shortestRenewal));
}

void UpnpAttempt::renew()
{
    if (!m_forward)
        return;
    if (m_service->busy()) { // a check under way: right after it
        m_renew.start(UpnpService::AnswerDeadlineMs);
        return;
    }
    const Forward forward = *m_forward;
    m_service->call(
        "AddPortMapping", forwardArguments(forward.outsidePort, forward.lease),
        [this, forward](const SoapAnswer& answer) {
            if (answer.succeeded()) {
                renewAtHalfLife(forward.lease);
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
    m_service->check(
        "GetSpecificPortMappingEntry",
        {{"NewRemoteHost", {}},
         {"NewExternalPort", number(m_forward->outsidePort)},
         {"NewProtocol", "TCP"}},
        [this](const SoapAnswer& answer) -> std::optional<bool> {
            if (answer.succeeded()) {
                const bool ours =
                    parseOutsideAddress(answer.value("NewInternalClient")) == m_localAddress &&
                    parsePort(answer.value("NewInternalPort")) == m_port;
                if (!ours)
                    qCInfo(lcRouter) << "UPnP: the router forwards the port elsewhere now";
                return ours;
            }
            if (answer.error() != NoSuchEntryInArray)
                return std::nullopt; // a router that cannot say
            return false;
        },
        m_check, m_timing.check, [this] { forgetForward(); });
}

void UpnpAttempt::forgetForward()
{
    m_check.stop();
    m_renew.stop();
    m_forward.reset();
    qCInfo(lcRouter) << "UPnP: the router no longer has the forward";
    Q_EMIT lost();
}

// A 200 that is no answer to the call, which a router that did what it was
// asked never sends: nothing of it is believed, and the attempt ends (a
// forward it may have made all the same is removed with it).
bool UpnpAttempt::gaveBadAnswer(const SoapAnswer& answer)
{
    if (!answer.isBad())
        return false;
    Q_EMIT failed(Failure::BadAnswer, answer.errorText());
    return true;
}

void UpnpAttempt::refuse(const SoapAnswer& answer, const char* action)
{
    Q_EMIT failed(Failure::Refused,
                  QStringLiteral("%1: %2").arg(QLatin1String(action), answer.errorText()));
}

// A call of the first steps that gets no answer ends the attempt.
void UpnpAttempt::noAnswerTo(const char* action)
{
    Q_EMIT failed(Failure::NoAnswer, QStringLiteral("no answer to %1").arg(QLatin1String(action)));
}

void UpnpAttempt::remove()
{
    m_renew.stop();
    m_check.stop();
    m_service->abort();
    if (!m_forward || !m_service->isFound()) {
        deleteLater();
        return;
    }
    qCInfo(lcRouter) << "UPnP: removing the forward of outside port" << m_forward->outsidePort;
    m_service->call("DeletePortMapping",
                    {{"NewRemoteHost", {}},
                     {"NewExternalPort", number(m_forward->outsidePort)},
                     {"NewProtocol", "TCP"}},
                    [this] { deleteLater(); });
}
