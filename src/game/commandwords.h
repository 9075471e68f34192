// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <algorithm>
#include <array>

// The thirteen words the console knows and the command inbox carries out.
// Matching is exact: no trimming, no case folding.
inline bool isCommandWord(const QString& text)
{
    static const std::array<QString, 13> words{
        QStringLiteral("jump"),     QStringLiteral("godown"), QStringLiteral("goright"),
        QStringLiteral("goleft"),   QStringLiteral("goup"),   QStringLiteral("closedoor"),
        QStringLiteral("opendoor"), QStringLiteral("quit"),   QStringLiteral("exit"),
        QStringLiteral("newgame"),  QStringLiteral("gotkey"), QStringLiteral("win"),
        QStringLiteral("die")};
    return std::find(words.begin(), words.end(), text) != words.end();
}
