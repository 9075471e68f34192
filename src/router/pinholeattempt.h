// SPDX-License-Identifier: MIT
#pragma once

#include "routerattempt.h"

#include <QByteArray>
#include <QList>
#include <QTimer>

class SoapAnswer;
class UpnpService;
struct SoapArgument;

// The IPv6 pinhole asked for through UPnP IGD 2's WANIPv6FirewallControl
// (UpnpService), over IPv6 from the address it opens, as a router in secure
// mode wants: AddPinhole for anyone's connections to the game's TCP port on
// this machine, UpdatePinhole at every Timing::check (a renewal, and the
// check that the router still has it), DeletePinhole at the end. A router
// whose IPv6 firewall is off (GetFirewallStatus) needs no pinhole: the
// address is reachable as it is, mapped() says so, and each check asks
// whether the firewall is still off.
class PinholeAttempt final : public RouterAttempt {
    Q_OBJECT

public:
    PinholeAttempt(const QHostAddress& gateway, const QHostAddress& localAddress, quint16 port,
                   const Timing& timing, QObject* parent);

    const char* protocolName() const override { return "UPnP-IGD IPv6 firewall"; }
    void find() override;
    void map() override;

private:
    void remove() override;
    void addPinhole();
    void update();
    void removeAndGo();

    QHostAddress m_localAddress;
    quint16 m_port;
    Timing m_timing;
    UpnpService* m_service;
    QByteArray m_lease;
    QByteArray m_uniqueId; // the router's name for the pinhole, once open
    bool m_firewallOff = false;
    OneShot m_update{this};
    bool m_adding = false; // AddPinhole is asked, and not yet answered
};
