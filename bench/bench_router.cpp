// SPDX-License-Identifier: MIT
// The router's forward, timed against a real miniupnpd inside
// tests/router-namespace.sh: how long from start() to the outside address
// with each protocol and with none, from the player's OK on Host to the
// address in the connection dialog, how long the event loop ever stalls
// while the router is searched for and asked (against the same loop left
// idle), how long destruction takes during a search and with a forward
// standing, and what a router that misbehaves costs: a search answered two
// thousand times, and a description that never ends, the second also in a
// whole hosting copy's peak memory.
// Prints one line a measure, "name: result".
#include "app/form1.h"
#include "dialogcontrols.h"
#include "eventloopwatch.h"
#include "platform/qtplatform.h"
#include "router/portmapping.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int Runs = 5;
constexpr quint16 Port = 2539;
constexpr qint64 Patience = 10000; // ms for any one wait

// On a machine of two cores or more, the router's daemon gets a core of its
// own, as a router is a box of its own: on the game's core, its work shows
// as the game's stalls (some 20 ms each time it answers, on this machine).
bool separateCores = false;

bool routerMode(const char* mode)
{
    QStringList arguments{QStringLiteral("mode"), QLatin1String(mode)};
    if (separateCores)
        arguments.append(QStringLiteral("cpu=1"));
    QProcess control;
    control.start(qEnvironmentVariable("KORVALOOP_ROUTER"), arguments);
    return control.waitForFinished(30000) && control.exitStatus() == QProcess::NormalExit &&
           control.exitCode() == 0;
}

// Destruction with a forward standing: the router is told, and its answer
// waited for a bounded time. Median of Runs; -1 when a run maps nothing.
double destroyedMapped(const PortMapping::Options& options, StallWatch& watch)
{
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        auto* mapping = new PortMapping(options);
        if (!watch.run([&] { mapping->start(Port); },
                       [&] { return mapping->state() == PortMapping::State::Mapped; }))
            return -1;
        QElapsedTimer clock;
        clock.start();
        delete mapping;
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        watch.idle(300);
    }
    return median(times);
}

// Start to Mapped, Runs times; -1 when a run does not get there.
double timeToMapped(const PortMapping::Options& options, StallWatch& watch)
{
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        PortMapping mapping(options);
        QElapsedTimer clock;
        if (!watch.run(
                [&] {
                    clock.start();
                    mapping.start(Port);
                },
                [&] { return mapping.state() == PortMapping::State::Mapped; }))
            return -1;
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        mapping.stop();
        watch.idle(300); // the removal on its way before the next run asks
    }
    return median(times);
}

// From the player's OK on Host to the outside address in the dialog's row,
// the game as it is (both protocols asked), Runs times; -1 when a run does
// not get there. `pinholeTimes` gets the same for the IPv6 address.
double hostToAddressShown(StallWatch& watch, std::vector<double>& pinholeTimes)
{
    std::vector<double> times;
    QtPlatform platform;
    for (int run = 0; run < Runs; ++run) {
        Form1 form(platform);
        named<QAction>(form, "mplay")->trigger();
        DialogControls dialog{form.dialog()};
        dialog.port->setText(QString::number(Port));
        QElapsedTimer clock;
        if (!watch.run(
                [&] {
                    clock.start();
                    dialog.cmdOK->click();
                },
                [&] {
                    return dialog.router->outside->text().startsWith(
                        QLatin1String("198.51.100.1:"));
                }))
            return -1;
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (watch.run([] {},
                      [&] {
                          return dialog.router->outside->text().contains(
                              QLatin1String("[2001:db8:1::10]:"));
                      }))
            pinholeTimes.push_back(double(clock.nsecsElapsed()) / 1e6);
        dialog.cmdOK->click(); // Stop
        watch.idle(300);
    }
    return median(times);
}

// tests/sandbox/fakeigd on the router, in place of miniupnpd; runs until
// the object goes.
class FakeRouter {
public:
    explicit FakeRouter(const QStringList& options)
    {
        // On a core of its own too, as the router's daemon: its floods are
        // the router's work, not the game's.
        const QStringList pin =
            separateCores
                ? QStringList{QStringLiteral("taskset"), QStringLiteral("-c"), QStringLiteral("1")}
                : QStringList();
        m_process.start(qEnvironmentVariable("KORVALOOP_ROUTER"),
                        QStringList{QStringLiteral("router")} + pin +
                            QStringList{qEnvironmentVariable("KORVALOOP_FAKE_IGD"),
                                        QStringLiteral("192.168.77.1")} +
                            options);
        QElapsedTimer waited;
        waited.start();
        while (!m_output.contains("ready\n") && waited.elapsed() < Patience &&
               m_process.waitForReadyRead(int(Patience - waited.elapsed())))
            m_output += m_process.readAllStandardOutput();
    }
    ~FakeRouter()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    bool ready() const { return m_output.contains("ready\n"); }

private:
    QProcess m_process;
    QByteArray m_output;
};

// A misbehaving router, asked under the watch: the attempt gives up or
// maps; true when it got there.
bool askMisbehaving(const QStringList& options, StallWatch& watch)
{
    FakeRouter router(options);
    if (!router.ready())
        return false;
    PortMapping::Options upnpOnly;
    upnpOnly.natPmp = false;
    PortMapping mapping(upnpOnly);
    const bool settled = watch.run([&] { mapping.start(Port); },
                                   [&] { return mapping.state() != PortMapping::State::Asking; });
    mapping.stop();
    watch.idle(300);
    return settled;
}

