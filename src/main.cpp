// SPDX-License-Identifier: MIT
#include "app/form1.h"
#include "platform/fontwarmup.h"
#include "platform/qtplatform.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    std::thread fonts = warmUpFontConfiguration();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvaloop"));
    // Every window of the game, the console and the dialog too, wears it.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/art/icon-48.png")));
    fonts.join();

    QtPlatform platform;
    Form1 form(platform);
    form.endWith(platform);
    form.show();
    return QApplication::exec();
}
