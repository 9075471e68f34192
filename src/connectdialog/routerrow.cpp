// SPDX-License-Identifier: MIT
#include "routerrow.h"

#include "session/session.h"
#include "statusline.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QPushButton>

RouterRow::RouterRow(Session& session, QWidget* parent)
    : QWidget(parent)
    , internet(new QCheckBox(QStringLiteral("&Internet:"), this))
    , outside(new StatusLine(this))
    , cmdCopy(new QPushButton(QStringLiteral("Co&py"), this))
    , m_session(session)
{
    internet->setGeometry(8, 5, 66, 17);
    internet->setChecked(true);
    internet->setToolTip(QStringLiteral(
        "While hosting, ask the home router to let players on the internet join. Off: only "
        "players on this network can join."));
    outside->setGeometry(74, 5, 126, 17);
    outside->setTextFormat(Qt::PlainText);
    outside->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    cmdCopy->setGeometry(204, 2, 49, 23);
    cmdCopy->setAutoDefault(false);
    cmdCopy->setToolTip(QStringLiteral("Copy the address to give the other player"));

    connect(cmdCopy, &QPushButton::clicked, this, &RouterRow::cmdCopy_Click);
    connect(&m_session, &Session::reachChanged, this, &RouterRow::showReach);
    showReach(m_session.reach());
}

void RouterRow::showReach(const Reach& reach)
{
    outside->setText(reach.text);
    outside->setToolTip(reach.toolTip);
    cmdCopy->setEnabled(!reach.address.isEmpty());
}

void RouterRow::cmdCopy_Click()
{
    const QString address = m_session.reach().address;
    if (!address.isEmpty())
        QGuiApplication::clipboard()->setText(address);
}
