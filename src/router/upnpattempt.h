// SPDX-License-Identifier: MIT
#pragma once

#include "routerattempt.h"

#include <QList>
#include <QTimer>

#include <optional>

class SoapAnswer;
struct SoapArgument;
class UpnpService;

// UPnP-IGD's forward of the game's port, through the gateway's
// WANIPConnection (UpnpService). A standing forward is renewed at half its
// lease and looked up every Timing::check; a router that no longer has it,
// or whose server is no longer where it was, has lost it.
class UpnpAttempt final : public RouterAttempt {
    Q_OBJECT

public:
    // An outside port another machine holds, on a router that offers no
    // other (IGD version 1): so many ports from the game's are tried in turn.
    static constexpr int PortsTried = 10;

    UpnpAttempt(const QHostAddress& gateway, const QHostAddress& localAddress, quint16 port,
                const Timing& timing, QObject* parent);

    const char* protocolName() const override { return "UPnP-IGD"; }
    void find() override;
    void map() override;

private:
    void remove() override;
    struct Forward {
        quint16 outsidePort = 0;
        QByteArray lease;
    };

    QList<SoapArgument> forwardArguments(quint16 outsidePort, const QByteArray& lease) const;
    void askOutsideAddress();
    void askStatus();
    void addAnyPort();
    void addPort(quint16 outsidePort, int tried);
    void addedAt(quint16 outsidePort);
    void renewAtHalfLife(const QByteArray& lease);
    void renew();
    void check();
    void forgetForward();
    bool gaveBadAnswer(const SoapAnswer& answer);
    void refuse(const SoapAnswer& answer, const char* action);
    void noAnswerTo(const char* action);

    QHostAddress m_localAddress;
    quint16 m_port;
    Timing m_timing;
    UpnpService* m_service;
    QHostAddress m_outside;
    QByteArray m_lease;
    // A forward the router confirmed, or one being asked for.
    std::optional<Forward> m_forward;
    OneShot m_renew{this};
    OneShot m_check{this};
};
