// SPDX-License-Identifier: MIT
#include "app/form1.h"
#include "app/sceneview.h"
#include "platform/fontwarmup.h"
#include "platform/qtplatform.h"

#include <QApplication>

#ifdef KORVALOOP_FIRST_FRAME_PROBE
#include "firstframe.h"
#endif

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
#ifdef KORVALOOP_FIRST_FRAME_PROBE
    reportFirstFrame(form.view);
#endif
    form.show();
    return QApplication::exec();
}
