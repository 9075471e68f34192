// SPDX-License-Identifier: MIT
#include "routerrow.h"

#include "session/session.h"
#include "statusline.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QPushButton>

namespace {

QString forwardByHand(const Session& session, const PortMapping* router)
{
    const QString port = QString::number(session.sock.LocalPort);
    const QString to = router && !router->localAddress().isNull()
                           ? router->localAddress().toString()
                           : QStringLiteral("this computer's address");
    return QStringLiteral("To let players on the internet join, forward TCP port %1 on your "
                          "router to %2, or let the other player host.")
        .arg(port, to);
}

} // namespace

RouterNews routerNews(const Session& session)
{
    if (!session.isHosting())
        return {};
    const PortMapping* router = session.router();
    const QString thisNetwork = QStringLiteral("this network only");
    if (!session.asksRouter() || !router)
        return {thisNetwork,
                QStringLiteral("The router was not asked to open the port: only players on this "
                               "network can join. ") +
                    forwardByHand(session, router),
                {}};
    switch (router->state()) {
    case PortMapping::State::Off:
    case PortMapping::State::Asking:
        return {QStringLiteral("opening the port on the router\u2026"),
                QStringLiteral("Asking the router to let players on the internet join."),
                {}};
    case PortMapping::State::Mapped: {
        const QString address = router->outsideAddress().toString() + QLatin1Char(':') +
                                QString::number(router->outsidePort());
        return {address,
                QStringLiteral("Players on the internet join at %1: give them this address.")
                    .arg(address),
                address};
    }
    case PortMapping::State::NoRouter:
        return {thisNetwork,
                QStringLiteral("No router answered: only players on this network can join. ") +
                    forwardByHand(session, router),
                {}};
    case PortMapping::State::Refused:
        return {QStringLiteral("the router refused the port"),
                QStringLiteral("The router answered, but would not forward the port (%1): only "
                               "players on this network can join. ")
                        .arg(router->reason()) +
                    forwardByHand(session, router),
                {}};
    case PortMapping::State::NoUsableAddress:
        return {QStringLiteral("router gave no usable address"),
                QStringLiteral("The router answered, but gave no outside address players on the "
                               "internet could join at: only players on this network can join. ") +
                    forwardByHand(session, router),
                {}};
    case PortMapping::State::BehindSecondRouter: {
        const QHostAddress outside = router->outsideAddress();
        const QString behind = outside.isNull() ? QStringLiteral("a second router")
                                                : outside.toString();
        return {QStringLiteral("behind ") + behind,
                QStringLiteral("The router's outside address%1 is not on the internet: the game "
                               "sits behind a second router or the provider's NAT, and players "
                               "outside cannot join. Let the other player host.")
                    .arg(outside.isNull() ? QString()
                                          : QStringLiteral(", ") + outside.toString() +
                                                QLatin1Char(',')),
                {}};
    }
    }
    return {};
}

RouterRow::RouterRow(Session& session, QWidget* parent)
    : QWidget(parent)
    , internet(new QCheckBox(QStringLiteral("&Internet:"), this))
    , outside(new StatusLine(this))
    , cmdCopy(new QPushButton(QStringLiteral("Co&py"), this))
    , m_session(session)
{
    internet->setGeometry(8, 5, 66, 17);
    internet->setChecked(true);
    internet->setToolTip(QStringLiteral(
        "While hosting, ask the home router to let players on the internet join. Off: only "
        "players on this network can join."));
    outside->setGeometry(74, 5, 126, 17);
    outside->setTextFormat(Qt::PlainText);
    outside->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    cmdCopy->setGeometry(204, 2, 49, 23);
    cmdCopy->setAutoDefault(false);
    cmdCopy->setToolTip(QStringLiteral("Copy the address to give the other player"));

    connect(cmdCopy, &QPushButton::clicked, this, &RouterRow::cmdCopy_Click);
    connect(&m_session, &Session::routerChanged, this, &RouterRow::showNews);
    connect(&m_session, &Session::stateChanged, this, &RouterRow::showNews);
    showNews();
}

void RouterRow::showNews()
{
    const RouterNews news = routerNews(m_session);
    outside->setText(news.text);
    outside->setToolTip(news.toolTip);
    cmdCopy->setEnabled(!news.address.isEmpty());
}

void RouterRow::cmdCopy_Click()
{
    const QString address = routerNews(m_session).address;
    if (!address.isEmpty())
        QGuiApplication::clipboard()->setText(address);
}
