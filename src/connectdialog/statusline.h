// SPDX-License-Identifier: MIT
#pragma once

#include <QLabel>

// A one-line label that shows as much of its text as fits, ending in "…",
// and the whole text in its tooltip when it does not fit: a status such as
// "Cannot find" and a long host name is still there to read in full. A
// tooltip of its own follows the whole text there.
class StatusLine final : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;

    // The text as it is drawn.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};
