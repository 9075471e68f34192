// SPDX-License-Identifier: MIT
#include "portmapping.h"

#include "natpmpattempt.h"
#include "outsideaddress.h"
#include "pcpattempt.h"
#include "pinholeattempt.h"
#include "routerlog.h"
#include "routetorouter.h"
#include "upnpattempt.h"

#include <QEventLoop>
#include <QNetworkInterface>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <memory>

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

const PortMapping::Policy PortMapping::Forward{"forward", true, &PortMapping::startForward,
                                               &PortMapping::stateChanged};
const PortMapping::Policy PortMapping::Pinhole{"pinhole", false, &PortMapping::startPinhole,
                                               &PortMapping::pinholeChanged};

PortMapping::PortMapping(QObject* parent)
    : PortMapping(Options(), parent)
{
}

PortMapping::PortMapping(const Options& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
{
    // Never more often than once a second, however the options are set.
    using std::chrono::seconds;
    m_options.lease = std::max(m_options.lease, seconds(1));
    m_options.check = std::max<std::chrono::milliseconds>(m_options.check, seconds(1));
    m_options.shortestRenewal = std::max(m_options.shortestRenewal, seconds(1));
    for (Slot* slot : {&m_forward, &m_pinhole}) {
        // An attempt still under way may yet open the port, and say so.
        connect(&slot->deadline, &QTimer::timeout, this, [this, slot] { conclude(*slot); });
        connect(&slot->retry, &QTimer::timeout, this, slot->policy.start);
    }
}

// The game's last moment: every attempt, those released already among them,
// removes what it holds on a thread of its own, whose event loop runs until
// they are all gone or RemovalWaitMs is over. Nothing of this thread's is
// delivered meanwhile.
PortMapping::~PortMapping()
{
    const QList<RouterAttempt*> attempts = findChildren<RouterAttempt*>(Qt::FindDirectChildrenOnly);
    if (attempts.isEmpty())
        return;
    std::unique_ptr<QThread> thread(QThread::create([attempts] {
        QEventLoop loop;
        const QList<QPointer<RouterAttempt>> left(attempts.begin(), attempts.end());
        qsizetype going = attempts.size();
        for (RouterAttempt* attempt : attempts) {
            connect(attempt, &QObject::destroyed, &loop, [&going, &loop] {
                if (--going == 0)
                    loop.quit();
            });
            attempt->release();
        }
        QTimer::singleShot(RemovalWaitMs, &loop, &QEventLoop::quit);
        loop.exec();
        for (const QPointer<RouterAttempt>& attempt : left)
            delete attempt.data();
    }));
    for (RouterAttempt* attempt : attempts) {
        attempt->disconnect(this);
        attempt->setParent(nullptr);
        // A running timer would be handed to the thread by a queued call
        // that an attempt gone before it runs leaves undelivered (and its
        // list of timers leaked); release() starts the timers it needs there.
        const QList<QTimer*> timers = attempt->findChildren<QTimer*>();
        for (QTimer* timer : timers)
            timer->stop();
        attempt->moveToThread(thread.get());
    }
    thread->start();
    thread->wait();
}

void PortMapping::start(quint16 port)
{
    m_port = port;
    for (Slot* slot : {&m_forward, &m_pinhole}) {
        slot->retrying = false;
        (this->*slot->policy.start)();
    }
}

void PortMapping::stop()
{
    for (Slot* slot : {&m_forward, &m_pinhole}) {
        slot->retrying = false;
        slot->retry.stop();
        reset(*slot);
        settle(*slot, State::Off);
    }
}

void PortMapping::startForward()
{
    Slot& slot = m_forward;
    reset(slot);
    if (m_port == 0) {
        settle(slot, State::Off);
        return;
    }
    const std::optional<RouteToRouter> route = routeToRouter();
    slot.local = route ? route->localAddress : QHostAddress();
    if (!route) {
        qCInfo(lcRouter) << "No IPv4 default route: no router to ask for a forward";
        settle(slot, State::NoRouter);
        return;
    }
    qCInfo(lcRouter) << "Asking the gateway" << route->gateway.toString() << "to forward TCP port"
                     << m_port << "to" << slot.local.toString();
    m_lan = {};
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip() == slot.local)
                m_lan = {entry.ip(), entry.prefixLength()};
        }
    }
    if (m_options.natPmp)
        add(slot,
            new NatPmpAttempt(route->gateway, slot.local, m_port, m_options, m_options.pcp, this),
            Protocol::NatPmp);
    if (m_options.upnpIgd)
        add(slot, new UpnpAttempt(route->gateway, slot.local, m_port, m_options, this),
            Protocol::UpnpIgd);
    begin(slot);
}