qint64 peakKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// A whole hosting copy's peak resident memory, 6 s after it asked the
// router, in KiB; -1 when it could not be run.
qint64 hostingPeak(const QStringList& routerOptions)
{
    FakeRouter router(routerOptions);
    if (!router.ready())
        return -1;
    QProcess game;
    game.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    game.start(qEnvironmentVariable("KORVALOOP_HOSTING_GAME"), {QString::number(Port)});
    if (!game.waitForStarted())
        return -1;
    QThread::msleep(6000);
    const qint64 peak = peakKiB(game.processId());
    ::kill(pid_t(game.processId()), SIGTERM);
    game.waitForFinished(5000);
    return peak;
}

} // namespace

int main(int argc, char* argv[])
{
    TimedApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("KORVALOOP_ROUTER")) {
        std::fprintf(stderr, "bench_router: runs inside tests/router-namespace.sh\n");
        return 1;
    }
    if (QThread::idealThreadCount() >= 2) {
        cpu_set_t gameCore;
        CPU_ZERO(&gameCore);
        CPU_SET(0, &gameCore);
        separateCores = sched_setaffinity(0, sizeof gameCore, &gameCore) == 0;
    }
    StallWatch watch(Patience);

    PortMapping::Options upnpOnly;
    upnpOnly.natPmp = false;
    upnpOnly.ipv6 = false;
    PortMapping::Options natPmpOnly;
    natPmpOnly.upnpIgd = false;
    natPmpOnly.ipv6 = false;
    const bool upnpRouter = routerMode("upnp");
    const double upnp = upnpRouter ? timeToMapped(upnpOnly, watch) : -1;
    const double upnpDestroyed = upnpRouter ? destroyedMapped(upnpOnly, watch) : -1;
    std::vector<double> upnpPinhole;
    const double upnpHost = upnpRouter ? hostToAddressShown(watch, upnpPinhole) : -1;
    const bool natPmpRouter = routerMode("natpmp");
    const double natPmp = natPmpRouter ? timeToMapped(natPmpOnly, watch) : -1;
    const double natPmpDestroyed = natPmpRouter ? destroyedMapped(natPmpOnly, watch) : -1;
    std::vector<double> pcpPinhole;
    const double natPmpHost = natPmpRouter ? hostToAddressShown(watch, pcpPinhole) : -1;

    // No router: both protocols wait for their deadlines.
    double noRouter = -1;
    if (routerMode("drop")) {
        PortMapping mapping;
        QElapsedTimer clock;
        if (watch.run(
                [&] {
                    clock.start();
                    mapping.start(Port);
                },
                [&] { return mapping.state() == PortMapping::State::NoRouter; }))
            noRouter = double(clock.nsecsElapsed()) / 1e6;
    }

    // Closing the game 100 ms into a search.
    std::vector<double> destroyed;
    if (routerMode("upnp")) {
        for (int run = 0; run < Runs; ++run) {
            auto* mapping = new PortMapping();
            mapping->start(Port);
            watch.idle(100);
            QElapsedTimer clock;
            clock.start();
            delete mapping;
            destroyed.push_back(double(clock.nsecsElapsed()) / 1e6);
            watch.idle(300);
        }
    }

    // Routers that misbehave: a search answered 2,000 times, a description
    // and a SOAP answer that never end.
    bool misbehaving = routerMode("off");
    for (const QStringList& options :
         {QStringList{QStringLiteral("--search-flood"), QStringLiteral("2000")},
          QStringList{QStringLiteral("--endless"), QStringLiteral("description")},
          QStringList{QStringLiteral("--endless"), QStringLiteral("soap")}})
        misbehaving = misbehaving && askMisbehaving(options, watch);

    const double longestEvent = double(app.longestEvent) / 1e6;
    const QString longestWhat = app.longestWhat;

    // The same loop with nothing to do, as long: what the machine itself
    // holds it for, on a shared machine.
    StallWatch idle(Patience);
    app.longestEvent = 0;
    idle.idle(watch.watchedMs());
    const double longestIdleEvent = double(app.longestEvent) / 1e6;

    std::printf("router upnp: %.0f ms\n", upnp);
    std::printf("router natpmp: %.0f ms\n", natPmp);
    std::printf("router host: %.0f ms; %.0f ms\n", upnpHost, natPmpHost);
    std::printf("router host6: %.0f ms; %.0f ms\n",
                upnpPinhole.size() == Runs ? median(upnpPinhole) : -1,
                pcpPinhole.size() == Runs ? median(pcpPinhole) : -1);
    std::printf("router none: %.0f ms\n", noRouter);
    std::printf("router work: %.1f ms (the longest event: %s)\n",
                std::max(watch.longestActionMs(), longestEvent), qPrintable(longestWhat));
    std::printf("router idle work: %.1f ms\n", longestIdleEvent);
    std::printf("router stall: %.1f ms\n", watch.longestMs());
    std::printf("router idle: %.1f ms\n", idle.longestMs());
    std::printf("router destroyed: %.1f ms\n", median(destroyed));
    std::printf("router destroyed mapped: %.1f ms; %.1f ms\n", upnpDestroyed, natPmpDestroyed);
    std::printf("router misbehaving: %s\n", misbehaving ? "settled" : "did not settle");

    // The hosting copy's memory, against a plain router and one whose
    // description never ends.
    const qint64 plain = routerMode("off") ? hostingPeak({}) : -1;
    const qint64 endless =
        hostingPeak({QStringLiteral("--endless"), QStringLiteral("description")});
    std::printf("router memory: %.1f MiB against a plain router, %.1f MiB against an endless "
                "description: %+.1f MiB\n",
                double(plain) / 1024, double(endless) / 1024, double(endless - plain) / 1024);
    return upnp < 0 || natPmp < 0 || noRouter < 0 || upnpHost < 0 || natPmpHost < 0 ? 1 : 0;
}
