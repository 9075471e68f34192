// SPDX-License-Identifier: MIT
#include "portmapping.h"

#include "natpmpclient.h"
#include "outsideaddress.h"
#include "routetorouter.h"
#include "upnpclient.h"

PortMapping::PortMapping(QObject* parent)
    : PortMapping(Options(), parent)
{
}

PortMapping::PortMapping(const Options& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_upnp(new UpnpClient(this))
{
    m_deadline.setSingleShot(true);
    // A UPnP call still under way may yet make the forward, and say so.
    connect(&m_deadline, &QTimer::timeout, this, &PortMapping::conclude);
    connect(m_upnp, &UpnpClient::found, this, &PortMapping::upnpFound);
    connect(m_upnp, &UpnpClient::notFound, this, &PortMapping::upnpFailed);
    connect(m_upnp, &UpnpClient::mapped, this, &PortMapping::upnpMapped);
    connect(m_upnp, &UpnpClient::failed, this, &PortMapping::upnpFailed);
    connect(m_upnp, &UpnpClient::lost, this, [this] { start(m_port); });
}

// The clients, children of this object, remove what they hold as they go.
PortMapping::~PortMapping()
{
    releaseNatPmp();
}

void PortMapping::start(quint16 port)
{
    releaseAll();
    m_port = port;
    m_outsideAddress.clear();
    m_outsidePort = 0;
    m_protocol = Protocol::None;
    m_answeredWithoutOutside = false;
    if (port == 0) {
        settle(State::Off);
        return;
    }
    const std::optional<RouteToRouter> route = routeToRouter();
    m_localAddress = route ? route->localAddress : QHostAddress();
    if (!route) {
        settle(State::NoRouter);
        return;
    }
    m_gateway = route->gateway;
    m_natPmpPhase = m_options.natPmp ? Phase::Asking : Phase::Failed;
    m_upnpPhase = m_options.upnpIgd ? Phase::Asking : Phase::Failed;
    settle(State::Asking);
    m_deadline.start(NoRouterAfterMs);

    if (m_options.upnpIgd)
        m_upnp->search(m_gateway);
    if (m_options.natPmp) {
        m_natPmp = new NatPmpClient(m_gateway, this);
        connect(m_natPmp, &NatPmpClient::outsideAddressAnswered, this,
                &PortMapping::natPmpAnswered);
        connect(m_natPmp, &NatPmpClient::mapped, this, &PortMapping::natPmpMapped);
        connect(m_natPmp, &NatPmpClient::failed, this, &PortMapping::natPmpFailed);
        connect(m_natPmp, &NatPmpClient::lost, this, [this] { start(m_port); });
        if (!m_natPmp->askOutsideAddress())
            natPmpFailed();
    }
    concludeIfBothFailed();
}

void PortMapping::stop()
{
    releaseAll();
    m_outsideAddress.clear();
    m_outsidePort = 0;
    m_protocol = Protocol::None;
    settle(State::Off);
}

// A router that answers NAT-PMP is asked with NAT-PMP from here on; a UPnP
// answer is kept in reserve.
void PortMapping::natPmpAnswered(const QHostAddress& outsideAddress)
{
    if (m_natPmpPhase != Phase::Asking)
        return;
    m_natPmpPhase = Phase::Found;
    switch (classifyOutsideAddress(outsideAddress)) {
    case OutsideAddress::Unusable:
        m_answeredWithoutOutside = true;
        natPmpFailed();
        break;
    case OutsideAddress::BehindSecondRouter:
        behindSecondRouter(outsideAddress);
        break;
    case OutsideAddress::Public:
        m_natPmpOutside = outsideAddress;
        m_natPmpPhase = Phase::Mapping;
        if (!m_natPmp->map(m_port, quint32(m_options.lease.count())))
            natPmpFailed();
        break;
    }
}

void PortMapping::natPmpMapped(quint16 outsidePort)
{
    if (m_natPmpPhase == Phase::Mapping) {
        m_natPmpPhase = Phase::Mapped;
        m_upnp->release();
        m_upnpPhase = Phase::Off;
    }
    if (m_natPmpPhase == Phase::Mapped) // also after each renewal
        mapped(Protocol::NatPmp, m_natPmpOutside, outsidePort);
}

void PortMapping::natPmpFailed()
{
    if (m_natPmpPhase == Phase::Off || m_natPmpPhase == Phase::Failed)
        return;
    releaseNatPmp();
    m_natPmpPhase = Phase::Failed;
    if (m_upnpPhase == Phase::Found)
        mapWithUpnp();
    else
        concludeIfBothFailed();
}

void PortMapping::upnpFound(const QHostAddress& lanAddress, const QHostAddress& outsideAddress)
{
    if (m_upnpPhase != Phase::Asking)
        return;
    m_upnpPhase = Phase::Found;
    m_upnpOutside = outsideAddress;
    if (!lanAddress.isNull())
        m_localAddress = lanAddress;
    // A gateway that has not answered NAT-PMP by now has made no forward
    // with it either: UPnP goes ahead alone.
    if (m_natPmpPhase == Phase::Asking) {
        releaseNatPmp();
        m_natPmpPhase = Phase::Failed;
    }
    if (m_natPmpPhase == Phase::Failed)
        mapWithUpnp();
}

void PortMapping::mapWithUpnp()
{
    switch (classifyOutsideAddress(m_upnpOutside)) {
    case OutsideAddress::Unusable:
        m_answeredWithoutOutside = true;
        upnpFailed();
        break;
    case OutsideAddress::BehindSecondRouter:
        behindSecondRouter(m_upnpOutside);
        break;
    case OutsideAddress::Public:
        m_upnpPhase = Phase::Mapping;
        m_upnp->add(m_port, int(m_options.lease.count()));
        break;
    }
}

void PortMapping::upnpMapped(quint16 outsidePort)
{
    if (m_upnpPhase != Phase::Mapping)
        return;
    m_upnpPhase = Phase::Mapped;
    mapped(Protocol::UpnpIgd, m_upnpOutside, outsidePort);
}

void PortMapping::upnpFailed()
{
    if (m_upnpPhase == Phase::Off || m_upnpPhase == Phase::Failed)
        return;
    m_upnp->release();
    m_upnpPhase = Phase::Failed;
    concludeIfBothFailed();
}

void PortMapping::mapped(Protocol protocol, const QHostAddress& outsideAddress, quint16 outsidePort)
{
    m_deadline.stop();
    const bool moved = m_state == State::Mapped && outsidePort != m_outsidePort;
    m_protocol = protocol;
    m_outsideAddress = outsideAddress;
    m_outsidePort = outsidePort;
    if (moved)
        Q_EMIT stateChanged(m_state);
    settle(State::Mapped);
}

void PortMapping::behindSecondRouter(const QHostAddress& outsideAddress)
{
    releaseAll();
    m_outsideAddress = outsideAddress;
    settle(State::BehindSecondRouter);
}

void PortMapping::concludeIfBothFailed()
{
    if (m_natPmpPhase == Phase::Failed && m_upnpPhase == Phase::Failed)
        conclude();
}

// A router that answers with no outside address to forward from, while
// the player is evidently on the internet, sits behind another NAT.
void PortMapping::conclude()
{
    if (m_state != State::Asking)
        return;
    m_deadline.stop();
    settle(m_answeredWithoutOutside ? State::BehindSecondRouter : State::NoRouter);
}

void PortMapping::releaseNatPmp()
{
    if (!m_natPmp)
        return;
    disconnect(m_natPmp, nullptr, this, nullptr);
    m_natPmp->release();
    m_natPmp = nullptr;
}

void PortMapping::releaseAll()
{
    m_deadline.stop();
    releaseNatPmp();
    m_upnp->release();
    m_natPmpPhase = Phase::Off;
    m_upnpPhase = Phase::Off;
}

void PortMapping::settle(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}
