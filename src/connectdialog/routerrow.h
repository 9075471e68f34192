// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QWidget>

class QCheckBox;
class QPushButton;
class Session;
class StatusLine;

// What the router row says: a short text for its line, and the whole story
// in the tooltip.
struct RouterNews {
    QString text;
    QString toolTip;
    // The router's outside address and port, for the other player; empty
    // unless the router forwards the game's port.
    QString address;
};
RouterNews routerNews(const Session& session);

// The row below the dialog's buttons: whether the home router is asked to
// let players on the internet join while this copy hosts (read when hosting
// starts), and what came of it, with a button that puts the address to give
// the other player on the clipboard. While this copy does not host, it says
// nothing that could be taken for an address.
class RouterRow final : public QWidget {
    Q_OBJECT

public:
    RouterRow(Session& session, QWidget* parent);

    QCheckBox* internet;
    StatusLine* outside;
    QPushButton* cmdCopy;

private:
    void cmdCopy_Click();
    void showNews();

    Session& m_session;
};
