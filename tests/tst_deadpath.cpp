// SPDX-License-Identifier: MIT
// A network path that dies without a word (a cable pulled, a lid closed) ends
// the connection within seconds at both ends, the way a peer closing it does.
// A host that never answers a join is given up on as well, and an address
// that never answers, among several, costs a join its turn and no more; one
// the network says no to (a router's ICMP "unreachable", a route that
// rejects) ends its try at once, with the reason. Runs inside a network
// namespace of its own (netns.sh), where a firewall rule drops the game's
// packets silently, 198.51.100.0/24 and 2001:db8::/32 lead into a black hole,
// and a router one hop away answers for a few addresses with ICMP errors.
#include "soak.h"
#include "twocopies.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

#include <sys/resource.h>

namespace {

// The CPU time this process has used, user and system, in seconds.
double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Far more than a join that waits, and far less than one that asks the
// socket again and again while the kernel retries (half a core for seconds).
constexpr double IdleJoinCpuSeconds = 0.2;

bool nft(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("nft"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

} // namespace

class TestDeadPath : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (qgetenv("KORVALOOP_NETNS") != "inside")
            QSKIP("runs only in a network namespace of its own (netns.sh)");
    }

    // Two connections: one that sends its position every 20 ms, so data is
    // always waiting for an acknowledgement, and one that sends nothing at
    // all, so only keepalive can tell. The everyday run makes the socket's
    // time-outs short; the slow one keeps the game's own.
    void aDeadPathEndsTheConnection()
    {
        TcpOpener::Timeouts timeouts;
        if (!soaking()) {
            timeouts.keepAliveIdle = std::chrono::seconds(1);
            timeouts.keepAliveInterval = std::chrono::seconds(1);
            timeouts.keepAliveProbes = 2;
            timeouts.user = std::chrono::seconds(2);
            timeouts.connect = std::chrono::seconds(2);
        }
        // Each is given up on well within this.
        const std::chrono::milliseconds patience =
            std::max(timeouts.user, timeouts.connect) + std::chrono::seconds(5);
        Copy busyHost, busyJoiner, idleHost, idleJoiner, joiner;
        for (Copy* copy : {&busyHost, &busyJoiner, &idleHost, &idleJoiner, &joiner})
            copy->net.setTimeouts(timeouts);
        const int busyPort = freePort();
        const int idlePort = busyPort == 2539 ? 2540 : 2539;
        busyHost.ok(true, busyPort, QStringLiteral("20"));
        busyJoiner.ok(false, busyPort, QStringLiteral("20"));
        idleHost.ok(true, idlePort, QStringLiteral("0"));
        idleJoiner.ok(false, idlePort, QStringLiteral("0"));
        const QList<Copy*> copies{&busyHost, &busyJoiner, &idleHost, &idleJoiner};
        QTRY_VERIFY(
            std::all_of(copies.begin(), copies.end(), [](Copy* c) { return c->connected(); }));
        QTest::qWait(300); // positions flow

        const int silentPort = idlePort + 1;
        const QString ports =
            QStringLiteral("{ %1, %2, %3 }").arg(busyPort).arg(idlePort).arg(silentPort);
        QVERIFY(nft({QStringLiteral("add"), QStringLiteral("table"), QStringLiteral("inet"),
                     QStringLiteral("cut")}));
        QVERIFY(
            nft({QStringLiteral("add chain inet cut input { type filter hook input priority 0; }")
                     .split(QLatin1Char(' '))}));
        QVERIFY(nft(QStringLiteral("add rule inet cut input tcp dport %1 drop")
                        .arg(ports)
                        .split(QLatin1Char(' '))));
        QVERIFY(nft(QStringLiteral("add rule inet cut input tcp sport %1 drop")
                        .arg(ports)
                        .split(QLatin1Char(' '))));

        joiner.ok(false, silentPort);
        QCOMPARE(joiner.status(), QStringLiteral("Status: Connecting..."));

        QElapsedTimer clock;
        clock.start();
        QList<qint64> endedAfter(copies.size(), -1);
        qint64 gaveUpAfter = -1;
        while (clock.elapsed() < patience.count() && (endedAfter.contains(-1) || gaveUpAfter < 0)) {
            QTest::qWait(100);
            if (gaveUpAfter < 0 && joiner.net.state() == ConnectionState::Closed)
                gaveUpAfter = clock.elapsed();
            for (qsizetype i = 0; i < copies.size(); ++i) {
                if (endedAfter[i] < 0 && !copies[i]->connected())
                    endedAfter[i] = clock.elapsed();
            }
        }
        qInfo("ended after (ms): busy host %lld, busy joiner %lld, idle host %lld, idle joiner "
              "%lld; a join with no answer gave up after %lld",
              endedAfter[0], endedAfter[1], endedAfter[2], endedAfter[3], gaveUpAfter);
        for (Copy* copy : copies) {
            QVERIFY(!copy->connected());
            QCOMPARE(copy->status(), QStringLiteral("Status: Idle"));
            QVERIFY(copy->mplay->isEnabled());
        }
        QCOMPARE(joiner.status(), QStringLiteral("Status: No answer from localhost"));
        QVERIFY(joiner.mplay->isEnabled());
        nft({QStringLiteral("delete"), QStringLiteral("table"), QStringLiteral("inet"),
             QStringLiteral("cut")});
    }

