// SPDX-License-Identifier: MIT
// Prints how long the connection dialog takes to open the first time (F3),
// finding games on the network included, in whatever state the system bus
// and mDNS daemon are (bench/run runs it with and without them):
//   dialog: median time from F3 to the dialog shown, over fresh main windows
#include "app/form1.h"
#include "net/multiplayer.h"
#include "platform/qtplatform.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QtPlatform platform;
    constexpr int Runs = 11;
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        auto form = std::make_unique<Form1>(platform);
        QElapsedTimer clock;
        clock.start();
        form->multiplayer->mplay_Click();
        QCoreApplication::processEvents();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("dialog: median %.2f ms, slowest %.2f ms over %d first openings\n",
                times[Runs / 2], times.back(), Runs);
    return 0;
}
