// SPDX-License-Identifier: MIT
#include "discovery.h"

#include "avahipoll.h"
#include "destinations.h"
#include "lanlog.h"

#include <QNetworkInterface>
#include <QtEndian>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <algorithm>
#include <climits>
#include <utility>

namespace {

// The characters that set a text's direction: a name holding one could turn
// the address after it around, or make another address out of its digits.
bool setsDirection(QChar c)
{
    const char16_t u = c.unicode();
    return u == 0x200E || u == 0x200F || u == 0x061C || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2066 && u <= 0x2069);
}

constexpr QChar FirstStrongIsolate(0x2068);
constexpr QChar LeftToRightIsolate(0x2066);
constexpr QChar PopDirectionalIsolate(0x2069);

QHostAddress hostAddress(const AvahiAddress& address, AvahiIfIndex interface)
{
    if (address.proto == AVAHI_PROTO_INET)
        return QHostAddress(qFromBigEndian(address.data.ipv4.address));
    QHostAddress result(address.data.ipv6.address);
    // fe80::... is the same on every link: it is reached through the
    // interface it was seen on.
    if (result.isLinkLocal())
        result.setScopeId(QNetworkInterface::interfaceNameFromIndex(interface));
    return result;
}

} // namespace

QString FoundGame::entryText() const
{
    return FirstStrongIsolate + name + PopDirectionalIsolate + QStringLiteral(" \u2013 ") +
           LeftToRightIsolate + withPort(address, quint16(port)) + PopDirectionalIsolate;
}

bool listedBefore(const FoundGame& a, const FoundGame& b)
{
    if (const int byName = a.name.compare(b.name, Qt::CaseInsensitive); byName != 0)
        return byName < 0;
    if (a.name != b.name)
        return a.name < b.name;
    if (a.address != b.address)
        return a.address < b.address;
    return a.port < b.port;
}

QString plainName(const QString& name)
{
    QString plain;
    plain.reserve(name.size());
    for (const QChar c : name) {
        if (setsDirection(c))
            continue;
        const bool breaksTheLine = c.category() == QChar::Other_Control ||
                                   c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
        plain.append(breaksTheLine ? QLatin1Char(' ') : c);
    }
    return plain;
}

QString serviceName(const QString& userName)
{
    constexpr qsizetype MaxBytes = 63;
    QString name = plainName(userName);
    while (name.toUtf8().size() > MaxBytes)
        name.chop(name.back().isLowSurrogate() ? 2 : 1);
    return name.isEmpty() ? QStringLiteral("Player") : name;
}

