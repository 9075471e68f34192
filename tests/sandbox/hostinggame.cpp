// SPDX-License-Identifier: MIT
// A copy of the game as a player starts it, for what only a whole program
// shows: hosting on PORT with the router asked, the end it comes to on
// SIGTERM or the console's "quit"; or joining ADDRESSES (as pasted into the
// address field) from another network. It writes what the router row says
// to stdout, a line each time it changes, and "listening" once it listens;
// each status the dialog shows, and "peer X Y" each time the other player's
// figure moves; "invitation CODE" each time the row offers a new one, and
// "answer CODE" once a join through an invitation has answered it. Each line
// on its stdin is typed into the console as a command word, but for
// "answer CODE", which is pasted into the answer's field with Return:
//   hostinggame PORT
//   hostinggame join ADDRESSES PORT
#include "app/form1.h"
#include "console/console.h"
#include "dialogcontrols.h"
#include "platform/qtplatform.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const bool joining = argc == 4 && qstrcmp(argv[1], "join") == 0;
    if (argc != 2 && !joining)
        return 2;
    QtPlatform platform;
    Form1 form(platform);
    form.endWith(platform);
    form.show();

    DialogControls dialog{form.dialog()};
    const auto say = [](const QString& line) {
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    };
    QString invitation;
    QObject::connect(&form.session, &Session::reachChanged, [&](const Reach& reach) {
        say(reach.text);
        if (reach.invitation != invitation && !reach.invitation.isEmpty())
            say(QStringLiteral("invitation ") + reach.invitation);
        invitation = reach.invitation;
    });
    QObject::connect(&form.session, &Session::answerChanged, [&](const QString& answer) {
        if (!answer.isEmpty())
            say(QStringLiteral("answer ") + answer);
    });
    QObject::connect(&form.session, &Session::statusChanged, say);
    QPoint peer = form.game.scene.guyrm.box().topLeft();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QPoint now = form.game.scene.guyrm.box().topLeft();
        if (now != peer)
            say(QStringLiteral("peer %1 %2").arg(now.x()).arg(now.y()));
        peer = now;
    });
    watch.start(10);
    named<QAction>(form, "mplay")->trigger();
    dialog.update->setText(QStringLiteral("20"));
    if (joining) {
        dialog.join->setChecked(true);
        dialog.adress->setEditText(QString::fromLocal8Bit(argv[2]));
        dialog.port->setText(QString::fromLocal8Bit(argv[3]));
    } else {
        dialog.host->setChecked(true);
        dialog.router->internet->setChecked(true);
        dialog.port->setText(QString::fromLocal8Bit(argv[1]));
    }
    dialog.cmdOK->click();
    if (form.session.state() == ConnectionState::Listening)
        say(QStringLiteral("listening"));
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray typed;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char bytes[256];
        const ssize_t size = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (size <= 0) {
            input.setEnabled(false);
            return;
        }
        typed.append(bytes, size);
        for (qsizetype end; (end = typed.indexOf('\n')) >= 0; typed.remove(0, end + 1)) {
            const QString line = QString::fromUtf8(typed.left(end));
            if (line.startsWith(QLatin1String("answer "))) {
                dialog.answerRow->answer->setText(line.sliced(7));
                dialog.cmdOK->click(); // as Return in the field does
            } else {
                // Through the console's command line, as a player types it:
                // the console tells the other player and the game carries
                // it out here (the game's own queue tells no one).
                QLineEdit* command =
                    form.console().findChild<QLineEdit*>(QStringLiteral("command"));
                command->setText(line);
                Q_EMIT command->returnPressed();
            }
        }
    });
    return QApplication::exec();
}
