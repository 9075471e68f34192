// SPDX-License-Identifier: MIT
#include "statusline.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

QString StatusLine::shownText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

// A text that fits is drawn as any label's, so it can be selected.
void StatusLine::paintEvent(QPaintEvent* event)
{
    if (shownText() == text()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(),
                          shownText(), foregroundRole());
}

bool StatusLine::event(QEvent* event)
{
    if (event->type() != QEvent::ToolTip || shownText() == text())
        return QLabel::event(event);
    const QString whole =
        toolTip().isEmpty() ? text() : text() + QStringLiteral("\n\n") + toolTip();
    QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), whole, this);
    return true;
}
