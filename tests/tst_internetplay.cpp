// SPDX-License-Identifier: MIT
// Two players in two homes, as they see it: a copy hosting on a home network
// asks its router to open the port and shows the address to give the other
// player, who joins from the internet, and the forward goes with the
// hosting. Runs inside tests/router-namespace.sh, on the home network's
// machine; the other player connects from the sandbox's internet.
#include "connectdialog/routerrow.h"
#include "routersandbox.h"
#include "twocopies.h"

#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QString Address = QStringLiteral("198.51.100.1:%1");
const QString Pinhole = QStringLiteral("[2001:db8:1::10]:2539");

// A connection from the player on the internet (198.51.100.20) to
// 198.51.100.1:port, or none within a second: made on a thread that has
// entered that network, so the socket lives there.
std::unique_ptr<QTcpSocket> fromTheInternet(quint16 port)
{
    int fd = -1;
    std::thread([&] {
        const int internet = ::open("/run/netns/wan", O_RDONLY | O_CLOEXEC);
        if (internet < 0 || ::setns(internet, CLONE_NEWNET) != 0)
            return;
        ::close(internet);
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(Outside.toIPv4Address());
        pollfd wait{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
            (errno != EINPROGRESS || ::poll(&wait, 1, 1000) != 1 ||
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)) {
            ::close(fd);
            fd = -1;
        }
    }).join();
    if (fd < 0)
        return nullptr;
    auto socket = std::make_unique<QTcpSocket>();
    socket->setSocketDescriptor(fd);
    return socket;
}

// Opens the dialog and hosts on the game's port, the router asked or not.
void host(Copy& copy, bool askRouter = true)
{
    copy.mplay->trigger();
    copy.dialog.host->setChecked(true);
    copy.dialog.port->setText(QString::number(GamePort));
    copy.dialog.update->setText(QStringLiteral("20"));
    copy.dialog.router->internet->setChecked(askRouter);
    copy.dialog.cmdOK->click();
}

QString row(Copy& copy)
{
    return copy.dialog.router->outside->text();
}

// What Co&py gives: the addresses that work, then the invitation.
QString copied(Copy& copy, const QString& addresses)
{
    const QString invitation = copy.net.reach().invitation;
    return invitation.isEmpty() ? addresses : addresses + QLatin1Char(' ') + invitation;
}

// The other player: a whole copy of the game on the internet
// (198.51.100.20, 2001:db8:ff::20) that joins what it is given, as pasted
// into its address field (tests/sandbox/hostinggame join).
class CopyOnTheInternet {
public:
    explicit CopyOnTheInternet(const QString& addresses)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(qEnvironmentVariable("KORVALOOP_ROUTER"),
                        {QStringLiteral("wan"), QStringLiteral(KORVALOOP_HOSTING_GAME),
                         QStringLiteral("join"), addresses, QString::number(GamePort)});
    }
    ~CopyOnTheInternet()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    QStringList lines()
    {
        m_output += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    bool said(const QString& line) { return lines().contains(line); }
    // The answer it made to the invitation it was given.
    QString answer()
    {
        const QStringList said = lines().filter(QRegularExpression(QStringLiteral("^answer ")));
        return said.isEmpty() ? QString() : said.constLast().sliced(7);
    }
    // Where it last saw the other player's figure.
    QString peer()
    {
        const QStringList seen = lines().filter(QStringLiteral("peer "));
        return seen.isEmpty() ? QString() : seen.constLast();
    }
    void type(const char* word) { m_process.write(QByteArray(word) + '\n'); }

private:
    QProcess m_process;
    QByteArray m_output;
};

} // namespace

class TestInternetPlay : public RouterSandboxTest {
    Q_OBJECT

