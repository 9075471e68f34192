// SPDX-License-Identifier: MIT
// Measures whole programs, each against its reference in the same run:
//   startup: wall time from starting the process to its first painted frame,
//            the game against a bare 640 x 480 main window (medians of runs
//            that alternate between them)
//   memory:  peak resident memory after three seconds up, game against bare
//   idle:    CPU time the game uses standing still for ten seconds
// The bare window paints no text at all. A second reference, the same window
// with a one-entry menu bar, shows what any window with text pays for the
// system's fonts, and so how much of the difference is the game's own.
// Usage: bench_process GAME GAME_PROBE BARE_PROBE BARE_MENU_PROBE
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

// On the display this runs on, or offscreen when there is none.
void startProgram(QProcess& process, const QString& program)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!environment.contains(QStringLiteral("DISPLAY")) &&
        !environment.contains(QStringLiteral("QT_QPA_PLATFORM")))
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.start(program, {});
    process.waitForStarted();
}

void stop(QProcess& process)
{
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
    process.waitForFinished();
}

double millisecondsToFirstFrame(const QString& program)
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    startProgram(process, program);
    while (!process.canReadLine())
        process.waitForReadyRead(10000);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    stop(process);
    return ms;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QByteArray procField(qint64 pid, const char* file, const QByteArray& key)
{
    QFile status(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed();
    return {};
}

long peakResidentKiB(const QString& program)
{
    QProcess process;
    startProgram(process, program);
    QThread::sleep(3);
    const long kib = procField(process.processId(), "status", "VmHWM:").split(' ').first().toLong();
    stop(process);
    return kib;
}

// utime + stime, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // Fields after the command name, which may hold blanks, start past ")".
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double ticks = fields.at(11).toDouble() + fields.at(12).toDouble();
    return ticks / double(sysconf(_SC_CLK_TCK));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: bench_process GAME GAME_PROBE BARE_PROBE BARE_MENU_PROBE\n");
        return 2;
    }
    const QString& game = args[1];
    const QStringList probes = args.mid(2); // the game first, then the references
    const char* names[] = {"bare window", "bare window with a menu"};

    constexpr int Runs = 11;
    std::vector<std::vector<double>> times(probes.size());
    for (const QString& probe : probes)
        millisecondsToFirstFrame(probe); // warm the file cache for all
    for (int i = 0; i < Runs; ++i)
        for (qsizetype p = 0; p < probes.size(); ++p)
            times[p].push_back(millisecondsToFirstFrame(probes[p]));
    const double gameStart = median(times[0]);
    for (qsizetype p = 1; p < probes.size(); ++p) {
        const double reference = median(times[p]);
        std::printf("startup %s: game %.1f ms, %s %.1f ms, ratio %.2f\n", names[p - 1], gameStart,
                    names[p - 1], reference, gameStart / reference);
    }

    const long gameKiB = peakResidentKiB(game);
    for (qsizetype p = 1; p < probes.size(); ++p) {
        const long kib = peakResidentKiB(probes[p]);
        std::printf("memory %s: game %ld KiB, %s %ld KiB, ratio %.2f\n", names[p - 1], gameKiB,
                    names[p - 1], kib, double(gameKiB) / double(kib));
    }

    QProcess idle;
    startProgram(idle, game);
    QThread::sleep(2); // past start-up
    const double before = cpuSeconds(idle.processId());
    QElapsedTimer clock;
    clock.start();
    QThread::sleep(10);
    const double used = cpuSeconds(idle.processId()) - before;
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    stop(idle);
    std::printf("idle: %.3f s of CPU in %.1f s standing still, %.2f %% of one core\n", used, wall,
                100 * used / wall);
    return 0;
}
