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

const char* opening(bool ipv6)
{
    return ipv6 ? "pinhole" : "forward";
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
    // Never more often than once a second, however the options are set.
    using std::chrono::seconds;
    m_options.lease = std::max(m_options.lease, seconds(1));
    m_options.check = std::max<std::chrono::milliseconds>(m_options.check, seconds(1));
    m_options.shortestRenewal = std::max(m_options.shortestRenewal, seconds(1));
    m_pinhole.ipv6 = true;
    for (Slot* slot : {&m_forward, &m_pinhole}) {
        slot->deadline.setSingleShot(true);
        slot->retry.setSingleShot(true);
        // An attempt still under way may yet open the port, and say so.
        connect(&slot->deadline, &QTimer::timeout, this, [this, slot] { conclude(*slot); });
        connect(&slot->retry, &QTimer::timeout, this, [this, slot] {
            if (slot->ipv6)
                startPinhole();
            else
                startForward();
        });
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
        attempt->moveToThread(thread.get());
    }
    thread->start();
    thread->wait();
}

void PortMapping::start(quint16 port)
{
    m_port = port;
    for (Slot* slot : {&m_forward, &m_pinhole})
        slot->retrying = false;
    startForward();
    startPinhole();
}

void PortMapping::stop()
{
    for (Slot* slot : {&m_forward, &m_pinhole}) {
        slot->retrying = false;
        slot->retry.stop();
        releaseAll(*slot);
        clear(*slot);
        settle(*slot, State::Off);
    }
}

void PortMapping::startForward()
{
    Slot& slot = m_forward;
    releaseAll(slot);
    clear(slot);
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
    releaseAll(slot);
    clear(slot);
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
    connect(attempt, &RouterAttempt::found, this,
            [this, in, attempt](const QHostAddress& outside) { found(*in, attempt, outside); });
    connect(attempt, &RouterAttempt::mapped, this,
            [this, in, attempt](const QHostAddress& outside, quint16 outsidePort) {
                mapped(*in, attempt, outside, outsidePort);
            });
    connect(attempt, &RouterAttempt::failed, this,
            [this, in, attempt](RouterAttempt::Failure failure, const QString& reason) {
                failed(*in, attempt, failure, reason);
            });
    connect(attempt, &RouterAttempt::lost, this, [this, in] { lost(*in); });
}

PortMapping::Entry* PortMapping::entryOf(Slot& slot, RouterAttempt* attempt)
{
    const auto at =
        std::find_if(slot.attempts.begin(), slot.attempts.end(),
                     [attempt](const Entry& entry) { return entry.attempt == attempt; });
    return at == slot.attempts.end() ? nullptr : &*at;
}

void PortMapping::found(Slot& slot, RouterAttempt* attempt, const QHostAddress& outsideAddress)
{
    Entry* entry = entryOf(slot, attempt);
    if (!entry || entry->stage != Stage::Finding)
        return;
    // A pinhole's outside address is this machine's own, global already.
    if (!slot.ipv6 && !reachable(slot, attempt, outsideAddress))
        return;
    entry->stage = Stage::Found;
    mapNext(slot);
}

