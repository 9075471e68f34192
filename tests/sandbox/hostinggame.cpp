// SPDX-License-Identifier: MIT
// A copy of the game as a player starts it, hosting on PORT with the router
// asked, for what only a whole program shows: the end it comes to on
// SIGTERM. It writes what the router row says to stdout, a line each time
// it changes, and "listening" once it listens:
//   hostinggame PORT
#include "app/form1.h"
#include "connectdialog/mplayer.h"
#include "connectdialog/routerrow.h"
#include "connectdialog/statusline.h"
#include "platform/qtplatform.h"
#include "platform/termination.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 2)
        return 2;
    QtPlatform platform;
    Form1 form(platform);
    closeOnTermination(&form);
    form.show();

    mplayer& dialog = form.dialog();
    const auto say = [](const QString& line) {
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    };
    QObject::connect(&form.session, &Session::routerChanged, [&] {
        say(routerNews(form.session).text);
    });
    form.mplay_Click();
    dialog.host->setChecked(true);
    dialog.router->internet->setChecked(true);
    dialog.port->setText(QString::fromLocal8Bit(argv[1]));
    dialog.cmdOK->click();
    if (form.session.state() == ConnectionState::Listening)
        say(QStringLiteral("listening"));
    return QApplication::exec();
}
