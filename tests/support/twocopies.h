// SPDX-License-Identifier: MIT
#pragma once

#include "app/form1.h"
#include "net/mplayer.h"
#include "net/multiplayer.h"
#include "net/statusline.h"
#include "recordingplatform.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>

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
    Multiplayer& net = *form.multiplayer;
    mplayer& dialog = net.dialog();
    Game& game = form.game;

    // Opens the dialog, hosts or joins on the port, and presses OK.
    void ok(bool asHost, int port, const QString& update = QStringLiteral("20"))
    {
        form.mplay->trigger();
        (asHost ? dialog.host : dialog.join)->setChecked(true);
        dialog.port->setText(QString::number(port));
        dialog.update->setText(update);
        dialog.cmdOK->click();
    }
    QString status() const { return dialog.status->text(); }
    QStringList log() const { return form.log.text().split(QStringLiteral("\r\n")); }
    bool connected() const { return game.mul.isEnabled(); }
};

inline bool connectedTo(const QString& status)
{
    return status == QLatin1String("Status: Connected to 127.0.0.1") ||
           status == QLatin1String("Status: Connected to ::1");
}
