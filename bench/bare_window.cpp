// SPDX-License-Identifier: MIT
// The reference for the start-up and memory benchmarks: an empty 640 x 480
// main window, built the same way as the game.
#include "firstframe.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setFixedSize(640, 480);
#ifdef BARE_WITH_MENU
    // The same reference with one line of text: what any window that shows
    // text pays for the system's fonts.
    window.menuBar()->addMenu(QStringLiteral("Bestand"));
#endif
#ifdef KORVALOOP_FIRST_FRAME_PROBE
    reportFirstFrame(&window);
#endif
    window.show();
    return QApplication::exec();
}