    RouterModes m_modes;

private slots:
    // The row shows the router's outside address, the other player joins
    // it from the internet, and they play; when that player leaves, the
    // forward goes.
    void aPlayerOnTheInternetJoins_data()
    {
        QTest::addColumn<QString>("router");
        QTest::newRow("UPnP-IGD") << "upnp no-ipv6";
        QTest::newRow("NAT-PMP/PCP") << "natpmp no-ipv6";
        QTest::newRow("both") << "both no-ipv6";
    }

    void aPlayerOnTheInternetJoins()
    {
        QFETCH(QString, router);
        QVERIFY(m_modes.set(router));
        QVERIFY(!fromTheInternet(GamePort));

        Copy anna;
        host(anna);
        QCOMPARE(anna.status(), QStringLiteral("Status: Waiting for connection"));
        QCOMPARE(row(anna), QStringLiteral("opening the port on the router\u2026"));
        QVERIFY(!anna.dialog.router->cmdCopy->isEnabled());
        const QString address = Address.arg(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(row(anna), address, Answered);
        QCOMPARE(mappings(), QStringList{forward(GamePort, ThisMachine, GamePort)});
        QVERIFY(anna.dialog.router->cmdCopy->isEnabled());
        QVERIFY(QTest::qWaitForWindowActive(&anna.dialog.window));
        QTRY_VERIFY(!anna.net.reach().invitation.isEmpty());
        QTest::keyClick(&anna.dialog.window, Qt::Key_P, Qt::AltModifier);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(),
                     copied(anna, address)); // the button's press shows first

        const std::unique_ptr<QTcpSocket> bert = fromTheInternet(GamePort);
        QVERIFY(bert);
        QTRY_VERIFY(anna.connected());
        QCOMPARE(anna.status(), QStringLiteral("Status: Connected to 198.51.100.20"));
        bert->write("move|10|20|30|40|True|False");
        QTRY_COMPARE(anna.game.scene.guyrm.left(), 30);
        QByteArray heard;
        QTRY_VERIFY((heard += bert->readAll()).contains("move|444|444|0|0|True|False"));
        QCOMPARE(mappings(), QStringList{forward(GamePort, ThisMachine, GamePort)});

        bert->disconnectFromHost();
        QTRY_VERIFY(!anna.connected());
        QTRY_COMPARE_WITH_TIMEOUT(mappings(), QStringList(), Removed);
        QCOMPARE(row(anna), QString());
        QVERIFY(!fromTheInternet(GamePort));
    }

