// SPDX-License-Identifier: MIT
#include "icelog.h"
#include "link.h"

#include <QCoreApplication>
#include <QDir>
#include <QPluginLoader>

namespace ice {

std::unique_ptr<Link> makeLink(Link::Role role, const Link::Options& options, Link::Events events,
                               QString* why)
{
    // Beside the program's own folder (bin/ or games/), as installed and as
    // built: lib/korvaloop/plugins/. Loaded once, and kept.
    static LinkFactory* factory = nullptr;
    static QString failure;
    if (!factory && failure.isEmpty()) {
        const QString path = QDir(QCoreApplication::applicationDirPath())
                                 .filePath(QStringLiteral(KORVALOOP_ICE_DRIVER));
        QPluginLoader loader(path);
        factory = qobject_cast<LinkFactory*>(loader.instance());
        if (factory) {
            qCInfo(lcIce, "ICE through %s", qPrintable(path));
        } else {
            failure = loader.errorString();
            qCWarning(lcIce, "Invitations cannot be used: %s", qPrintable(failure));
        }
    }
    if (!factory) {
        if (why)
            *why = QStringLiteral("Invitations are unavailable: the game's ICE plug-in could "
                                  "not be loaded (") +
                   failure + QLatin1Char(')');
        return nullptr;
    }
    return std::unique_ptr<Link>(factory->makeLink(role, options, std::move(events)));
}

} // namespace ice
