// SPDX-License-Identifier: MIT
#include "pinholeattempt.h"

#include "outsideaddress.h"
#include "routerlog.h"
#include "upnpservice.h"

#include <QScopeGuard>

namespace {

constexpr const char* Tcp = "6"; // the IP header's number

} // namespace

PinholeAttempt::PinholeAttempt(const QHostAddress& gateway, const QHostAddress& localAddress,
                               quint16 port, const Timing& timing, QObject* parent)
    : RouterAttempt(parent)
    , m_localAddress(localAddress)
    , m_port(port)
    , m_timing(timing)
    , m_service(new UpnpService(UpnpService::Kind::Firewall6, gateway, localAddress, this))
    , m_lease(QByteArray::number(qint64(timing.lease.count())))
{
    connect(&m_update, &QTimer::timeout, this, &PinholeAttempt::update);
    // The outside address of a pinhole is this machine's own.
    connect(m_service, &UpnpService::found, this, [this] { Q_EMIT found(m_localAddress); });
    connect(m_service, &UpnpService::notFound, this,
            [this](const QString& reason) { Q_EMIT failed(Failure::NoAnswer, reason); });
}

void PinholeAttempt::find()
{
    m_service->find();
}

// First whether the firewall is on at all: a router whose IPv6 firewall is
// off lets anyone reach this machine's address, and opens no pinhole
// (AddPinhole answers FirewallDisabled). A router that cannot say is asked
// for the pinhole all the same.
void PinholeAttempt::map()
{
    m_service->call(
        "GetFirewallStatus", {},
        [this](const SoapAnswer& answer) {
            if (answer.isBad()) {
                Q_EMIT failed(Failure::BadAnswer, answer.errorText());
                return;
            }
            const QByteArray enabled = answer.value("FirewallEnabled");
            if (answer.succeeded() && enabled == "0") {
                qCInfo(lcRouter) << "UPnP: the router's IPv6 firewall is off:"
                                 << m_localAddress.toString() << "is reachable without a pinhole";
                m_firewallOff = true;
                m_update.start(m_timing.check);
                Q_EMIT mapped(m_localAddress, m_port);
                return;
            }
            if (answer.succeeded() && enabled == "1" &&
                answer.value("InboundPinholeAllowed") == "0") {
                Q_EMIT failed(Failure::Refused,
                              QStringLiteral("the router's IPv6 firewall allows no pinholes"));
                return;
            }
            addPinhole();
        },
        [this](bool) { addPinhole(); });
}

// An empty remote host and port 0: anyone may connect. Released while the
// router is asked, the attempt waits for the answer, which names the pinhole
// the router may have made meanwhile, and deletes it.
void PinholeAttempt::addPinhole()
{
    m_adding = true;
    const auto settled = [this] {
        m_adding = false;
        if (released())
            removeAndGo();
    };
    m_service->call(
        "AddPinhole",
        {{"RemoteHost", {}},
         {"RemotePort", "0"},
         {"Protocol", Tcp},
         {"InternalPort", QByteArray::number(m_port)},
         {"InternalClient", m_localAddress.toString().toLatin1()},
         {"LeaseTime", m_lease}},
        [this, settled](const SoapAnswer& answer) {
            const auto settle = qScopeGuard(settled);
            if (answer.isBad()) {
                Q_EMIT failed(Failure::BadAnswer, answer.errorText());
                return;
            }
            if (!answer.succeeded()) {
                Q_EMIT failed(Failure::Refused,
                              QStringLiteral("AddPinhole: %1").arg(answer.errorText()));
                return;
            }
            // A number the router gives back as it was given: 0 to 65535.
            const QByteArray id = answer.value("UniqueID");
            if (id.isEmpty() || (parsePort(id) == 0 && id != "0")) {
                // IGD 2 names a pinhole by its UniqueID alone: no call finds
                // it by what it opens, so it can be neither renewed nor
                // deleted, and stays until its lease runs out.
                qCWarning(lcRouter).noquote()
                    << "UPnP: the router opened a pinhole for TCP port" << m_port << "on"
                    << m_localAddress.toString() << "but named it"
                    << id.left(64).toPercentEncoding()
                    << "which is no pinhole's UniqueID: it cannot be deleted, and stays open "
                       "until its lease of"
                    << m_lease << "s runs out";
                Q_EMIT failed(Failure::BadAnswer,
                              QStringLiteral("AddPinhole answered no pinhole's name"));
                return;
            }
            m_uniqueId = id;
            qCInfo(lcRouter) << "UPnP: pinhole" << id << "open for TCP port" << m_port << "on"
                             << m_localAddress.toString();
            m_update.start(m_timing.check);
            Q_EMIT mapped(m_localAddress, m_port);
        },
        [this, settled](bool) {
            const auto settle = qScopeGuard(settled);
            Q_EMIT failed(Failure::NoAnswer, QStringLiteral("no answer to AddPinhole"));
        });
}

// A renewal each check: the answer also says whether the router still has
// the pinhole (a restarted router has not, or no longer listens where it
// did). With the firewall off, each check asks whether it still is: once it
// is on again, a pinhole is asked for.
void PinholeAttempt::update()
{
    const auto close = [this] {
        m_uniqueId.clear();
        qCInfo(lcRouter) << (m_firewallOff ? "UPnP: the router's IPv6 firewall is no longer off"
                                           : "UPnP: the router no longer has the pinhole");
        Q_EMIT lost();
    };
    if (m_firewallOff) {
        m_service->check(
            "GetFirewallStatus", {},
            [](const SoapAnswer& answer) {
                return answer.succeeded() && answer.value("FirewallEnabled") == "0";
            },
            m_update, m_timing.check, close);
        return;
    }
    m_service->check(
        "UpdatePinhole", {{"UniqueID", m_uniqueId}, {"NewLeaseTime", m_lease}},
        [](const SoapAnswer& answer) { return answer.succeeded(); }, m_update, m_timing.check,
        close);
}

void PinholeAttempt::remove()
{
    if (m_adding) {
        qCInfo(lcRouter) << "UPnP: the pinhole is deleted once the router says which it made";
        return;
    }
    m_service->abort();
    removeAndGo();
}

void PinholeAttempt::removeAndGo()
{
    m_update.stop();
    if (m_uniqueId.isEmpty()) {
        deleteLater();
        return;
    }
    qCInfo(lcRouter) << "UPnP: deleting pinhole" << m_uniqueId;
    m_service->call("DeletePinhole", {{"UniqueID", m_uniqueId}}, [this] { deleteLater(); });
}