    // The forward lasts as long as the hosting, however that ends.
    void theForwardGoesWithTheHosting_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("Stop") << "stop";
        QTest::newRow("Cancel") << "cancel";
        QTest::newRow("closing the game") << "close";
        QTest::newRow("an error") << "error";
    }

    void theForwardGoesWithTheHosting()
    {
        QFETCH(QString, end);
        QVERIFY(m_modes.set(QStringLiteral("both no-ipv6")));
        auto anna = std::make_unique<Copy>();
        host(*anna);
        QTRY_COMPARE_WITH_TIMEOUT(row(*anna), Address.arg(GamePort), Answered);
        QVERIFY(!mappings().isEmpty());
        if (end == QLatin1String("stop")) {
            anna->dialog.cmdOK->click();
        } else if (end == QLatin1String("cancel")) {
            anna->dialog.cmdCancel->click();
        } else if (end == QLatin1String("close")) {
            QElapsedTimer clock;
            clock.start();
            anna.reset();
            QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        } else {
            // A peer whose message never ends: the game closes the connection.
            const std::unique_ptr<QTcpSocket> bert = fromTheInternet(GamePort);
            QVERIFY(bert);
            QTRY_VERIFY(anna->connected());
            bert->write("chat|" + QByteArray(100 * 1024, 'x'));
            QTRY_COMPARE(anna->status(), QStringLiteral("Status: Idle"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(mappings(), QStringList(), Removed);
        QVERIFY(!fromTheInternet(GamePort));
    }

    // Where the provider shares one IPv4 address among many homes, the
    // pinhole in the router's IPv6 firewall alone lets the other player in:
    // the row shows just that address, the other player pastes what Copy
    // gave and joins over IPv6, and they play. Stop closes the pinhole.
    void aPlayerJoinsOverIpv6BehindACarrierNat()
    {
        QVERIFY(m_modes.set(QStringLiteral("second-router")));
        Copy anna;
        host(anna);
        QTRY_COMPARE_WITH_TIMEOUT(row(anna), Pinhole, Answered);
        QVERIFY(anna.dialog.router->outside->toolTip().contains(
            QLatin1String("the other player needs IPv6 too")));
        QCOMPARE(pinholes(), QStringList{QStringLiteral("tcp6 2001:db8:1::10 2539")});
        QCOMPARE(mappings(), QStringList());
        QVERIFY(QTest::qWaitForWindowActive(&anna.dialog.window));
        QTRY_VERIFY(!anna.net.reach().invitation.isEmpty());
        QTest::keyClick(&anna.dialog.window, Qt::Key_P, Qt::AltModifier);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), copied(anna, Pinhole));

        CopyOnTheInternet bert(QGuiApplication::clipboard()->text());
        QTRY_VERIFY_WITH_TIMEOUT(anna.connected(), Answered);
        QCOMPARE(anna.status(), QStringLiteral("Status: Connected to 2001:db8:ff::20"));
        QTRY_VERIFY(bert.said(QStringLiteral("Status: Connected to 2001:db8:1::10")));
        // Each sees the other's figure move.
        const int annaWas = anna.game.scene.guy.left();
        anna.game.GoRight();
        QCOMPARE(anna.game.scene.guy.left(), annaWas + 8);
        QTRY_COMPARE(bert.peer(), QStringLiteral("peer %1 444").arg(annaWas + 8));
        const int bertSeen = anna.game.scene.guyrm.left();
        bert.type("goright");
        QTRY_COMPARE(anna.game.scene.guyrm.left(), bertSeen + 8);

        anna.dialog.cmdOK->click(); // Stop
        QTRY_COMPARE_WITH_TIMEOUT(pinholes(), QStringList(), Removed);
    }

    // Both ways open: both addresses are shown and copied, IPv4 first. A
    // player whose IPv6 path is dropped somewhere on the way loses only
    // the quarter second the IPv6 address has its turn, and joins over IPv4.
    void bothAddressesAndAJoinerWhoseIpv6IsDropped()
    {
        QVERIFY(m_modes.set(QStringLiteral("v6-drop")));
        Copy anna;
        host(anna);
        const QString both = Address.arg(GamePort) + QStringLiteral("  ") + Pinhole;
        QTRY_COMPARE_WITH_TIMEOUT(row(anna), both, Answered);
        QVERIFY(QTest::qWaitForWindowActive(&anna.dialog.window));
        QTRY_VERIFY(!anna.net.reach().invitation.isEmpty());
        QTest::keyClick(&anna.dialog.window, Qt::Key_P, Qt::AltModifier);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(),
                     copied(anna, Address.arg(GamePort) + QLatin1Char(' ') + Pinhole));

        QElapsedTimer clock;
        clock.start();
        CopyOnTheInternet bert(QGuiApplication::clipboard()->text());
        QTRY_VERIFY_WITH_TIMEOUT(anna.connected(), Answered);
        qInfo("joined over IPv4 after %lld ms, the game's start included", clock.elapsed());
        QCOMPARE(anna.status(), QStringLiteral("Status: Connected to 198.51.100.20"));
        QTRY_VERIFY(bert.said(QStringLiteral("Status: Connected to 198.51.100.1")));
    }

    // Nothing answers on the router, but this machine has a global IPv6
    // address: a router without an IPv6 firewall lets players in all the
    // same, so the row gives the address, and says it may be blocked.
    void noPinholeButAGlobalAddress()
    {
        QVERIFY(m_modes.set(QStringLiteral("drop")));
        Copy anna;
        host(anna);
        QTRY_COMPARE_WITH_TIMEOUT(
            row(anna), Pinhole + QStringLiteral(", may be blocked by the router's firewall"),
            Answered);
        QVERIFY(anna.dialog.router->outside->toolTip().contains(
            QLatin1String("the other player needs IPv6 too")));
        QVERIFY(anna.dialog.router->cmdCopy->isEnabled());
    }

    // SIGTERM ends the game as the close box does, the forward with it, and
    // within a second also while the router is still being searched for.
    // The console's "quit" ends it on the spot, but takes the forward off
    // the router first.
    void aTerminatedGameLeavesNoForward_data()
    {
        QTest::addColumn<QString>("router");
        QTest::addColumn<QString>("when");
        QTest::addColumn<bool>("quit");
        QTest::newRow("forwarded") << "both no-ipv6" << Address.arg(GamePort) << false;
        QTest::newRow("still asking") << "drop"
                                      << "listening" << false;
        QTest::newRow("forwarded, quit") << "both no-ipv6" << Address.arg(GamePort) << true;
        QTest::newRow("forwarded with UPnP, quit")
            << "upnp no-ipv6" << Address.arg(GamePort) << true;
        QTest::newRow("still asking, quit") << "drop"
                                            << "listening" << true;
        // The pinhole in the router's IPv6 firewall goes the same ways.
        QTest::newRow("a pinhole") << "second-router" << Pinhole << false;
        QTest::newRow("a pinhole, quit") << "second-router" << Pinhole << true;
    }

    void aTerminatedGameLeavesNoForward()
    {
        QFETCH(QString, router);
        QFETCH(QString, when);
        QFETCH(bool, quit);
        QVERIFY(m_modes.set(router));
        QProcess game;
        game.start(QStringLiteral(KORVALOOP_HOSTING_GAME), {QString::number(GamePort)});
        QVERIFY(game.waitForStarted());
        QByteArray said;
        QVERIFY(QTest::qWaitFor(
            [&] {
                said += game.readAllStandardOutput();
                return said.contains(when.toUtf8() + '\n');
            },
            Answered));
        QElapsedTimer clock;
        clock.start();
        if (quit)
            game.write("quit\n");
        else
            ::kill(pid_t(game.processId()), SIGTERM);
        QVERIFY(game.waitForFinished(5000));
        qInfo("%s to exit: %lld ms", quit ? "quit" : "SIGTERM", clock.elapsed());
        QVERIFY(clock.elapsed() < 1000);
        QCOMPARE(game.exitStatus(), QProcess::NormalExit);
        QCOMPARE(mappings(), QStringList());
        QCOMPARE(pinholes(), QStringList());
    }

    // A player who wants to know what happened starts the game with one
    // switch and sees every room's log, the router's answers among them;
    // without it the game says nothing of an ordinary hosting.
    void theLogSwitchShowsEveryRoom_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<bool>("shown");
        QTest::newRow("korvaloop.*=true") << "korvaloop.*=true" << true;
        QTest::newRow("by default") << QString() << false;
    }

    void theLogSwitchShowsEveryRoom()
    {
        QFETCH(QString, rules);
        QFETCH(bool, shown);
        QVERIFY(m_modes.set(QStringLiteral("both no-ipv6")));
        QProcess game;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_LOGGING_RULES"));
        if (!rules.isEmpty())
            environment.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
        game.setProcessEnvironment(environment);
        game.start(QStringLiteral(KORVALOOP_HOSTING_GAME), {QString::number(GamePort)});
        QVERIFY(game.waitForStarted());
        QByteArray said;
        QVERIFY(QTest::qWaitFor(
            [&] {
                said += game.readAllStandardOutput();
                return said.contains(Address.arg(GamePort).toUtf8() + '\n');
            },
            Answered));
        ::kill(pid_t(game.processId()), SIGTERM);
        QVERIFY(game.waitForFinished(5000));
        const QString log = QString::fromUtf8(game.readAllStandardError());
        if (shown)
            qInfo("%s", qPrintable(log));
        for (const char* room : {"korvaloop.router: ", "korvaloop.session: "})
            QVERIFY2(log.contains(QLatin1String(room)) == shown, qPrintable(log));
    }

    // Nothing answers on the router: the game hosts on this network at once,
    // the row says so within 5 s, and the keys work all along.
    void noRouterAnswers_data()
    {
        QTest::addColumn<QString>("router");
        QTest::newRow("it drops what it is sent") << "drop no-ipv6";
        QTest::newRow("it refuses what it is sent") << "reject no-ipv6";
    }

    void noRouterAnswers()
    {
        QFETCH(QString, router);
        QVERIFY(m_modes.set(router));
        Copy anna;
        anna.form.show();
        QVERIFY(QTest::qWaitForWindowActive(&anna.form));
        host(anna);
        QCOMPARE(anna.status(), QStringLiteral("Status: Waiting for connection"));
        anna.form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&anna.form));

        QElapsedTimer clock;
        clock.start();
        int presses = 0;
        // Where the router opens nothing, the invitation is the way in.
        const QString noWayIn = QStringLiteral("Copy invites: this network only");
        while (row(anna) != noWayIn && clock.elapsed() < 6000) {
            // A step left from the start hits the wall: the beep says the
            // press was taken.
            QTest::keyClick(&anna.form, Qt::Key_4);
            QCOMPARE(anna.platform.beeps, ++presses);
            QTest::qWait(50);
        }
        qInfo("\"%s\" after %lld ms, %d key presses answered meanwhile", qPrintable(noWayIn),
              clock.elapsed(), presses);
        QVERIFY(clock.elapsed() < 5000);
        const QString tip = anna.dialog.router->outside->toolTip();
        QVERIFY(tip.contains(QStringLiteral("forward TCP port %1").arg(GamePort)));
        QVERIFY(tip.contains(ThisMachine.toString()));

        QTcpSocket neighbour; // on this network, the game is there as ever
        neighbour.connectToHost(ThisMachine, GamePort);
        QTRY_VERIFY(anna.connected());
    }

    // A router that opens nothing: the friend on the internet joins through
    // the invitation Co&py gives, and the answer its game made, pasted into
    // the host's field with Return. Moves go both ways over the path.
    void aFriendJoinsThroughTheInvitation()
    {
        QVERIFY(m_modes.set(QStringLiteral("reject no-ipv6")));
        Copy anna;
        host(anna);
        QTRY_VERIFY_WITH_TIMEOUT(row(anna).startsWith(QLatin1String("Copy invites: ")), Answered);
        QVERIFY(anna.dialog.answerRow->isVisible());
        QCOMPARE(anna.dialog.window.focusWidget(), anna.dialog.answerRow->answer);
        anna.dialog.router->cmdCopy->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), anna.net.reach().invitation);

        CopyOnTheInternet bert(QGuiApplication::clipboard()->text());
        QString answer;
        QTRY_VERIFY_WITH_TIMEOUT(!(answer = bert.answer()).isEmpty(), Answered);
        QVERIFY(bert.said(QStringLiteral("Status: Answer copied for the host")));
        QVERIFY(!anna.connected());
        anna.dialog.answerRow->answer->setText(answer);
        QCOMPARE(anna.dialog.cmdOK->text(), QStringLiteral("&OK"));
        QTest::keyClick(anna.dialog.answerRow->answer, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(anna.connected(), Answered);
        QCOMPARE(anna.status(), QStringLiteral("Status: Connected via both routers"));
        QTRY_VERIFY(bert.said(QStringLiteral("Status: Connected via both routers")));
        QTRY_VERIFY(!bert.peer().isEmpty()); // anna's figure, over the path
        // Bert's moves back: the figure where a game starts it, then a step.
        QTRY_COMPARE(anna.game.scene.guyrm.left(), 0);
        bert.type("goright");
        QTRY_COMPARE(anna.game.scene.guyrm.left(), 8);
        QVERIFY(anna.game.scene.key.isVisible());
        bert.type("gotkey"); // and bert's key pickup, as typed in bert's console
        QTRY_VERIFY(!anna.game.scene.key.isVisible());

        // The host's leaving ends the friend's connection too.
        anna.dialog.cmdOK->click();
        QTRY_VERIFY(bert.said(QStringLiteral("Status: Idle")));
    }

    // The router's outside address is itself behind another NAT: the row
    // says so, naming it where the router does, and nothing is forwarded.
    void behindASecondRouter_data()
    {
        QTest::addColumn<QString>("named");
        QTest::newRow("miniupnpd, which keeps it to itself") << "";
        QTest::newRow("a router that names it") << "100.64.0.1";
    }

    void behindASecondRouter()
    {
        QFETCH(QString, named);
        QVERIFY(m_modes.set(named.isEmpty() ? QStringLiteral("second-router no-ipv6")
                                            : QStringLiteral("off no-ipv6")));
        std::unique_ptr<FakeIgd> router;
        if (!named.isEmpty()) {
            router =
                std::make_unique<FakeIgd>(Gateway, QStringList{QStringLiteral("--outside"), named});
            QVERIFY(router->ready());
        }
        Copy anna;
        host(anna);
        // miniupnpd 2.3.1 (Debian 12) keeps its private outside address to
        // itself; later ones (Debian 13) name it.
        // No address works, so Copy gives the invitation alone.
        const QStringList expected =
            named.isEmpty() ? QStringList{QStringLiteral("Copy invites: behind a second router"),
                                          QStringLiteral("Copy invites: behind 100.64.0.1")}
                            : QStringList{QStringLiteral("Copy invites: behind ") + named};
        QTRY_VERIFY_WITH_TIMEOUT(expected.contains(row(anna)), Answered);
        QVERIFY(anna.dialog.router->outside->toolTip().contains(
            QStringLiteral("players outside cannot join")));
        anna.dialog.router->cmdCopy->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), anna.net.reach().invitation);
        QVERIFY(QGuiApplication::clipboard()->text().startsWith(QLatin1String("korvaloop-")));
        QCOMPARE(mappings(), QStringList());
    }

    // Another machine holds the game's port on the router: the port the
    // router offers is taken, shown, and reached.
    void thePortTakenTheRouterOffersAnother()
    {
        QVERIFY(m_modes.set(QStringLiteral("both no-ipv6 taken=%1").arg(GamePort)));
        Copy anna;
        host(anna);
        QTRY_VERIFY_WITH_TIMEOUT(row(anna).startsWith(QLatin1String("198.51.100.1:")), Answered);
        const auto outsidePort = quint16(row(anna).section(QLatin1Char(':'), 1).toUInt());
        QVERIFY(outsidePort != 0 && outsidePort != GamePort);
        QVERIFY(mappings().contains(forward(outsidePort, ThisMachine, GamePort)));
        const std::unique_ptr<QTcpSocket> bert = fromTheInternet(outsidePort);
        QVERIFY(bert);
        QTRY_VERIFY(anna.connected());
    }

    // With the box off, the router hears nothing of the game.
    void withTheBoxOffTheRouterIsNotAsked()
    {
        QVERIFY(m_modes.set(QStringLiteral("both no-ipv6")));
        Copy anna;
        host(anna, false);
        QCOMPARE(anna.status(), QStringLiteral("Status: Waiting for connection"));
        QCOMPARE(row(anna), QStringLiteral("this network only"));
        QCOMPARE(anna.net.router(), nullptr);
        QCOMPARE(mappings(), QStringList());
    }
};

QTEST_MAIN(TestInternetPlay)
#include "tst_internetplay.moc"
