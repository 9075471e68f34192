// SPDX-License-Identifier: MIT
#include "reach.h"

#include "lan/destinations.h"
#include "router/portmapping.h"

namespace {

QString forwardByHand(const PortMapping* router, int port)
{
    const QString to = router && !router->localAddress().isNull()
                           ? router->localAddress().toString()
                           : QStringLiteral("this computer's address");
    return QStringLiteral("To let players on the internet join, forward TCP port %1 on your "
                          "router to %2, or let the other player host.")
        .arg(QString::number(port), to);
}

// What the IPv4 forward alone would make of the row.
Reach forwardReach(const PortMapping& router, int port)
{
    const QString thisNetwork = QStringLiteral("this network only");
    switch (router.state()) {
    case PortMapping::State::Off:
    case PortMapping::State::Asking:
        return {QStringLiteral("opening the port on the router\u2026"),
                QStringLiteral("Asking the router to let players on the internet join."),
                {}};
    case PortMapping::State::Mapped: {
        const QString address = withPort(router.outsideAddress(), router.outsidePort());
        return {address,
                QStringLiteral("Players on the internet join at %1: give them this address.")
                    .arg(address),
                address};
    }
    case PortMapping::State::NoRouter:
        return {thisNetwork,
                QStringLiteral("No router answered: only players on this network can join. ") +
                    forwardByHand(&router, port),
                {}};
    case PortMapping::State::Refused:
        return {QStringLiteral("the router refused the port"),
                QStringLiteral("The router answered, but would not forward the port (%1): only "
                               "players on this network can join. ")
                        .arg(router.reason()) +
                    forwardByHand(&router, port),
                {}};
    case PortMapping::State::NoUsableAddress:
        return {QStringLiteral("router gave no usable address"),
                QStringLiteral("The router answered, but gave no outside address players on the "
                               "internet could join at: only players on this network can join. ") +
                    forwardByHand(&router, port),
                {}};
    case PortMapping::State::BehindSecondRouter: {
        const QHostAddress outside = router.outsideAddress();
        const QString behind =
            outside.isNull() ? QStringLiteral("a second router") : outside.toString();
        return {QStringLiteral("behind ") + behind,
                QStringLiteral("The router's outside address%1 is not on the internet: the game "
                               "sits behind a second router or the provider's NAT, and players "
                               "outside cannot join. Let the other player host.")
                    .arg(outside.isNull()
                             ? QString()
                             : QStringLiteral(", ") + outside.toString() + QLatin1Char(',')),
                {}};
    }
    }
    return {};
}

} // namespace

// Every address that works, IPv4 first, as the other player pastes them:
// the row and the tooltip also say what each needs.
Reach reachOf(const PortMapping* router, int port)
{
    if (!router)
        return {QStringLiteral("this network only"),
                QStringLiteral("The router was not asked to open the port: only players on this "
                               "network can join. ") +
                    forwardByHand(router, port),
                {}};
    const Reach forward = forwardReach(*router, port);
    const PortMapping::State pinhole = router->pinholeState();
    if (pinhole == PortMapping::State::Off)
        return forward;
    const QString v6 = withPort(
        pinhole == PortMapping::State::Mapped ? router->pinholeAddress() : router->globalAddress(),
        pinhole == PortMapping::State::Mapped ? router->pinholePort() : router->port());
    const QString needsIpv6 =
        QStringLiteral("At %1 players join over IPv6: the other player needs IPv6 too.").arg(v6);
    if (pinhole == PortMapping::State::Asking) {
        if (!forward.address.isEmpty())
            return forward; // and the pinhole shows when it is open
        return {QStringLiteral("opening the port on the router\u2026"),
                QStringLiteral("Asking the router to let players on the internet join."),
                {}};
    }
    if (pinhole == PortMapping::State::Mapped) {
        if (!forward.address.isEmpty())
            return {forward.address + QStringLiteral("  ") + v6,
                    QStringLiteral("Players on the internet join at %1, over IPv4. %2 Copy puts "
                                   "both on the clipboard: the other player's game tries each.")
                        .arg(forward.address, needsIpv6),
                    forward.address + QLatin1Char(' ') + v6};
        return {v6, needsIpv6 + QLatin1Char(' ') + QStringLiteral("Over IPv4: ") + forward.toolTip,
                v6};
    }
    // No pinhole could be had; a router with no IPv6 firewall lets players
    // in all the same.
    const QString mayBeBlocked =
        QStringLiteral("%1 may be blocked by the router's firewall (%2). %3")
            .arg(v6,
                 router->pinholeReason().isEmpty() ? QStringLiteral("it did not answer")
                                                   : router->pinholeReason(),
                 QStringLiteral("If it is not, the other player needs IPv6 too."));
    if (!forward.address.isEmpty())
        return {forward.text, forward.toolTip + QLatin1Char(' ') + mayBeBlocked, forward.address};
    return {v6 + QStringLiteral(", may be blocked by the router's firewall"),
            mayBeBlocked + QStringLiteral(" Over IPv4: ") + forward.toolTip, v6};
}

// An invitation works where no address does: the row says so when it is
// the only way in.
Reach withInvitation(Reach reach, const QString& invitation, const QString& trouble)
{
    if (!trouble.isEmpty()) {
        reach.toolTip += QStringLiteral(" No invitation could be made: ") + trouble;
        return reach;
    }
    if (invitation.isEmpty())
        return reach;
    reach.invitation = invitation;
    const QString answerBelow =
        QStringLiteral("The invitation shows this computer's public address to whoever reads "
                       "it. Paste your friend's answer in the field below.");
    if (reach.address.isEmpty()) {
        reach.text = QStringLiteral("Copy invites: ") + reach.text;
        reach.toolTip = QStringLiteral("A friend on the internet can still join: Copy puts an "
                                       "invitation on the clipboard. Send it to your friend, "
                                       "whose game answers it. ") +
                        answerBelow + QStringLiteral(" Without it: ") + reach.toolTip;
        reach.address = invitation;
    } else {
        reach.toolTip += QStringLiteral(" Copy also puts an invitation on the clipboard, for a "
                                        "friend whose game cannot reach those addresses. ") +
                         answerBelow;
        reach.address += QLatin1Char(' ') + invitation;
    }
    return reach;
}