// Avahi calls these on the event loop (see avahipoll.h), some of them from
// inside the call that made the object they report on, before it returned.
struct Discovery::Callbacks {
    static void client(AvahiClient* client, AvahiClientState state, void* userdata)
    {
        auto* self = static_cast<Discovery*>(userdata);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            self->m_client = client;
            self->clientRunning();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The daemon picks a new host name; the game is announced again
            // once it runs.
            if (self->m_group)
                avahi_entry_group_reset(self->m_group);
            break;
        case AVAHI_CLIENT_FAILURE:
            // The daemon went away: a new client waits for it to come back.
            // Anything else (the bus went away) is tried again a little later.
            self->restartSoon(avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED ? 0
                                                                                   : RetryInterval);
            break;
        case AVAHI_CLIENT_CONNECTING:
            break;
        }
    }

    static void group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata)
    {
        auto* self = static_cast<Discovery*>(userdata);
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            qCInfo(lcLan, "Another host announces \"%s\": renaming", self->m_name.constData());
            self->rename();
            self->announce();
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            qCInfo(lcLan, "Announcing the game failed: %s",
                   avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        }
    }

    static void browse(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                       AvahiBrowserEvent event, const char* name, const char*, const char* domain,
                       AvahiLookupResultFlags flags, void* userdata)
    {
        auto* self = static_cast<Discovery*>(userdata);
        switch (event) {
        case AVAHI_BROWSER_NEW: {
            const SightingKey key{name, domain, interface, protocol};
            // This copy's own game is no game to join.
            if (flags & AVAHI_LOOKUP_RESULT_OUR_OWN)
                return;
            // A browser made anew tells of the games followed already too.
            if (const auto seen = self->m_sightings.find(key); seen != self->m_sightings.end()) {
                seen->browserGeneration = self->m_browserGeneration;
                return;
            }
            // A network that announces more games than anyone picks from is
            // not followed further: each one seen costs a resolver and
            // memory. Once one leaves, the browser is asked again.
            if (self->m_sightings.size() >= MaxSightings) {
                self->m_turnedAway = true;
                return;
            }
            self->m_sightings[key].browserGeneration = self->m_browserGeneration;
            self->resolve(key);
            break;
        }
        case AVAHI_BROWSER_REMOVE: {
            const auto found = self->m_sightings.find({name, domain, interface, protocol});
            if (found == self->m_sightings.end())
                return;
            if (found->resolver)
                avahi_service_resolver_free(found->resolver);
            self->m_sightings.erase(found);
            self->relist(name, domain);
            self->renewSoon();
            break;
        }
        case AVAHI_BROWSER_FAILURE:
            qCInfo(lcLan, "Browsing for games failed: %s",
                   avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
            self->restartSoon(RetryInterval);
            break;
        case AVAHI_BROWSER_ALL_FOR_NOW:
            self->dropUnseen();
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            break;
        }
    }

    // The resolver stays open while the service is there, so a game that
    // moves to another address or port is followed. One that fails (no
    // answer within Avahi's 5 s, or the address gone as long) is freed and
    // tried again later.
    static void resolve(AvahiServiceResolver* resolver, AvahiIfIndex interface,
                        AvahiProtocol protocol, AvahiResolverEvent event, const char* name,
                        const char*, const char* domain, const char* host,
                        const AvahiAddress* address, uint16_t port, AvahiStringList*,
                        AvahiLookupResultFlags, void* userdata)
    {
        auto* self = static_cast<Discovery*>(userdata);
        const SightingKey key{name, domain, interface, protocol};
        const auto found = self->m_sightings.find(key);
        if (found == self->m_sightings.end()) {
            // Not a sighting's any more, or named otherwise than the browser
            // named it: no sighting keeps a resolver freed here.
            for (Sighting& sighting : self->m_sightings) {
                if (sighting.resolver == resolver)
                    sighting.resolver = nullptr;
            }
            avahi_service_resolver_free(resolver);
            return;
        }
        if (event == AVAHI_RESOLVER_FAILURE || !address || !host) {
            qCInfo(lcLan, "Resolving the game \"%s\" failed: %s", name,
                   event == AVAHI_RESOLVER_FAILURE
                       ? avahi_strerror(
                             avahi_client_errno(avahi_service_resolver_get_client(resolver)))
                       : "no address");
            avahi_service_resolver_free(resolver);
            found->resolver = nullptr;
            self->resolveFailed(key);
            return;
        }
        found->resolver = resolver;
        found->failures = 0;
        found->host = host;
        found->address = hostAddress(*address, interface);
        found->port = port;
        self->relist(name, domain);
    }
};

Discovery::Discovery(QObject* parent)
    : QObject(parent)
{
    m_restart.setSingleShot(true);
    connect(&m_restart, &QTimer::timeout, this, [this] {
        disconnectFromDaemon();
        forgetGames();
        connectToDaemon();
    });
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &Discovery::retryDue);
    m_renew.setSingleShot(true);
    connect(&m_renew, &QTimer::timeout, this, &Discovery::renewBrowser);
    m_clock.start();
    connectToDaemon();
}

// Freeing the client withdraws the game from the network.
Discovery::~Discovery()
{
    disconnectFromDaemon();
}

void Discovery::connectToDaemon()
{
    int error = 0;
    m_client =
        avahi_client_new(qtAvahiPoll(), AVAHI_CLIENT_NO_FAIL, Callbacks::client, this, &error);
    if (!m_client) {
        qCInfo(lcLan, "No mDNS daemon to ask: %s", avahi_strerror(error));
        restartSoon(RetryInterval);
    }
}

void Discovery::disconnectFromDaemon()
{
    m_restart.stop();
    m_retry.stop();
    m_renew.stop();
    m_turnedAway = false;
    for (const Sighting& sighting : std::as_const(m_sightings)) {
        if (sighting.resolver)
            avahi_service_resolver_free(sighting.resolver);
    }
    m_sightings.clear();
    if (m_browser)
        avahi_service_browser_free(m_browser);
    m_browser = nullptr;
    if (m_group)
        avahi_entry_group_free(m_group);
    m_group = nullptr;
    if (m_client)
        avahi_client_free(m_client);
    m_client = nullptr;
}

// Not at once: the client is never freed inside its own callback.
void Discovery::restartSoon(int milliseconds)
{
    m_restart.start(milliseconds);
}

void Discovery::clientRunning()
{
    if (!m_browser)
        browse();
    if (m_publishing)
        announce();
}

void Discovery::browse()
{
    m_browser =
        avahi_service_browser_new(m_client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, ServiceType,
                                  nullptr, AvahiLookupFlags(0), Callbacks::browse, this);
    if (!m_browser) {
        qCInfo(lcLan, "Cannot browse for games: %s", avahi_strerror(avahi_client_errno(m_client)));
        restartSoon(RetryInterval);
    }
}

