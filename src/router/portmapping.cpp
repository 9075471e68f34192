// SPDX-License-Identifier: MIT
#include "portmapping.h"

#include "natpmpattempt.h"
#include "outsideaddress.h"
#include "routerlog.h"
#include "routetorouter.h"
#include "upnpattempt.h"

#include <algorithm>

namespace {

// Of what the attempts that gave up found, the one that tells the player
// most: a second router explains everything, a refusal more than silence.
int telling(PortMapping::State outcome)
{
    switch (outcome) {
    case PortMapping::State::BehindSecondRouter:
        return 3;
    case PortMapping::State::Refused:
        return 2;
    case PortMapping::State::NoUsableAddress:
        return 1;
    default:
        return 0;
    }
}

} // namespace

PortMapping::PortMapping(QObject* parent)
    : PortMapping(Options(), parent)
{
}

PortMapping::PortMapping(const Options& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
{
    m_deadline.setSingleShot(true);
    m_retry.setSingleShot(true);
    // An attempt still under way may yet make the forward, and say so.
    connect(&m_deadline, &QTimer::timeout, this, &PortMapping::conclude);
    connect(&m_retry, &QTimer::timeout, this, [this] { start(m_port); });
}

// The attempts, children of this object, remove what they hold as they go.
PortMapping::~PortMapping()
{
    for (const Entry& entry : m_attempts) {
        if (entry.attempt)
            entry.attempt->disconnect(this);
    }
}

void PortMapping::start(quint16 port)
{
    releaseAll();
    m_port = port;
    m_outsideAddress.clear();
    m_outsidePort = 0;
    m_protocol = Protocol::None;
    m_outcome = State::NoRouter;
    m_reason.clear();
    if (port == 0) {
        settle(State::Off);
        return;
    }
    const std::optional<RouteToRouter> route = routeToRouter();
    m_localAddress = route ? route->localAddress : QHostAddress();
    if (!route) {
        qCInfo(lcRouter) << "No IPv4 default route: no router to ask";
        settle(State::NoRouter);
        return;
    }
    m_gateway = route->gateway;
    qCInfo(lcRouter) << "Asking the gateway" << m_gateway.toString() << "to forward TCP port"
                     << port << "to" << m_localAddress.toString();
    const RouterAttempt::Timing timing{m_options.lease, m_options.check};
    if (m_options.natPmp)
        add(new NatPmpAttempt(m_gateway, port, timing, this), Protocol::NatPmp);
    if (m_options.upnpIgd)
        add(new UpnpAttempt(m_gateway, m_localAddress, port, timing, this), Protocol::UpnpIgd);
    settle(State::Asking);
    m_deadline.start(NoRouterAfterMs);
    // A copy: an attempt may give up at once, and leave the list.
    const std::vector<Entry> attempts = m_attempts;
    for (const Entry& entry : attempts) {
        if (entry.attempt)
            entry.attempt->find();
    }
    if (m_attempts.empty())
        conclude();
}

void PortMapping::stop()
{
    m_retrying = false;
    m_retry.stop();
    releaseAll();
    m_outsideAddress.clear();
    m_outsidePort = 0;
    m_protocol = Protocol::None;
    settle(State::Off);
}

void PortMapping::add(RouterAttempt* attempt, Protocol protocol)
{
    m_attempts.push_back({attempt, protocol});
    connect(attempt, &RouterAttempt::found, this,
            [this, attempt](const QHostAddress& outside) { found(attempt, outside); });
    connect(attempt, &RouterAttempt::mapped, this,
            [this, attempt](const QHostAddress& outside, quint16 outsidePort) {
                mapped(attempt, outside, outsidePort);
            });
    connect(attempt, &RouterAttempt::failed, this,
            [this, attempt](RouterAttempt::Failure failure, const QString& reason) {
                failed(attempt, failure, reason);
            });
    connect(attempt, &RouterAttempt::lost, this, &PortMapping::lost);
}

PortMapping::Entry* PortMapping::entryOf(RouterAttempt* attempt)
{
    const auto at = std::find_if(m_attempts.begin(), m_attempts.end(),
                                 [attempt](const Entry& entry) { return entry.attempt == attempt; });
    return at == m_attempts.end() ? nullptr : &*at;
}

void PortMapping::found(RouterAttempt* attempt, const QHostAddress& outsideAddress)
{
    Entry* entry = entryOf(attempt);
    if (!entry || entry->stage != Stage::Finding)
        return;
    switch (classifyOutsideAddress(outsideAddress)) {
    case OutsideAddress::Public:
        entry->stage = Stage::Found;
        mapNext();
        break;
    case OutsideAddress::BehindSecondRouter:
        qCInfo(lcRouter, "%s: the outside address %s is behind a second router",
                attempt->protocolName(), qPrintable(outsideAddress.toString()));
        releaseAll();
        m_outsideAddress = outsideAddress;
        settle(State::BehindSecondRouter);
        break;
    case OutsideAddress::Unusable:
        qCInfo(lcRouter, "%s: no usable outside address", attempt->protocolName());
        note(State::NoUsableAddress, QStringLiteral("the router gave no usable outside address"));
        drop(attempt);
        mapNext();
        break;
    }
}

// One attempt at a time makes the forward, in the order they were made.
void PortMapping::mapNext()
{
    const auto busy = [](const Entry& entry) {
        return entry.stage == Stage::Mapping || entry.stage == Stage::Mapped;
    };
    if (std::any_of(m_attempts.begin(), m_attempts.end(), busy))
        return;
    for (Entry& entry : m_attempts) {
        if (entry.stage == Stage::Found && entry.attempt) {
            entry.stage = Stage::Mapping;
            entry.attempt->map();
            return;
        }
    }
    if (m_attempts.empty())
        conclude();
}

void PortMapping::mapped(RouterAttempt* attempt, const QHostAddress& outsideAddress,
                         quint16 outsidePort)
{
    Entry* entry = entryOf(attempt);
    if (!entry)
        return;
    const Protocol protocol = entry->protocol;
    if (entry->stage != Stage::Mapped) {
        entry->stage = Stage::Mapped;
        // The reserve has made nothing; it goes.
        for (const Entry& other : std::vector<Entry>(m_attempts)) {
            if (other.attempt != attempt)
                drop(other.attempt);
        }
    }
    m_deadline.stop();
    m_retry.stop();
    m_retrying = false;
    const bool changed = m_state == State::Mapped &&
                         (outsideAddress != m_outsideAddress || outsidePort != m_outsidePort);
    m_protocol = protocol;
    m_outsideAddress = outsideAddress;
    m_outsidePort = outsidePort;
    if (changed)
        Q_EMIT stateChanged(m_state);
    settle(State::Mapped);
}

void PortMapping::failed(RouterAttempt* attempt, RouterAttempt::Failure failure,
                         const QString& reason)
{
    if (!entryOf(attempt))
        return;
    qCInfo(lcRouter, "%s gave up: %s", attempt->protocolName(), qPrintable(reason));
    switch (failure) {
    case RouterAttempt::Failure::NoAnswer:
        break;
    case RouterAttempt::Failure::Refused:
        note(State::Refused, reason);
        break;
    case RouterAttempt::Failure::NotConnected:
        note(State::BehindSecondRouter, reason);
        break;
    case RouterAttempt::Failure::BadAnswer:
        note(State::NoUsableAddress, reason);
        break;
    }
    drop(attempt);
    mapNext();
}

// The router lost the forward (it restarted, say): asked again from the
// start, and again at every check until it stands.
void PortMapping::lost()
{
    qCInfo(lcRouter) << "The forward is lost: asking again";
    m_retrying = true;
    start(m_port);
}

void PortMapping::drop(RouterAttempt* attempt)
{
    const auto at = std::find_if(m_attempts.begin(), m_attempts.end(),
                                 [attempt](const Entry& entry) { return entry.attempt == attempt; });
    if (at == m_attempts.end())
        return;
    m_attempts.erase(at);
    if (attempt) {
        attempt->disconnect(this);
        attempt->release();
    }
}

void PortMapping::note(State outcome, const QString& reason)
{
    if (telling(outcome) < telling(m_outcome))
        return;
    m_outcome = outcome;
    m_reason = reason;
}

void PortMapping::conclude()
{
    if (m_state == State::Off || m_state == State::Mapped || m_state == State::BehindSecondRouter)
        return;
    if (!m_attempts.empty() && m_deadline.isActive())
        return;
    m_deadline.stop();
    settle(m_outcome);
    if (m_retrying && !m_retry.isActive())
        m_retry.start(m_options.check);
}

void PortMapping::releaseAll()
{
    m_deadline.stop();
    for (const Entry& entry : std::exchange(m_attempts, {})) {
        if (entry.attempt) {
            entry.attempt->disconnect(this);
            entry.attempt->release();
        }
    }
}

void PortMapping::settle(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}
