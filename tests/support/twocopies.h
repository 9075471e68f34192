// SPDX-License-Identifier: MIT
#pragma once

#include "app/form1.h"
#include "dialogcontrols.h"
#include "named.h"
#include "recordingplatform.h"
#include "wire/protocol.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTest>
#include <QUuid>

// A port nobody listens on just now.
inline int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One copy of the game, as a player has it.
struct Copy {
    RecordingPlatform platform;
    Form1 form{platform};
    Session& net = form.session;
    DialogControls dialog{form.dialog()};
    Game& game = form.game;
    // The menu items that open the dialog and ask for a chat line.
    QAction* mplay = named<QAction>(form, "mplay");
    QAction* chat = named<QAction>(form, "chat");

    // The router of the network the tests run on is never asked to open a
    // port: that is tried in a sandbox of its own (tst_internetplay).
    Copy() { dialog.router->internet->setChecked(false); }

    // Opens the dialog, hosts or joins on the port, and presses OK.
    void ok(bool asHost, int port, const QString& update = QStringLiteral("20"))
    {
        mplay->trigger();
        dialog.router->internet->setChecked(false);
        (asHost ? dialog.host : dialog.join)->setChecked(true);
        dialog.port->setText(QString::number(port));
        dialog.update->setText(update);
        dialog.cmdOK->click();
    }
    QString status() const { return dialog.status->text(); }
    QStringList log() const { return form.log.text().split(QStringLiteral("\r\n")); }
    bool connected() const { return net.state() == ConnectionState::Connected; }
};

inline bool connectedTo(const QString& status)
{
    return status == QLatin1String("Status: Connected to 127.0.0.1") ||
           status == QLatin1String("Status: Connected to ::1");
}

// Returns once each copy has applied everything the other sent before: a
// chat line each way goes behind all of it on the connection. So a test sees
// that nothing more comes without waiting for a while.
inline void roundTrip(Copy& a, Copy& b)
{
    for (const auto& [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
        const QString marker = QUuid::createUuid().toString();
        from->net.SendData(protocol::chatMessage(marker, QStringLiteral("sync")));
        QTRY_COMPARE(to->game.scene.greenchat.caption(), QStringLiteral("sync: ") + marker);
    }
}