// The daemon tells a browser of each game once: one turned away for
// MaxSightings is told of again only to a new browser, which tells of all the
// games in the daemon's cache. Those followed already stay as they are; those
// that left while no browser looked go at its "all for now".
void Discovery::renewBrowser()
{
    if (!m_client || avahi_client_get_state(m_client) != AVAHI_CLIENT_S_RUNNING)
        return;
    qCInfo(lcLan, "Room for %d more games: browsing again for those turned away",
           int(MaxSightings - m_sightings.size()));
    if (m_browser)
        avahi_service_browser_free(m_browser);
    m_browser = nullptr;
    m_turnedAway = false;
    m_lastRenewal = m_clock.elapsed();
    ++m_browserGeneration;
    browse();
}

// A game left: one turned away may fit now. Games that come and go by the
// hundred make a new browser no more often than every RenewSpacing, each
// costing a message a game from the daemon.
void Discovery::renewSoon()
{
    if (!m_turnedAway || m_renew.isActive())
        return;
    const qint64 spaced = m_lastRenewal + RenewSpacing - m_clock.elapsed();
    m_renew.start(int(std::clamp<qint64>(spaced, RenewDelay, RenewSpacing)));
}

void Discovery::dropUnseen()
{
    QList<SightingKey> gone;
    for (auto it = m_sightings.cbegin(); it != m_sightings.cend(); ++it) {
        if (it->browserGeneration != m_browserGeneration)
            gone.append(it.key());
    }
    for (const SightingKey& key : std::as_const(gone)) {
        const auto found = m_sightings.find(key);
        if (found->resolver)
            avahi_service_resolver_free(found->resolver);
        m_sightings.erase(found);
        relist(std::get<0>(key), std::get<1>(key));
    }
    if (!gone.isEmpty())
        renewSoon();
}

// Each sighting resolves the address of its own family: with either, both
// could come back as the IPv6 one, and the entry would lose the IPv4 address
// players type.
void Discovery::resolve(const SightingKey& key)
{
    const auto& [name, domain, interface, protocol] = key;
    m_sightings[key].retryAt = 0;
    AvahiServiceResolver* resolver = avahi_service_resolver_new(
        m_client, interface, protocol, name.constData(), ServiceType, domain.constData(), protocol,
        AvahiLookupFlags(0), Callbacks::resolve, this);
    const auto sighting = m_sightings.find(key);
    if (!resolver) {
        qCInfo(lcLan, "Cannot resolve the game \"%s\": %s", name.constData(),
               avahi_strerror(avahi_client_errno(m_client)));
        if (sighting != m_sightings.end())
            resolveFailed(key);
        return;
    }
    // A failure told of before the call returned has freed the resolver.
    if (sighting != m_sightings.end() && sighting->retryAt == 0)
        sighting->resolver = resolver;
}

// The game is off the list until a resolve finds it again, at its old
// address or a new one.
void Discovery::resolveFailed(const SightingKey& key)
{
    Sighting& sighting = m_sightings[key];
    sighting.host.clear();
    sighting.address.clear();
    sighting.port = 0;
    const int doublings = std::min(sighting.failures++, 5);
    const int delay = std::min(FirstResolveRetry << doublings, LastResolveRetry);
    sighting.retryAt = m_clock.elapsed() + delay;
    qCInfo(lcLan, "Trying \"%s\" again in %d s", std::get<0>(key).constData(), delay / 1000);
    relist(std::get<0>(key), std::get<1>(key));
    scheduleRetries();
}

void Discovery::scheduleRetries()
{
    qint64 next = 0;
    for (const Sighting& sighting : std::as_const(m_sightings)) {
        if (sighting.retryAt != 0 && (next == 0 || sighting.retryAt < next))
            next = sighting.retryAt;
    }
    if (next == 0)
        m_retry.stop();
    else
        m_retry.start(int(std::max<qint64>(0, next - m_clock.elapsed())));
}

void Discovery::retryDue()
{
    if (!m_client || avahi_client_get_state(m_client) != AVAHI_CLIENT_S_RUNNING)
        return;
    const qint64 now = m_clock.elapsed();
    QList<SightingKey> due;
    for (auto it = m_sightings.cbegin(); it != m_sightings.cend(); ++it) {
        if (it->retryAt != 0 && it->retryAt <= now)
            due.append(it.key());
    }
    for (const SightingKey& key : std::as_const(due)) {
        const auto sighting = m_sightings.constFind(key);
        if (sighting == m_sightings.cend() || sighting->resolver)
            continue;
        qCInfo(lcLan, "Resolving \"%s\" again", std::get<0>(key).constData());
        resolve(key);
    }
    scheduleRetries();
}

