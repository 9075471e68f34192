// SPDX-License-Identifier: MIT
// The real game binary, started as a user would (but offscreen): it stays
// up with its game tick running and closes cleanly when asked to.
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

// Times the process has gone to sleep and woken up again: a 100 ms game tick
// shows as a steady climb, a hung or busy process as none.
long wakeUps(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(24).trimmed().toLong();
    return -1;
}

} // namespace

class TestProgram : public QObject {
    Q_OBJECT
private slots:
    void runsAndClosesCleanly()
    {
        QProcess game;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        game.setProcessEnvironment(environment);
        game.start(QStringLiteral(KORVALOOP_BINARY), {});
        QVERIFY(game.waitForStarted());

        QTest::qWait(500);
        const long before = wakeUps(game.processId());
        QTest::qWait(2000);
        QCOMPARE(game.state(), QProcess::Running);
        const long after = wakeUps(game.processId());
        QVERIFY2(after - before >= 10,
                 qPrintable(QStringLiteral("%1 wake-ups").arg(after - before)));

        ::kill(pid_t(game.processId()), SIGTERM);
        QVERIFY(game.waitForFinished(5000));
        QCOMPARE(game.exitStatus(), QProcess::NormalExit);
        QCOMPARE(game.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
