// SPDX-License-Identifier: MIT
#include "hostandport.h"

#include <QHostAddress>

namespace {

bool isPort(const QString& text)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text) {
        if (!c.isDigit() || c.unicode() > '9')
            return false;
    }
    return true;
}

} // namespace

std::optional<HostAndPort> splitHostAndPort(const QString& text)
{
    const QString address = text.trimmed();
    if (address.startsWith(QLatin1Char('['))) {
        const qsizetype end = address.indexOf(QLatin1String("]:"));
        if (end < 0 || !isPort(address.mid(end + 2)))
            return std::nullopt;
        return HostAndPort{address.left(end + 1), address.mid(end + 2)};
    }
    if (address.count(QLatin1Char(':')) != 1)
        return std::nullopt; // none, or an IPv6 address without brackets
    const qsizetype colon = address.indexOf(QLatin1Char(':'));
    if (colon == 0 || !isPort(address.mid(colon + 1)))
        return std::nullopt;
    return HostAndPort{address.left(colon), address.mid(colon + 1)};
}
