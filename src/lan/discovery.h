// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <tuple>

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;

// A game that another copy hosts on the network.
struct FoundGame {
    QString name;    // the host's user name, as plainName() leaves it
    QString address; // as typed into the address field: no brackets
    int port = 0;

    // What the address list shows: "Anna – 192.168.1.23:2539", an IPv6
    // address in brackets. The name and the address are each set apart for
    // the text's direction, so that a name written right to left stays at
    // the left and the address always reads left to right after it.
    QString entryText() const;

    friend bool operator==(const FoundGame&, const FoundGame&) = default;
};

// The order of the address list: by name, then by address.
bool listedBefore(const FoundGame& a, const FoundGame& b);

// A name from the network or the user name field as only a name: one line,
// and none of the characters that would turn the text after it around.
QString plainName(const QString& name);

// The user name as a DNS-SD service name: a plain name of at most 63 bytes
// of UTF-8, never empty.
QString serviceName(const QString& userName);

// Finds the other copies' games on the network and announces this copy's
// while it hosts, through the desktop's mDNS daemon (Avahi) over D-Bus. All
// of it runs in the event loop; without a daemon or a bus it does nothing
// and says nothing (but to the log, korvaloop.lan), and it picks the daemon
// up once one runs.
class Discovery final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* ServiceType = "_korvaloop._tcp";
    // Games seen at the most, counted once per interface and IP version they
    // are seen on; what a network announces beyond them is not listed until
    // games listed leave.
    static constexpr qsizetype MaxSightings = 256;

    explicit Discovery(QObject* parent = nullptr);
    ~Discovery() override;

    // Announces the game on `port` under the user name until withdraw(). A
    // name another game has already becomes "Anna #2", "Anna #3", ...
    void publish(const QString& userName, int port);
    void withdraw();

    // The other copies' games, in the order of the list; this copy's own is
    // never among them.
    QList<FoundGame> games() const;

Q_SIGNALS:
    // One game at a time, so a list of them changes only where it changed.
    // A game that moves to another address or port vanishes and appears; one
    // whose address is gone vanishes until a resolve finds it again.
    void gameAppeared(const FoundGame& game);
    void gameVanished(const FoundGame& game);

private:
    // One sighting of a service: the same game is seen once per interface
    // and IP version it is announced on.
    struct Sighting {
        AvahiServiceResolver* resolver = nullptr;
        QByteArray host; // the host name it resolved to; empty while unresolved
        QHostAddress address;
        int port = 0;
        int failures = 0;   // resolves that failed since the last one found it
        qint64 retryAt = 0; // ms on m_clock when a failed resolve is tried again; 0: none due
        int browserGeneration = 0; // the browser that saw it last
    };
    // name, domain, interface, protocol: a game's sightings stand together.
    using SightingKey = std::tuple<QByteArray, QByteArray, int, int>;
    // name, domain, host: one name on two hosts is two games.
    using GameKey = std::tuple<QByteArray, QByteArray, QByteArray>;

    // Avahi's callbacks, which need its headers; defined beside the code.
    struct Callbacks;
    static constexpr int RetryInterval = 3000; // ms, when there was no bus to talk to
    // A resolve that failed is tried again after 2 s, then 4, 8, ... at most
    // a minute apart, while the game is announced: a host may answer late.
    static constexpr int FirstResolveRetry = 2000; // ms
    static constexpr int LastResolveRetry = 60000; // ms
    // How soon the browser is made anew once a game turned away for
    // MaxSightings may fit: leaves that come together are taken at once.
    static constexpr int RenewDelay = 1000;   // ms
    static constexpr int RenewSpacing = 5000; // ms at least between two

    void connectToDaemon();
    void disconnectFromDaemon();
    void restartSoon(int milliseconds);
    void clientRunning();
    void browse();
    void renewSoon();
    void renewBrowser();
    void dropUnseen();
    void resolve(const SightingKey& key);
    void resolveFailed(const SightingKey& key);
    void scheduleRetries();
    void retryDue();
    void announce();
    void rename();
    void relist(const QByteArray& name, const QByteArray& domain);
    void forgetGames();
    void show(const FoundGame& game);
    void hide(const FoundGame& game);

    AvahiClient* m_client = nullptr;
    AvahiServiceBrowser* m_browser = nullptr;
    AvahiEntryGroup* m_group = nullptr;
    QTimer m_restart;
    QTimer m_retry;
    QTimer m_renew;
    QElapsedTimer m_clock;
    // Made anew by renewBrowser(); counts the browsers made.
    int m_browserGeneration = 0;
    // Whether this browser announced games that were not followed for
    // MaxSightings.
    bool m_turnedAway = false;
    qint64 m_lastRenewal = -RenewSpacing; // ms on m_clock

    bool m_publishing = false;
    QByteArray m_name; // as announced, after any renaming for a clash
    int m_port = 0;

    QMap<SightingKey, Sighting> m_sightings;
    // The game listed for each name and host: the best of its sightings.
    QMap<GameKey, FoundGame> m_listed;
    // How many names list each game: two domains may announce the same one.
    QMap<std::tuple<QString, QString, int>, int> m_shown;
};
