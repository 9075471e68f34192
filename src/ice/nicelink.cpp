// SPDX-License-Identifier: MIT
// The plug-in ice-nice.so: IceLink, over libnice, behind the game's Link.
#include "icelink.h"
#include "link.h"

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QPointer>

namespace ice {
namespace {

class NiceLink final : public Link {
public:
    NiceLink(Role role, const Options& options, Events events)
        : m_link(new IceLink(role, options))
    {
        IceLink* link = m_link;
        m_reports = {
            QObject::connect(link, &IceLink::gathered, link, std::move(events.gathered)),
            QObject::connect(link, &IceLink::connected, link, std::move(events.connected)),
            QObject::connect(link, &IceLink::failed, link, std::move(events.failed)),
        };
    }
    ~NiceLink() override
    {
        silence();
        delete m_link.data();
    }

    void start() override { m_link->start(); }
    QString takeRemoteCode(const QString& text) override { return m_link->takeRemoteCode(text); }
    Role role() const override { return m_link->role(); }
    Stage stage() const override { return m_link->stage(); }
    Path path() const override { return m_link->path(); }
    QString localCode() const override { return m_link->localCode(); }
    QString remoteAddress() const override { return m_link->remoteAddress(); }
    void dispose() override
    {
        silence();
        if (IceLink* link = m_link.data()) {
            link->close();
            link->deleteLater();
        }
        m_link.clear();
        delete this;
    }

private:
    void silence()
    {
        for (const QMetaObject::Connection& report : std::as_const(m_reports))
            QObject::disconnect(report);
        m_reports.clear();
    }

    QPointer<IceLink> m_link;
    QList<QMetaObject::Connection> m_reports;
};

} // namespace

class NiceLinkFactory final : public QObject, public LinkFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID KorvaloopIceLinkFactory_iid)
    Q_INTERFACES(ice::LinkFactory)

public:
    Link* makeLink(Link::Role role, const Link::Options& options, Link::Events events) override
    {
        return new NiceLink(role, options, std::move(events));
    }
};

} // namespace ice

#include "nicelink.moc"