void PortMapping::startPinhole()
{
    Slot& slot = m_pinhole;
    reset(slot);
    const std::optional<RouteToRouter> route =
        m_port != 0 && m_options.ipv6 ? routeToRouter6() : std::nullopt;
    slot.local = route ? route->localAddress : QHostAddress();
    if (!route) {
        settle(slot, State::Off);
        return;
    }
    qCInfo(lcRouter) << "Asking the gateway" << route->gateway.toString()
                     << "to open its IPv6 firewall for TCP port" << m_port << "on"
                     << slot.local.toString();
    if (m_options.pcp)
        add(slot, new PcpAttempt(route->gateway, slot.local, m_port, m_options, this),
            Protocol::Pcp);
    if (m_options.upnpIgd)
        add(slot, new PinholeAttempt(route->gateway, slot.local, m_port, m_options, this),
            Protocol::UpnpIgd);
    begin(slot);
}

void PortMapping::begin(Slot& slot)
{
    settle(slot, State::Asking);
    slot.deadline.start(NoRouterAfterMs);
    for (const Entry& entry : slot.attempts)
        entry.attempt->find();
    if (slot.attempts.empty())
        conclude(slot);
}

void PortMapping::add(Slot& slot, RouterAttempt* attempt, Protocol protocol)
{
    Slot* const in = &slot;
    slot.attempts.push_back({attempt, protocol});
    connect(attempt, &RouterAttempt::found, this, [this, in, attempt](const QHostAddress& outside) {
        Entry* entry = entryOf(*in, attempt);
        if (!entry || entry->stage != Stage::Finding || !reachable(*in, attempt, outside))
            return;
        entry->stage = Stage::Found;
        mapNext(*in);
    });
    connect(attempt, &RouterAttempt::mapped, this,
            [this, in, attempt](const QHostAddress& outside, quint16 outsidePort) {
                mapped(*in, attempt, outside, outsidePort);
            });
    connect(attempt, &RouterAttempt::failed, this,
            [this, in, attempt](RouterAttempt::Failure failure, const QString& reason) {
                failed(*in, attempt, failure, reason);
            });
    // The router lost the opening (it restarted, say): asked again from the
    // start, and again at every check until it stands.
    connect(attempt, &RouterAttempt::lost, this, [this, in] {
        qCInfo(lcRouter, "The %s is lost: asking again", in->policy.name);
        in->retrying = true;
        (this->*in->policy.start)();
    });
}

PortMapping::Entry* PortMapping::entryOf(Slot& slot, RouterAttempt* attempt)
{
    const auto at =
        std::find_if(slot.attempts.begin(), slot.attempts.end(),
                     [attempt](const Entry& entry) { return entry.attempt == attempt; });
    return at == slot.attempts.end() ? nullptr : &*at;
}

// Whether players outside can reach an outside address the router named,
// at its first answer or any later one; if not, the row says what it is,
// and a forward that stood on it is given up and asked for anew at the
// next check. A pinhole's is this machine's own global address.
bool PortMapping::reachable(Slot& slot, RouterAttempt* attempt, const QHostAddress& outsideAddress)
{
    if (isGlobalIpv6(outsideAddress))
        return true;
    const bool standing = slot.state == State::Mapped;
    switch (classifyOutsideAddress(outsideAddress, m_lan)) {
    case OutsideAddress::Public:
        return true;
    case OutsideAddress::BehindSecondRouter:
        qCInfo(lcRouter, "%s: the outside address %s is behind a second router",
               attempt->protocolName(), qPrintable(outsideAddress.toString()));
        reset(slot);
        slot.address = outsideAddress;
        settle(slot, State::BehindSecondRouter);
        break;
    case OutsideAddress::Unusable:
        qCInfo(lcRouter, "%s: no usable outside address (%s)", attempt->protocolName(),
               qPrintable(outsideAddress.toString()));
        if (standing)
            reset(slot);
        note(slot, State::NoUsableAddress,
             QStringLiteral("the router gave no usable outside address"));
        if (standing) {
            settle(slot, State::NoUsableAddress);
        } else {
            drop(slot, attempt);
            mapNext(slot);
        }
        break;
    }
    if (standing)
        slot.retrying = true;
    if (slot.retrying && slot.attempts.empty() && !slot.retry.isActive())
        slot.retry.start(m_options.check);
    return false;
}

