// The reference for the start-up and memory benchmarks: an empty 640 x 480
// main window, built the same way as the game.
#include "firstframe.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setFixedSize(640, 480);
#ifdef KORVALOOP_FIRST_FRAME_PROBE
    reportFirstFrame(&window);
#endif
    window.show();
    return QApplication::exec();
}
