// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
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
    QString name;    // the host's user name
    QString address; // as typed into the address field: no brackets
    int port = 0;

    // What the address list shows: "Anna – 192.168.1.23:2539", an IPv6
    // address in brackets.
    QString entryText() const;

    friend bool operator==(const FoundGame&, const FoundGame&) = default;
};

// The user name as a DNS-SD service name: one line, at most 63 bytes of
// UTF-8, never empty.
QString serviceName(const QString& userName);

// Finds the other copies' games on the network and announces this copy's
// while it hosts, through the desktop's mDNS daemon (Avahi) over D-Bus. All
// of it runs in the event loop; without a daemon or a bus it does nothing
// and says nothing, and it picks the daemon up once one runs.
class Discovery final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* ServiceType = "_korvaloop._tcp";

    explicit Discovery(QObject* parent = nullptr);
    ~Discovery() override;

    // Announces the game on `port` under the user name until withdraw(). A
    // name another game has already becomes "Anna #2", "Anna #3", ...
    void publish(const QString& userName, int port);
    void withdraw();

    // The other copies' games, by name; this copy's own is never among them.
    const QList<FoundGame>& games() const { return m_games; }

Q_SIGNALS:
    void gamesChanged();

private:
    // One sighting of a service: the same game is seen once per interface
    // and IP version it is announced on.
    struct Sighting {
        AvahiServiceResolver* resolver = nullptr;
        QHostAddress address;
        int port = 0;
    };
    // interface, protocol, name, domain
    using SightingKey = std::tuple<int, int, QByteArray, QByteArray>;

    // Avahi's callbacks, which need its headers; defined beside the code.
    struct Callbacks;
    static constexpr int RetryInterval = 3000; // ms, when there was no bus to talk to

    void connectToDaemon();
    void disconnectFromDaemon();
    void restartSoon(int milliseconds);
    void clientRunning();
    void announce();
    void rename();
    void listGames();

    AvahiClient* m_client = nullptr;
    AvahiServiceBrowser* m_browser = nullptr;
    AvahiEntryGroup* m_group = nullptr;
    QTimer m_restart;

    bool m_publishing = false;
    QByteArray m_name; // as announced, after any renaming for a clash
    int m_port = 0;

    QMap<SightingKey, Sighting> m_sightings;
    QList<FoundGame> m_games;
};