void PortMapping::mapNext(Slot& slot)
{
    const bool asked =
        std::any_of(slot.attempts.begin(), slot.attempts.end(),
                    [](const Entry& entry) { return entry.stage == Stage::Mapping; });
    if (slot.policy.oneAtATime && asked)
        return;
    for (Entry& entry : slot.attempts) {
        if (entry.stage == Stage::Found) {
            entry.stage = Stage::Mapping;
            entry.attempt->map();
            if (slot.policy.oneAtATime)
                return;
        }
    }
    if (slot.attempts.empty())
        conclude(slot);
}

void PortMapping::mapped(Slot& slot, RouterAttempt* attempt, const QHostAddress& outsideAddress,
                         quint16 outsidePort)
{
    const Entry* entry = entryOf(slot, attempt);
    // A check's answer is read as strictly as the first.
    if (!entry || !reachable(slot, attempt, outsideAddress))
        return;
    const auto* natPmp = qobject_cast<NatPmpAttempt*>(attempt);
    slot.protocol = natPmp && natPmp->throughPcp() ? Protocol::Pcp : entry->protocol;
    // The reserve has made nothing, and what another attempt made at the
    // same time it removes as it goes.
    drop(slot, [attempt](const RouterAttempt* other) { return other != attempt; });
    slot.deadline.stop();
    slot.retry.stop();
    slot.retrying = false;
    const bool moved =
        slot.state == State::Mapped && (outsideAddress != slot.address || outsidePort != slot.port);
    slot.address = outsideAddress;
    slot.port = outsidePort;
    settle(slot, State::Mapped, moved);
}

void PortMapping::failed(Slot& slot, RouterAttempt* attempt, RouterAttempt::Failure failure,
                         const QString& reason)
{
    if (!entryOf(slot, attempt))
        return;
    qCInfo(lcRouter, "%s gave up on the %s: %s", attempt->protocolName(), slot.policy.name,
           qPrintable(reason));
    switch (failure) {
    case RouterAttempt::Failure::NoAnswer:
        break;
    case RouterAttempt::Failure::Refused:
        note(slot, State::Refused, reason);
        break;
    case RouterAttempt::Failure::NotConnected:
        note(slot, State::BehindSecondRouter, reason);
        break;
    case RouterAttempt::Failure::BadAnswer:
        note(slot, State::NoUsableAddress, reason);
        break;
    }
    drop(slot, attempt);
    mapNext(slot);
}

// Releases the attempts `which` picks; they leave the list first.
void PortMapping::drop(Slot& slot, const std::function<bool(const RouterAttempt*)>& which)
{
    std::erase_if(slot.attempts, [this, &which](const Entry& entry) {
        if (!which(entry.attempt))
            return false;
        entry.attempt->disconnect(this);
        entry.attempt->release();
        return true;
    });
}

void PortMapping::drop(Slot& slot, const RouterAttempt* attempt)
{
    drop(slot, [attempt](const RouterAttempt* other) { return other == attempt; });
}

void PortMapping::note(Slot& slot, State outcome, const QString& reason)
{
    if (telling(outcome) < telling(slot.outcome))
        return;
    slot.outcome = outcome;
    slot.reason = reason;
}

void PortMapping::conclude(Slot& slot)
{
    if (slot.state == State::Off || slot.state == State::Mapped ||
        slot.state == State::BehindSecondRouter)
        return;
    if (!slot.attempts.empty() && slot.deadline.isActive())
        return;
    slot.deadline.stop();
    settle(slot, slot.outcome);
    if (slot.retrying && !slot.retry.isActive())
        slot.retry.start(m_options.check);
}

// No attempt left, and nothing known of the opening.
void PortMapping::reset(Slot& slot)
{
    slot.deadline.stop();
    drop(slot, [](const RouterAttempt*) { return true; });
    slot.address.clear();
    slot.port = 0;
    slot.protocol = Protocol::None;
    slot.outcome = State::NoRouter;
    slot.reason.clear();
}

// Also when `changed` though the state is the same: the outside address or
// port moved.
void PortMapping::settle(Slot& slot, State state, bool changed)
{
    if (state == slot.state && !changed)
        return;
    slot.state = state;
    Q_EMIT(this->*slot.policy.changed)(state);
}