// Whether players outside can reach an outside address the router named,
// at its first answer or any later one; if not, the row says what it is,
// and a forward that stood on it is given up and asked for anew at the
// next check.
bool PortMapping::reachable(Slot& slot, RouterAttempt* attempt, const QHostAddress& outsideAddress)
{
    const bool standing = slot.state == State::Mapped;
    switch (classifyOutsideAddress(outsideAddress, m_lan)) {
    case OutsideAddress::Public:
        return true;
    case OutsideAddress::BehindSecondRouter:
        qCInfo(lcRouter, "%s: the outside address %s is behind a second router",
               attempt->protocolName(), qPrintable(outsideAddress.toString()));
        releaseAll(slot);
        clear(slot);
        slot.address = outsideAddress;
        settle(slot, State::BehindSecondRouter);
        break;
    case OutsideAddress::Unusable:
        qCInfo(lcRouter, "%s: no usable outside address (%s)", attempt->protocolName(),
               qPrintable(outsideAddress.toString()));
        if (standing) {
            releaseAll(slot);
            clear(slot);
        }
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

// The forward: one attempt at a time makes it, in the order they were made,
// since a router may keep both protocols' forwards in one table, where one
// attempt's removal would take the other's forward. A pinhole has a name of
// its own in each protocol: both ask at once, and the first to open stays.
void PortMapping::mapNext(Slot& slot)
{
    const auto busy = [](const Entry& entry) {
        return entry.stage == Stage::Mapping || entry.stage == Stage::Mapped;
    };
    const bool oneAtATime = !slot.ipv6;
    if (oneAtATime && std::any_of(slot.attempts.begin(), slot.attempts.end(), busy))
        return;
    if (slot.ipv6 && std::any_of(slot.attempts.begin(), slot.attempts.end(),
                                 [](const Entry& entry) { return entry.stage == Stage::Mapped; }))
        return;
    for (Entry& entry : slot.attempts) {
        if (entry.stage == Stage::Found) {
            entry.stage = Stage::Mapping;
            entry.attempt->map();
            if (oneAtATime)
                return;
        }
    }
    if (slot.attempts.empty())
        conclude(slot);
}

void PortMapping::mapped(Slot& slot, RouterAttempt* attempt, const QHostAddress& outsideAddress,
                         quint16 outsidePort)
{
    Entry* entry = entryOf(slot, attempt);
    if (!entry)
        return;
    // A check's answer is read as strictly as the first.
    if (!slot.ipv6 && !reachable(slot, attempt, outsideAddress))
        return;
    const auto* natPmp = qobject_cast<NatPmpAttempt*>(attempt);
    const Protocol protocol = natPmp && natPmp->throughPcp() ? Protocol::Pcp : entry->protocol;
    if (entry->stage != Stage::Mapped) {
        entry->stage = Stage::Mapped;
        // The reserve has made nothing, and what another attempt made at the
        // same time it removes as it goes.
        std::erase_if(slot.attempts, [this, attempt](const Entry& other) {
            if (other.attempt == attempt)
                return false;
            other.attempt->disconnect(this);
            other.attempt->release();
            return true;
        });
    }
    slot.deadline.stop();
    slot.retry.stop();
    slot.retrying = false;
    const bool changed =
        slot.state == State::Mapped && (outsideAddress != slot.address || outsidePort != slot.port);
    slot.protocol = protocol;
    slot.address = outsideAddress;
    slot.port = outsidePort;
    if (changed)
        announce(slot);
    settle(slot, State::Mapped);
}

void PortMapping::failed(Slot& slot, RouterAttempt* attempt, RouterAttempt::Failure failure,
                         const QString& reason)
{
    if (!entryOf(slot, attempt))
        return;
    qCInfo(lcRouter, "%s gave up on the %s: %s", attempt->protocolName(), opening(slot.ipv6),
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

// The router lost the opening (it restarted, say): asked again from the
// start, and again at every check until it stands.
void PortMapping::lost(Slot& slot)
{
    qCInfo(lcRouter, "The %s is lost: asking again", opening(slot.ipv6));
    slot.retrying = true;
    if (slot.ipv6)
        startPinhole();
    else
        startForward();
}

void PortMapping::drop(Slot& slot, RouterAttempt* attempt)
{
    const auto at =
        std::find_if(slot.attempts.begin(), slot.attempts.end(),
                     [attempt](const Entry& entry) { return entry.attempt == attempt; });
    if (at == slot.attempts.end())
        return;
    slot.attempts.erase(at);
    attempt->disconnect(this);
    attempt->release();
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

void PortMapping::releaseAll(Slot& slot)
{
    slot.deadline.stop();
    for (const Entry& entry : std::exchange(slot.attempts, {})) {
        entry.attempt->disconnect(this);
        entry.attempt->release();
    }
}

void PortMapping::clear(Slot& slot)
{
    slot.address.clear();
    slot.port = 0;
    slot.protocol = Protocol::None;
    slot.outcome = State::NoRouter;
    slot.reason.clear();
}

void PortMapping::settle(Slot& slot, State state)
{
    if (state == slot.state)
        return;
    slot.state = state;
    announce(slot);
}

void PortMapping::announce(Slot& slot)
{
    if (slot.ipv6)
        Q_EMIT pinholeChanged(slot.state);
    else
        Q_EMIT stateChanged(slot.state);
}
