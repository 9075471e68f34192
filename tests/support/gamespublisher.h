// SPDX-License-Identifier: MIT
#pragma once

#include "lan/avahipoll.h"
#include "lan/discovery.h"

#include <QByteArray>
#include <QTimer>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>

#include <vector>

// Another program on the network, through a client of the mDNS daemon of its
// own: announces `count` games, "<prefix> 0", "<prefix> 1", ... on ports
// from 40000 up. churn() then withdraws one every 1000 / count ms and
// announces it again a second later, so each game vanishes and comes back
// every second, each at its own time, while the others stay listed.
class GamesPublisher {
public:
    explicit GamesPublisher(int count, const QByteArray& prefix = "Game")
        : m_count(count)
        , m_prefix(prefix)
    {
        QObject::connect(&m_churn, &QTimer::timeout, [this] {
            const int game = m_next++ % m_count;
            m_shown[game] = !m_shown[game];
            if (m_shown[game])
                announce(game);
            else
                avahi_entry_group_reset(m_groups[game]);
        });
        m_client = avahi_client_new(qtAvahiPoll(), AvahiClientFlags(0), running, this, nullptr);
    }
    ~GamesPublisher()
    {
        if (m_client)
            avahi_client_free(m_client); // and its groups with it
    }
    GamesPublisher(const GamesPublisher&) = delete;
    GamesPublisher& operator=(const GamesPublisher&) = delete;

    void churn() { m_churn.start(1000 / m_count); }

private:
    static void running(AvahiClient* client, AvahiClientState state, void* self)
    {
        auto* publisher = static_cast<GamesPublisher*>(self);
        if (state != AVAHI_CLIENT_S_RUNNING || !publisher->m_groups.empty())
            return;
        for (int i = 0; i < publisher->m_count; ++i) {
            publisher->m_groups.push_back(avahi_entry_group_new(client, nullptr, nullptr));
            publisher->m_shown.push_back(true);
            publisher->announce(i);
        }
    }

    void announce(int game)
    {
        const QByteArray name = m_prefix + ' ' + QByteArray::number(game);
        avahi_entry_group_add_service(m_groups[game], AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                      AvahiPublishFlags(0), name.constData(),
                                      Discovery::ServiceType, nullptr, nullptr,
                                      uint16_t(40000 + game), nullptr);
        avahi_entry_group_commit(m_groups[game]);
    }

    int m_count;
    QByteArray m_prefix;
    AvahiClient* m_client = nullptr;
    std::vector<AvahiEntryGroup*> m_groups;
    std::vector<bool> m_shown;
    QTimer m_churn;
    int m_next = 0;
};
