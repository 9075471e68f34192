// SPDX-License-Identifier: MIT
// Prints what the connection dialog costs, in whatever state the system bus
// and mDNS daemon are (bench/run runs it with and without them):
//   bench_dialog          dialog: median time from F3 to the dialog shown,
//                         over fresh main windows
//   bench_dialog --churn  churn: the dialog's CPU while 100 games on the
//                         network vanish and come back every second, 20 s
#include "app/form1.h"
#include "connectdialog/mplayer.h"
#include "gamespublisher.h"
#include "named.h"
#include "platform/qtplatform.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/resource.h>

namespace {

constexpr int Games = 100;
constexpr int ChurnSeconds = 20;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The event loop as the game runs it, for a while.
void runFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

int firstOpenings()
{
    QtPlatform platform;
    constexpr int Runs = 11;
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        auto form = std::make_unique<Form1>(platform);
        QAction* mplay = named<QAction>(*form, "mplay");
        QElapsedTimer clock;
        clock.start();
        mplay->trigger();
        QCoreApplication::processEvents();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("dialog: median %.2f ms, slowest %.2f ms over %d first openings\n", times[Runs / 2],
                times.back(), Runs);
    return 0;
}

int publish()
{
    GamesPublisher publisher(Games, "Churn");
    QTimer::singleShot(5000, [&publisher] { publisher.churn(); });
    return QCoreApplication::exec();
}

int churn(const char* self)
{
    QtPlatform platform;
    Form1 form(platform);
    named<QAction>(form, "mplay")->trigger();
    QComboBox* list = named<QComboBox>(form.dialog(), "adress");

    QProcess publisher;
    publisher.start(QString::fromLocal8Bit(self), {QStringLiteral("--publish")});
    QElapsedTimer clock;
    clock.start();
    while (list->count() < Games + 1 && clock.elapsed() < 30000)
        runFor(100);
    if (list->count() < Games + 1) {
        std::printf("churn: only %d of %d games were listed\n", list->count() - 1, Games);
        return 1;
    }

    int changes = 0;
    int fewest = list->count() - 1;
    QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, [&] { ++changes; });
    QObject::connect(list->model(), &QAbstractItemModel::rowsRemoved, [&] {
        ++changes;
        fewest = std::min(fewest, list->count() - 1);
    });
    const double before = cpuSeconds();
    clock.restart();
    runFor(ChurnSeconds * 1000);
    const double used = cpuSeconds() - before;
    const double seconds = double(clock.elapsed()) / 1000;
    publisher.kill();
    publisher.waitForFinished(3000);
    std::printf("churn: %.2f s of CPU in %.1f s, %.1f %% of a core, for %d entries changed "
                "(%d games, %d to %d listed)\n",
                used, seconds, 100 * used / seconds, changes, Games, fewest, Games);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    const bool publisher = argc > 1 && std::strcmp(argv[1], "--publish") == 0;
    if (publisher) {
        QCoreApplication app(argc, argv);
        return publish();
    }
    QApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--churn") == 0)
        return churn(argv[0]);
    return firstOpenings();
}
