// SPDX-License-Identifier: MIT
#pragma once

#include <QFont>
#include <QGlyphRun>
#include <QMultiMap>
#include <QString>
#include <QTextLayout>

// A line of text as a player reads it on the screen: its characters in the
// order they are drawn from left to right, after the text's direction has
// had its say. Format characters, which draw nothing, are left out.
inline QString onScreen(const QString& text, const QFont& font = QFont())
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setTextDirection(Qt::LeftToRight);
    layout.setTextOption(option);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    QMultiMap<qreal, QChar> drawn;
    for (int i = 0; i < text.size(); ++i) {
        if (text[i].category() == QChar::Other_Format)
            continue;
        for (const QGlyphRun& run : layout.glyphRuns(i, 1)) {
            if (!run.positions().isEmpty()) {
                drawn.insert(run.positions().first().x(), text[i]);
                break;
            }
        }
    }
    QString shown;
    for (const QChar c : drawn)
        shown.append(c);
    return shown;
}
