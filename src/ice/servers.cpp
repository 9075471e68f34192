// SPDX-License-Identifier: MIT
#include "icelink.h"
#include "icelog.h"

#include <QSettings>
#include <QUrl>

namespace ice {

QList<StunServer> readStunServers(QStringView text)
{
    QList<StunServer> servers;
    const auto entries = text.toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& entry : entries) {
        const QUrl url(QStringLiteral("stun://") + entry, QUrl::StrictMode);
        const int port = url.port(3478);
        if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() ||
            !url.path().isEmpty() || url.hasQuery() || url.hasFragment() || port <= 0) {
            qCWarning(lcIce) << "KORVALOOP_STUN: no server:" << entry;
            continue;
        }
        if (servers.size() == MaxStunServers) {
            qCWarning(lcIce, "KORVALOOP_STUN: only the first %d servers are used", MaxStunServers);
            break;
        }
        servers.append({url.host(), quint16(port)});
    }
    return servers;
}

std::optional<TurnServer> readTurnServer(QStringView text)
{
    text = text.trimmed();
    if (!text.startsWith(QLatin1String("turn:")))
        return std::nullopt;
    const QUrl url(QStringLiteral("turn://") + text.sliced(5).toString(), QUrl::StrictMode);
    const int port = url.port(3478);
    if (!url.isValid() || url.host().isEmpty() || url.userName().isEmpty() ||
        url.password().isEmpty() || !url.path().isEmpty() || url.hasQuery() || url.hasFragment() ||
        port <= 0)
        return std::nullopt;
    return TurnServer{url.host(), quint16(port), url.userName(), url.password()};
}

IceLink::Options IceLink::Options::fromEnvironment()
{
    Options options;
    options.stunServers = readStunServers(qEnvironmentVariable("KORVALOOP_STUN"));
    const QString turn = qEnvironmentVariable("KORVALOOP_TURN");
    if (!turn.isEmpty()) {
        options.turnServer = readTurnServer(turn);
        if (!options.turnServer)
            qCWarning(lcIce, "KORVALOOP_TURN is not turn:USER:PASSWORD@HOST:PORT; no relay");
    }
    return options;
}

IceLink::Options IceLink::Options::fromSettings()
{
    Options options;
    const QSettings settings(QStringLiteral("korvaloop"), QStringLiteral("korvaloop"));
    const QString stun =
        qEnvironmentVariableIsSet("KORVALOOP_STUN")
            ? qEnvironmentVariable("KORVALOOP_STUN")
            : settings.value(QStringLiteral("ice/stunServers"), QString(DefaultStunServers))
                  .toString();
    options.stunServers = readStunServers(stun);
    const QString turn = qEnvironmentVariableIsSet("KORVALOOP_TURN")
                             ? qEnvironmentVariable("KORVALOOP_TURN")
                             : settings.value(QStringLiteral("ice/turnServer")).toString();
    if (!turn.trimmed().isEmpty()) {
        options.turnServer = readTurnServer(turn);
        if (!options.turnServer)
            qCWarning(lcIce, "the TURN server is not turn:USER:PASSWORD@HOST:PORT; no relay");
    }
    return options;
}

} // namespace ice
