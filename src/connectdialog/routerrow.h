// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QWidget>

class QCheckBox;
class QPushButton;
class Session;
class StatusLine;
struct Reach;

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
    void showReach(const Reach& reach);

    Session& m_session;
};
