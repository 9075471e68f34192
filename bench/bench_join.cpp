// SPDX-License-Identifier: MIT
// A join with several addresses, timed inside tests/netns.sh, whose
// 198.51.100.0/24 and 2001:db8::/32 lead into a black hole: from the
// player's OK on Join to the connection, when the first address given is
// black-holed (and tried first, being IPv6; and as Co&py gives them, IPv4
// first), and how long the event loop ever stalls meanwhile, against the
// same loop left idle as long.
// Prints one line a measure, "name: result".
#include "app/form1.h"
#include "dialogcontrols.h"
#include "eventloopwatch.h"
#include "platform/qtplatform.h"
#include "session/session.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int Runs = 5;
constexpr qint64 Patience = 20000; // ms for any one join

// From OK on Join to connected, the game as it is, Runs times; -1 when a
// run does not get there. `address` holds %1 for the host's port.
double joinTime(const QString& address, StallWatch& watch)
{
    QtPlatform platform;
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        QTcpServer host; // both families, as a hosting copy listens
        if (!host.listen(QHostAddress::Any))
            return -1;
        Form1 form(platform);
        named<QAction>(form, "mplay")->trigger();
        DialogControls dialog{form.dialog()};
        dialog.join->setChecked(true);
        dialog.port->setText(QString::number(host.serverPort()));
        dialog.adress->setEditText(address.arg(host.serverPort()));
        // The dialog's showing is not the join's.
        for (int round = 0; round < 10; ++round)
            QCoreApplication::processEvents();
        QElapsedTimer clock;
        if (!watch.run(
                [&] {
                    clock.start();
                    dialog.cmdOK->click();
                },
                [&] { return form.session.state() == ConnectionState::Connected; }))
            return -1;
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        form.session.StopConnection();
        watch.idle(100);
    }
    return median(times);
}

} // namespace

int main(int argc, char* argv[])
{
    TimedApplication app(argc, argv);
    if (qgetenv("KORVALOOP_NETNS") != "inside") {
        std::fprintf(stderr, "bench_join: runs inside tests/netns.sh\n");
        return 1;
    }
    StallWatch watch(Patience);
    const double firstTried = joinTime(QStringLiteral("[2001:db8::1]:%1  127.0.0.1:%1"), watch);
    const double asCopied = joinTime(QStringLiteral("198.51.100.1:%1  [::1]:%1"), watch);
    const double longestEvent = watch.longestEventMs();

    StallWatch idle(Patience);
    idle.idle(watch.watchedMs());
    const double longestIdleEvent = idle.longestEventMs();

    std::printf("join blackhole: %.0f ms; %.0f ms\n", firstTried, asCopied);
    std::printf("join stall: %.1f ms (longest handler %.1f ms)\n", watch.longestMs(), longestEvent);
    std::printf("join idle: %.1f ms (longest handler %.1f ms)\n", idle.longestMs(),
                longestIdleEvent);
    return firstTried < 0 || asCopied < 0 ? 1 : 0;
}