void Discovery::publish(const QString& userName, int port)
{
    m_publishing = true;
    m_name = serviceName(userName).toUtf8();
    m_port = port;
    announce();
}

void Discovery::withdraw()
{
    m_publishing = false;
    if (m_group)
        avahi_entry_group_free(m_group);
    m_group = nullptr;
}

// Until the daemon runs there is nothing to do: clientRunning() comes back.
void Discovery::announce()
{
    if (!m_client || avahi_client_get_state(m_client) != AVAHI_CLIENT_S_RUNNING)
        return;
    if (!m_group)
        m_group = avahi_entry_group_new(m_client, Callbacks::group, this);
    if (!m_group) {
        qCInfo(lcLan, "Cannot announce the game: %s", avahi_strerror(avahi_client_errno(m_client)));
        return;
    }
    avahi_entry_group_reset(m_group);
    // A name this daemon already announces is refused at once, one another
    // host has only later (Callbacks::group); either way the next is tried.
    constexpr int MaxRenames = 100;
    for (int renames = 0; renames < MaxRenames; ++renames) {
        const int result = avahi_entry_group_add_service(
            m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), m_name.constData(),
            ServiceType, nullptr, nullptr, uint16_t(m_port), nullptr);
        if (result != AVAHI_ERR_COLLISION) {
            const int committed = result == AVAHI_OK ? avahi_entry_group_commit(m_group) : result;
            if (committed != AVAHI_OK)
                qCInfo(lcLan, "Cannot announce the game as \"%s\": %s", m_name.constData(),
                       avahi_strerror(committed));
            return;
        }
        rename();
    }
}

// "Anna" becomes "Anna #2", "Anna #2" becomes "Anna #3".
void Discovery::rename()
{
    char* next = avahi_alternative_service_name(m_name.constData());
    if (next)
        m_name = next;
    avahi_free(next);
}

// One entry a game, though it may be seen on several interfaces and over
// IPv4 and IPv6: the IPv4 address is the one most players can type and
// reach. One name on two hosts (two networks each with its own "Anna") is two
// games. Only the name whose sighting changed is looked at again.
void Discovery::relist(const QByteArray& name, const QByteArray& domain)
{
    QMap<QByteArray, const Sighting*> best; // by host
    for (auto it = m_sightings.lowerBound({name, domain, INT_MIN, INT_MIN});
         it != m_sightings.cend() && std::get<0>(it.key()) == name &&
         std::get<1>(it.key()) == domain;
         ++it) {
        const Sighting& sighting = it.value();
        if (sighting.address.isNull())
            continue;
        const Sighting*& chosen = best[sighting.host];
        if (!chosen || (sighting.address.protocol() == QAbstractSocket::IPv4Protocol &&
                        chosen->address.protocol() != QAbstractSocket::IPv4Protocol))
            chosen = &sighting;
    }
    // What is listed and no longer so, or listed otherwise, goes first.
    QList<GameKey> gone;
    for (auto it = m_listed.lowerBound({name, domain, QByteArray()});
         it != m_listed.cend() && std::get<0>(it.key()) == name && std::get<1>(it.key()) == domain;
         ++it) {
        if (!best.contains(std::get<2>(it.key())))
            gone.append(it.key());
    }
    for (const GameKey& key : std::as_const(gone))
        hide(m_listed.take(key));
    for (auto it = best.cbegin(); it != best.cend(); ++it) {
        const FoundGame game{plainName(QString::fromUtf8(name)), (*it)->address.toString(),
                             (*it)->port};
        const GameKey key{name, domain, it.key()};
        const auto listed = m_listed.constFind(key);
        if (listed != m_listed.cend() && *listed == game)
            continue;
        if (listed != m_listed.cend())
            hide(*listed);
        m_listed.insert(key, game);
        show(game);
    }
}

void Discovery::forgetGames()
{
    const QMap<GameKey, FoundGame> listed = std::exchange(m_listed, {});
    for (const FoundGame& game : listed)
        hide(game);
}

void Discovery::show(const FoundGame& game)
{
    if (m_shown[{game.name, game.address, game.port}]++ == 0)
        Q_EMIT gameAppeared(game);
}

void Discovery::hide(const FoundGame& game)
{
    const auto shown = m_shown.find({game.name, game.address, game.port});
    if (shown == m_shown.end() || --*shown > 0)
        return;
    m_shown.erase(shown);
    Q_EMIT gameVanished(game);
}

QList<FoundGame> Discovery::games() const
{
    QList<FoundGame> games;
    for (auto it = m_shown.cbegin(); it != m_shown.cend(); ++it)
        games.append({std::get<0>(it.key()), std::get<1>(it.key()), std::get<2>(it.key())});
    std::sort(games.begin(), games.end(), listedBefore);
    return games;
}