    // With no route to the address, a join fails inside the call that
    // starts it: the dialog says so at once, and OK tries again.
    void aJoinWithNoRouteFailsAtOnce()
    {
        Copy joiner;
        joiner.mplay->trigger();
        joiner.dialog.join->setChecked(true);
        joiner.dialog.adress->setEditText(QStringLiteral("10.80.0.2"));
        for (int attempt = 0; attempt < 2; ++attempt) {
            joiner.dialog.cmdOK->click();
            QCOMPARE(joiner.status(), QStringLiteral("Status: Connecting..."));
            QTRY_COMPARE_WITH_TIMEOUT(
                joiner.status(),
                QStringLiteral("Status: Cannot join 10.80.0.2:2539 (network unreachable)"), 1000);
            QCOMPARE(joiner.net.state(), ConnectionState::Closed);
            QCOMPARE(joiner.dialog.cmdOK->text(), QStringLiteral("&Stop"));
            QVERIFY(joiner.mplay->isEnabled());
        }
    }

    // Where the network says no, the try ends at once with the network's
    // reason, and the game idles meanwhile: the socket is not asked again
    // and again while the kernel retries (a router's ICMP "unreachable"
    // leaves it failed but still connecting).
    void theNetworkSaysNo_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("reason");
        const QString host = QStringLiteral("host unreachable");
        const QString network = QStringLiteral("network unreachable");
        const QString blocked = QStringLiteral("blocked by a firewall");
        // netns.sh
        QTest::newRow("a router's ICMP host unreachable") << "198.51.100.99" << host;
        QTest::newRow("a router's ICMP network unreachable") << "198.51.100.98" << network;
        QTest::newRow("a router's ICMP prohibited") << "198.51.100.97" << host;
        QTest::newRow("a router's ICMPv6 address unreachable") << "[2001:db8:99::99]" << host;
        QTest::newRow("a router's ICMPv6 no route") << "[2001:db8:99::98]" << network;
        QTest::newRow("a router's ICMPv6 prohibited") << "[2001:db8:99::97]" << blocked;
        QTest::newRow("an unreachable route") << "198.51.100.95" << host;
        QTest::newRow("a prohibited route") << "198.51.100.94" << blocked;
        QTest::newRow("an unreachable IPv6 route") << "[2001:db8:98::95]" << host;
        QTest::newRow("a prohibited IPv6 route") << "[2001:db8:97::94]" << blocked;
        QTest::newRow("nobody listens") << "127.0.0.1"
                                        << "connection refused";
    }

    void theNetworkSaysNo()
    {
        QFETCH(QString, address);
        QFETCH(QString, reason);
        Copy joiner;
        joiner.dialog.adress->setEditText(address);
        const double before = cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        joiner.ok(false, 2539);
        QCOMPARE(joiner.status(), QStringLiteral("Status: Connecting..."));
        // Well inside the join's own time-out.
        QTRY_COMPARE_WITH_TIMEOUT(joiner.net.state(), ConnectionState::Closed, 12000);
        const double cpu = cpuSeconds() - before;
        qInfo("%s: ended after %lld ms, %.3f s of CPU", qPrintable(address), clock.elapsed(), cpu);
        QVERIFY2(cpu < IdleJoinCpuSeconds, qPrintable(QStringLiteral("%1 s of CPU").arg(cpu)));
        QCOMPARE(joiner.status(),
                 QStringLiteral("Status: Cannot join %1:2539 (%2)").arg(address, reason));
        QVERIFY(joiner.mplay->isEnabled());
    }

    // An address the network says no to hands over to the next at once, not
    // after its turn (a minute here).
    void anUnreachableAddressHandsOverAtOnce()
    {
        Copy host;
        Copy joiner;
        const int port = freePort();
        host.ok(true, port);
        TcpOpener& opener = *named<TcpOpener>(joiner.net, "opener");
        opener.dialer.options.attemptDelayMs = 60000;
        joiner.dialog.adress->setEditText(
            QStringLiteral("198.51.100.99:%1 [2001:db8:99::98]:%1 198.51.100.95:%1 127.0.0.1:%1")
                .arg(port));
        const double before = cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        joiner.ok(false, port);
        QTRY_VERIFY_WITH_TIMEOUT(joiner.connected(), 12000);
        const double cpu = cpuSeconds() - before;
        qInfo("three unreachable, then the host: connected after %lld ms, %.3f s of CPU",
              clock.elapsed(), cpu);
        QCOMPARE(joiner.status(), QStringLiteral("Status: Connected to 127.0.0.1"));
        QCOMPARE(opener.dialer.attemptsMade(), 4);
        QVERIFY2(cpu < IdleJoinCpuSeconds, qPrintable(QStringLiteral("%1 s of CPU").arg(cpu)));
        QTRY_VERIFY(host.connected());
    }

    // The two copies reach each other straight, whatever proxy the program
    // or the desktop names: with a proxy nobody runs, a copy still hosts and
    // the other still joins it (at an address of this machine that is not
    // loopback, which Qt never sends through a proxy anyway).
    void noProxyIsAsked()
    {
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("192.168.201.1"), 9));
        const auto restore =
            qScopeGuard([] { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); });
        Copy host;
        Copy joiner;
        const int port = freePort();
        host.ok(true, port);
        QCOMPARE(host.status(), QStringLiteral("Status: Waiting for connection"));
        joiner.dialog.adress->setEditText(QStringLiteral("192.168.201.1")); // netns.sh
        joiner.ok(false, port);
        QTRY_VERIFY(joiner.connected());
        QCOMPARE(joiner.status(), QStringLiteral("Status: Connected to 192.168.201.1"));
        QTRY_VERIFY(host.connected());
        roundTrip(host, joiner);
    }

    // Pasted addresses of which some lead into the black hole: the join goes
    // on to the next address after one turn of each, long before the connect
    // time-out, and over the address that answers.
    void aBlackHoleCostsItsTurnOnly_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("answered");
        QTest::addColumn<int>("attempts");
        // IPv6 goes first, so the IPv4 black hole is never waited for.
        QTest::newRow("as Co&py gives them, the first black-holed") << "198.51.100.1:%1  [::1]:%1"
                                                                    << "::1" << 1;
        QTest::newRow("the first tried black-holed") << "[2001:db8::1]:%1  127.0.0.1:%1"
                                                     << "127.0.0.1" << 2;
        QTest::newRow("one of each family black-holed")
            << "198.51.100.1:%1 [2001:db8::1]:%1 127.0.0.1:%1 [::1]:%1"
            << "::1" << 3;
        // 2001:db8::7 and 127.0.0.1 (netns.sh)
        QTest::newRow("a name with a black-holed address") << "blackholed.korvaloop.test"
                                                           << "127.0.0.1" << 2;
    }

    void aBlackHoleCostsItsTurnOnly()
    {
        QFETCH(QString, address);
        QFETCH(QString, answered);
        QFETCH(int, attempts);
        Copy host;
        Copy joiner;
        const int port = freePort();
        host.ok(true, port);
        QSignalSpy tried(&named<TcpOpener>(joiner.net, "opener")->dialer, &Dialer::attempting);
        joiner.dialog.adress->setEditText(address.contains(QLatin1String("%1")) ? address.arg(port)
                                                                                : address);
        joiner.ok(false, port);
        QCOMPARE(joiner.status(), QStringLiteral("Status: Connecting..."));
        QTRY_VERIFY_WITH_TIMEOUT(joiner.connected(),
                                 int(TcpOpener::Timeouts{}.connect.count() / 3));
        QCOMPARE(joiner.status(), QStringLiteral("Status: Connected to ") + answered);
        QCOMPARE(tried.size(), attempts);
        QTRY_VERIFY(host.connected());
        roundTrip(host, joiner);
    }

    // Every address in the black hole: the join gives up at its time-out
    // (shortened here) and names them all.
    void allInTheBlackHole()
    {
        Copy joiner;
        TcpOpener::Timeouts timeouts;
        timeouts.connect = std::chrono::seconds(1);
        joiner.net.setTimeouts(timeouts);
        const TcpOpener& opener = *named<TcpOpener>(joiner.net, "opener");
        joiner.dialog.adress->setEditText(
            QStringLiteral("198.51.100.1  [2001:db8::1]:2540  blackholed.korvaloop.test:2541"));
        joiner.ok(false, 2539);
        QTRY_COMPARE(joiner.status(),
                     QStringLiteral("Status: Cannot join 198.51.100.1:2539, [2001:db8::1]:2540, "
                                    "blackholed.korvaloop.test:2541 (no answer)"));
        QCOMPARE(opener.dialer.attemptsMade(), 4);
        QCOMPARE(joiner.net.state(), ConnectionState::Closed);
        QVERIFY(!opener.dialer.isRunning());
    }
};

QTEST_MAIN(TestDeadPath)
#include "tst_deadpath.moc"
