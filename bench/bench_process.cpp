// Measures whole programs, each against its reference in the same run:
//   startup: wall time from starting the process to its first painted frame,
//            the game against a bare 640 x 480 main window (medians of runs
//            that alternate between the two)
//   memory:  peak resident memory after three seconds up, game against bare
//   idle:    CPU time the game uses standing still for ten seconds
// Usage: bench_process GAME_PROBE BARE_PROBE GAME
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

void startOffscreen(QProcess& process, const QString& program)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
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
    startOffscreen(process, program);
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
    startOffscreen(process, program);
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
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: bench_process GAME_PROBE BARE_PROBE GAME\n");
        return 2;
    }
    const QString& gameProbe = args[1];
    const QString& bareProbe = args[2];
    const QString& game = args[3];

    constexpr int Runs = 11;
    std::vector<double> gameStart, bareStart;
    millisecondsToFirstFrame(gameProbe); // warm the file cache for both
    millisecondsToFirstFrame(bareProbe);
    for (int i = 0; i < Runs; ++i) {
        gameStart.push_back(millisecondsToFirstFrame(gameProbe));
        bareStart.push_back(millisecondsToFirstFrame(bareProbe));
    }
    const double g = median(gameStart), b = median(bareStart);
    std::printf("startup: game %.1f ms, bare window %.1f ms, ratio %.2f\n", g, b, g / b);

    const long gameKiB = peakResidentKiB(game), bareKiB = peakResidentKiB(bareProbe);
    std::printf("memory: game %ld KiB, bare window %ld KiB, ratio %.2f\n", gameKiB, bareKiB,
                double(gameKiB) / double(bareKiB));

    QProcess idle;
    startOffscreen(idle, game);
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
