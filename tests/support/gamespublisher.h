// SPDX-License-Identifier: MIT
#pragma once

#include "lan/avahipoll.h"
#include "lan/discovery.h"

#include <QByteArray>
#include <QHostAddress>
#include <QTimer>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>

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

// Another machine on one network (an interface index, or all of them): one
// game under its own host name, and the address record of that name apart
// from it, as a slow device answers for its address late (Wi-Fi power
// saving) and a device that moves changes it.
class HostOnLink {
public:
    HostOnLink(const QByteArray& host, int interface = AVAHI_IF_UNSPEC)
        : m_host(host)
        , m_interface(interface)
    {
        m_client = avahi_client_new(qtAvahiPoll(), AvahiClientFlags(0), running, this, nullptr);
    }
    ~HostOnLink()
    {
        if (m_client)
            avahi_client_free(m_client); // and its groups with it
    }
    HostOnLink(const HostOnLink&) = delete;
    HostOnLink& operator=(const HostOnLink&) = delete;

    void announce(const QByteArray& name, int port)
    {
        m_name = name;
        m_port = port;
        update();
    }
    // A null address withdraws the record.
    void setAddress(const QHostAddress& address)
    {
        m_address = address;
        update();
    }

private:
    static void running(AvahiClient* client, AvahiClientState state, void* self)
    {
        auto* host = static_cast<HostOnLink*>(self);
        host->m_client = client;
        if (state == AVAHI_CLIENT_S_RUNNING)
            host->update();
    }

    void update()
    {
        if (!m_client || avahi_client_get_state(m_client) != AVAHI_CLIENT_S_RUNNING)
            return;
        if (!m_service && !m_name.isEmpty()) {
            m_service = avahi_entry_group_new(m_client, nullptr, nullptr);
            avahi_entry_group_add_service(
                m_service, m_interface, AVAHI_PROTO_INET, AvahiPublishFlags(0), m_name.constData(),
                Discovery::ServiceType, nullptr, m_host.constData(), uint16_t(m_port), nullptr);
            avahi_entry_group_commit(m_service);
        }
        if (!m_addressRecord)
            m_addressRecord = avahi_entry_group_new(m_client, nullptr, nullptr);
        avahi_entry_group_reset(m_addressRecord);
        AvahiAddress address;
        if (!m_address.isNull() && avahi_address_parse(m_address.toString().toLatin1().constData(),
                                                       AVAHI_PROTO_INET, &address)) {
            // No reverse record: the daemon's own host name has that.
            avahi_entry_group_add_address(m_addressRecord, m_interface, AVAHI_PROTO_INET,
                                          AVAHI_PUBLISH_NO_REVERSE, m_host.constData(), &address);
            avahi_entry_group_commit(m_addressRecord);
        }
    }

    QByteArray m_host;
    int m_interface;
    QByteArray m_name;
    int m_port = 0;
    QHostAddress m_address;
    AvahiClient* m_client = nullptr;
    AvahiEntryGroup* m_service = nullptr;
    AvahiEntryGroup* m_addressRecord = nullptr;
};
