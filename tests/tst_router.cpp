// SPDX-License-Identifier: MIT
// The home router's forward of a hosting game's port, asked of a real
// miniupnpd (and, for what it will not do, tests/sandbox/fakeigd) on a
// router between a home network and a piece of internet: runs inside
// tests/router-namespace.sh, on the home network's machine 192.168.77.10.
#include "router/portmapping.h"
#include "routersandbox.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

using State = PortMapping::State;
using Protocol = PortMapping::Protocol;

namespace {

// What the game's listening socket does for this test: answers a line
// with the same line.
class EchoServer : public QTcpServer {
public:
    explicit EchoServer(quint16 port)
    {
        listen(QHostAddress::Any, port); // IPv4 and IPv6, as the game
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* peer = nextPendingConnection()) {
                connect(peer, &QTcpSocket::readyRead, peer,
                        [peer] { peer->write(peer->readAll()); });
                connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
            }
        });
    }
};

} // namespace

class TestRouter : public QObject {
    Q_OBJECT

    RouterModes m_modes;
    bool routerMode(const QString& mode) { return m_modes.set(mode); }

private slots:
    void initTestCase()
    {
        if (!inSandbox())
            QSKIP("runs a router of its own: only inside tests/router-namespace.sh");
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "miniupnpd wrote:\n" << control({QStringLiteral("log")}).output;
    }

    // Whichever protocol the router speaks, the game ends up with one
    // forward of its port, which a peer outside uses, and which is gone when
    // the game no longer hosts.
    void aPeerOutsideReachesTheGame_data()
    {
        QTest::addColumn<QString>("router");
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<bool>("destroyed");
        QTest::newRow("UPnP-IGD, stopped") << "upnp" << Protocol::UpnpIgd << false;
        QTest::newRow("UPnP-IGD, destroyed") << "upnp" << Protocol::UpnpIgd << true;
        QTest::newRow("NAT-PMP/PCP, stopped") << "natpmp" << Protocol::NatPmp << false;
        QTest::newRow("NAT-PMP/PCP, destroyed") << "natpmp" << Protocol::NatPmp << true;
        QTest::newRow("both, stopped") << "both" << Protocol::NatPmp << false;
    }

    void aPeerOutsideReachesTheGame()
    {
        QFETCH(QString, router);
        QFETCH(Protocol, protocol);
        QFETCH(bool, destroyed);
        QVERIFY(routerMode(router));
        EchoServer game(GamePort);
        QVERIFY(game.isListening());
        QVERIFY(!reach(Outside, GamePort));

        auto mapping = std::make_unique<PortMapping>();
        QSignalSpy changes(mapping.get(), &PortMapping::stateChanged);
        mapping->start(GamePort);
        QCOMPARE(mapping->state(), State::Asking);
        QCOMPARE(mapping->localAddress(), ThisMachine);
        QTRY_COMPARE_WITH_TIMEOUT(mapping->state(), State::Mapped, Answered);
        QCOMPARE(mapping->outsideAddress(), Outside);
        QCOMPARE(mapping->outsidePort(), GamePort);
        QCOMPARE(mapping->protocol(), protocol);
        QCOMPARE(changes.count(), 2);
        QCOMPARE(mappings(), QStringList{forward(GamePort, ThisMachine, GamePort)});
        QVERIFY(reach(Outside, GamePort));

        if (destroyed) {
            mapping.reset();
        } else {
            mapping->stop();
            QCOMPARE(mapping->state(), State::Off);
        }
        QTRY_COMPARE_WITH_TIMEOUT(mappings(), QStringList(), Removed);
        QVERIFY(!reach(Outside, GamePort));
    }

    void noRouterAnswers_data()
    {
        QTest::addColumn<QString>("router");
        QTest::addColumn<bool>("igdOnThisMachine");
        QTest::newRow("it drops what it is sent") << "drop" << false;
        QTest::newRow("it refuses what it is sent") << "reject" << false;
        // Anyone's device may answer a search: only the gateway's is asked.
        QTest::newRow("an IGD that is not the gateway") << "off" << true;
    }

    void noRouterAnswers()
    {
        QFETCH(QString, router);
        QFETCH(bool, igdOnThisMachine);
        QVERIFY(routerMode(router));
        std::unique_ptr<FakeIgd> elsewhere;
        if (igdOnThisMachine) {
            elsewhere = std::make_unique<FakeIgd>(ThisMachine, QStringList());
            QVERIFY(elsewhere->ready());
        }
        PortMapping mapping;
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::NoRouter, Answered);
        QCOMPARE(mapping.localAddress(), ThisMachine);
        QCOMPARE(mapping.outsideAddress(), QHostAddress());
        if (elsewhere)
            QCOMPARE(elsewhere->asked("AddPortMapping"), QStringList());
    }

    void behindASecondRouter_data()
    {
        QTest::addColumn<bool>("routerNamesIt");
        QTest::addColumn<QHostAddress>("named");
        // miniupnpd 2.3.1 (Debian 12) keeps a private outside address to
        // itself and answers that it has none; later ones (Debian 13) name it.
        QTest::newRow("miniupnpd") << false << QHostAddress();
        QTest::newRow("a router that names its address")
            << true << QHostAddress(QStringLiteral("100.64.0.1"));
    }

    void behindASecondRouter()
    {
        QFETCH(bool, routerNamesIt);
        QFETCH(QHostAddress, named);
        QVERIFY(
            routerMode(routerNamesIt ? QStringLiteral("off") : QStringLiteral("second-router")));
        std::unique_ptr<FakeIgd> router;
        if (routerNamesIt) {
            router = std::make_unique<FakeIgd>(
                Gateway, QStringList{QStringLiteral("--outside"), named.toString()});
            QVERIFY(router->ready());
        }
        PortMapping mapping;
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::BehindSecondRouter, Answered);
        if (routerNamesIt || !mapping.outsideAddress().isNull())
            QCOMPARE(mapping.outsideAddress(), QHostAddress(QStringLiteral("100.64.0.1")));
        QCOMPARE(mapping.localAddress(), ThisMachine);
        QCOMPARE(mappings(), QStringList());
        if (router)
            QCOMPARE(router->asked("AddPortMapping"), QStringList());
    }

    // Another machine on the network holds the game's port on the router.
    void thePortTakenTheRouterOffersAnother_data()
    {
        QTest::addColumn<QString>("router");
        QTest::addColumn<Protocol>("protocol");
        QTest::newRow("UPnP-IGD version 2") << "upnp" << Protocol::UpnpIgd;
        // Offers none: the next ports are tried.
        QTest::newRow("UPnP-IGD version 1") << "upnp igd-v1" << Protocol::UpnpIgd;
        QTest::newRow("NAT-PMP/PCP") << "natpmp" << Protocol::NatPmp;
    }

    void thePortTakenTheRouterOffersAnother()
    {
        QFETCH(QString, router);
        QFETCH(Protocol, protocol);
        QVERIFY(routerMode(router + QStringLiteral(" taken=%1").arg(GamePort)));
        const QString theOthers =
            forward(GamePort, QHostAddress(QStringLiteral("192.168.77.99")), GamePort);
        EchoServer game(GamePort);
        PortMapping mapping;
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::Mapped, Answered);
        QCOMPARE(mapping.protocol(), protocol);
        const quint16 offered = mapping.outsidePort();
        QVERIFY(offered != GamePort);
        QStringList both{theOthers, forward(offered, ThisMachine, GamePort)};
        both.sort();
        QCOMPARE(mappings(), both);
        QVERIFY(reach(Outside, offered));

        mapping.stop();
        QTRY_COMPARE_WITH_TIMEOUT(mappings(), QStringList{theOthers}, Removed);
    }

    // UPnP error 725: the forward is made without a lease, and then only
    // the game removes it.
    void aRouterThatKeepsOnlyPermanentForwards()
    {
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd router(Gateway, {QStringLiteral("--permanent-only")});
        QVERIFY(router.ready());
        PortMapping mapping;
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::Mapped, Answered);
        QCOMPARE(mapping.protocol(), Protocol::UpnpIgd);
        QCOMPARE(mapping.outsidePort(), GamePort);
        QCOMPARE(router.asked("AddPortMapping"),
                 (QStringList{QStringLiteral("AddPortMapping 2539 192.168.77.10:2539 3600 725"),
                              QStringLiteral("AddPortMapping 2539 192.168.77.10:2539 0 0")}));
        mapping.stop();
        QTRY_COMPARE(router.asked("DeletePortMapping"),
                     QStringList{QStringLiteral("DeletePortMapping 2539 0")});
    }

    // Closing the game while the router is being asked.
    void destroyedWhileAsking_data()
    {
        QTest::addColumn<bool>("whileForwarding");
        QTest::newRow("during the search") << false;
        QTest::newRow("while the router makes the forward") << true;
    }

    void destroyedWhileAsking()
    {
        QFETCH(bool, whileForwarding);
        if (!whileForwarding) {
            QVERIFY(routerMode(QStringLiteral("upnp")));
            auto mapping = std::make_unique<PortMapping>();
            mapping->start(GamePort);
            QTest::qWait(100);
            mapping.reset();
            // Past the search's end, when a forward would have been made.
            QTest::qWait(UpnpSearchEnds);
            QCOMPARE(mappings(), QStringList());
            return;
        }
        QVERIFY(routerMode(QStringLiteral("off")));
        // Longer than destruction waits for it.
        FakeIgd router(Gateway, {QStringLiteral("--answer-delay"), QStringLiteral("800")});
        QVERIFY(router.ready());
        auto mapping = std::make_unique<PortMapping>();
        mapping->start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(router.asked("AddPortMapping").size(), 1, Answered);
        mapping.reset();
        QTRY_COMPARE(router.asked("DeletePortMapping"),
                     QStringList{QStringLiteral("DeletePortMapping 2539 0")});
    }

    // Two forwards at the router's shortest lease, one through each
    // protocol: without renewals both would be gone long before the end.
    void theLeaseIsRenewed()
    {
        QVERIFY(routerMode(QStringLiteral("both")));
        const quint16 natPmpPort = 40001;
        const quint16 upnpPort = 40002;
        const std::chrono::seconds lease(60); // below miniupnpd's min_lifetime of 120 s
        PortMapping natPmp({lease, true, false});
        PortMapping upnp({lease, false, true});
        natPmp.start(natPmpPort);
        upnp.start(upnpPort);
        QTRY_COMPARE_WITH_TIMEOUT(natPmp.state(), State::Mapped, Answered);
        QTRY_COMPARE_WITH_TIMEOUT(upnp.state(), State::Mapped, Answered);
        QSignalSpy natPmpChanges(&natPmp, &PortMapping::stateChanged);
        QSignalSpy upnpChanges(&upnp, &PortMapping::stateChanged);
        const QStringList both{forward(natPmpPort, ThisMachine, natPmpPort),
                               forward(upnpPort, ThisMachine, upnpPort)};
        QCOMPARE(mappings(), both);

        QTest::qWait(150 * 1000);
        QCOMPARE(mappings(), both);
        QCOMPARE(natPmpChanges.count(), 0);
        QCOMPARE(upnpChanges.count(), 0);
    }

    // What a router, or a device that poses as one, answers is checked
    // before the game uses it: an outside port that is no port once ended
    // the game, and "99999" was shown as 34463. The forward is asked for the
    // version 1 way then, for a port the game knows and can remove.
    void aReservedPortThatIsNoPort_data()
    {
        QTest::addColumn<QString>("reserved");
        QTest::newRow("words") << "abc";
        QTest::newRow("zero") << "0";
        QTest::newRow("past 65535") << "99999";
    }

    void aReservedPortThatIsNoPort()
    {
        QFETCH(QString, reserved);
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd router(Gateway,
                       {QStringLiteral("--igd2"), QStringLiteral("--reserved-port"), reserved});
        QVERIFY(router.ready());
        PortMapping mapping(upnpOnly());
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::Mapped, Answered);
        QCOMPARE(mapping.outsidePort(), GamePort);
        QCOMPARE(router.asked("AddAnyPortMapping").size(), 1);
        QCOMPARE(router.asked("AddPortMapping"),
                 QStringList{QStringLiteral("AddPortMapping 2539 192.168.77.10:2539 3600 0")});
        mapping.stop();
        QTRY_COMPARE(router.asked("DeletePortMapping"),
                     QStringList{QStringLiteral("DeletePortMapping 2539 0")});
    }

    // A device at the gateway's address in the URL's host, and another's
    // in front of it as a user name: the game would once have fetched from
    // that other device, and shown the address it chose.
    void aSecondDeviceCannotChooseTheAddress_data()
    {
        QTest::addColumn<QStringList>("gateway");
        QTest::newRow("in the search answer's location")
            << QStringList{QStringLiteral("--location"),
                           QStringLiteral("http://192.168.77.10:5000@%a:%p/rootDesc.xml")};
        QTest::newRow("in the control URL")
            << QStringList{QStringLiteral("--control-url"),
                           QStringLiteral("http://192.168.77.10:5000@%a:%p/ctl/IPConn")};
    }

    void aSecondDeviceCannotChooseTheAddress()
    {
        QFETCH(QStringList, gateway);
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd other(ThisMachine, {QStringLiteral("--no-ssdp"), QStringLiteral("--http-port"),
                                    QStringLiteral("5000"), QStringLiteral("--outside"),
                                    QStringLiteral("203.0.113.66")});
        QVERIFY(other.ready());
        FakeIgd router(Gateway, gateway);
        QVERIFY(router.ready());
        PortMapping mapping(upnpOnly());
        mapping.start(GamePort);
        QTRY_VERIFY_WITH_TIMEOUT(mapping.state() != State::Asking, Answered);
        QCOMPARE(mapping.state(), State::NoRouter);
        QCOMPARE(mapping.outsideAddress(), QHostAddress());
        QCOMPARE(other.lines(), QStringList{QStringLiteral("ready")});
        QCOMPARE(router.asked("AddPortMapping"), QStringList());
    }

    // NAT-PMP answers cut short, of another port or refused: nothing of
    // them is shown, and the request goes on its own schedule (250 ms,
    // doubling) instead of once for every answer.
    void oddNatPmpAnswers_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<State>("state");
        QTest::newRow("an address answer of 4 bytes") << "short-address" << State::NoRouter;
        QTest::newRow("forward answers of 8 bytes") << "short-map" << State::NoRouter;
        QTest::newRow("forward answers for another port") << "wrong-port" << State::NoRouter;
        QTest::newRow("a refusal") << "refuse" << State::Refused;
    }

    void oddNatPmpAnswers()
    {
        QFETCH(QString, mode);
        QFETCH(State, state);
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd router(Gateway, {QStringLiteral("--no-ssdp"), QStringLiteral("--natpmp"), mode});
        QVERIFY(router.ready());
        PortMapping mapping({std::chrono::seconds(3600), true, false});
        mapping.start(GamePort);
        QTRY_VERIFY_WITH_TIMEOUT(mapping.state() != State::Asking, Answered);
        QCOMPARE(mapping.state(), state);
        QCOMPARE(mapping.outsideAddress(), QHostAddress());
        if (state == State::Refused)
            QVERIFY2(mapping.reason().contains(QLatin1String("not authorized")),
                     qPrintable(mapping.reason()));
        mapping.stop();
        const qsizetype requests = router.asked("natpmp").size();
        QVERIFY2(requests <= 8, qPrintable(QString::number(requests)));
    }

    // A description or a SOAP answer that never ends once grew the game by
    // all the router sent: it hangs up at 64 KiB now.
    void anAnswerThatNeverEnds_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("the description") << "description";
        QTest::newRow("a SOAP answer") << "soap";
    }

    void anAnswerThatNeverEnds()
    {
        QFETCH(QString, what);
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd router(Gateway, {QStringLiteral("--endless"), what});
        QVERIFY(router.ready());
        PortMapping mapping(upnpOnly());
        mapping.start(GamePort);
        QTRY_VERIFY_WITH_TIMEOUT(mapping.state() != State::Asking, Answered);
        QCOMPARE(mapping.state(), State::NoRouter);
        QTRY_COMPARE(router.asked("endless").size(), 1);
        const qint64 sent =
            router.asked("endless").constFirst().section(QLatin1Char(' '), 2).toLongLong();
        // What the two kernels' buffers hold, beyond the game's 64 KiB.
        QVERIFY2(sent < 16 * 1024 * 1024, qPrintable(QString::number(sent)));
    }

    // A search answered two thousand times at once: one description is
    // fetched, not hundreds, and the forward is not held up.
    void aFloodOfSearchAnswers()
    {
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd router(Gateway, {QStringLiteral("--search-flood"), QStringLiteral("2000")});
        QVERIFY(router.ready());
        PortMapping mapping(upnpOnly());
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::Mapped, Answered);
        QVERIFY2(router.asked("GET").size() <= 3, qPrintable(router.asked("GET").join(' ')));
        QCOMPARE(mapping.outsideAddress(), Outside);
    }

    // Addresses a router may write that are no address players can use:
    // a mapped one is shown as the IPv4 address it is, the others get a row
    // of their own, and no forward is asked for.
    void oddOutsideAddresses_data()
    {
        QTest::addColumn<QString>("outside");
        QTest::addColumn<State>("state");
        QTest::addColumn<QHostAddress>("shown");
        QTest::newRow("IPv4-mapped IPv6") << "::ffff:198.51.100.1" << State::Mapped << Outside;
        QTest::newRow("three parts") << "8.8.8" << State::NoUsableAddress << QHostAddress();
        QTest::newRow("none") << "0.0.0.0" << State::NoUsableAddress << QHostAddress();
        QTest::newRow("words") << "abc" << State::NoUsableAddress << QHostAddress();
    }

    void oddOutsideAddresses()
    {
        QFETCH(QString, outside);
        QFETCH(State, state);
        QFETCH(QHostAddress, shown);
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd router(Gateway, {QStringLiteral("--outside"), outside});
        QVERIFY(router.ready());
        PortMapping mapping(upnpOnly());
        mapping.start(GamePort);
        QTRY_VERIFY_WITH_TIMEOUT(mapping.state() != State::Asking, Answered);
        QCOMPARE(mapping.state(), state);
        QCOMPARE(mapping.outsideAddress(), shown);
        if (state != State::Mapped)
            QCOMPARE(router.asked("AddPortMapping"), QStringList());
    }

    // The router answered, and said no: the row says so, with its reason,
    // not that nothing answered.
    void theRouterRefuses_data()
    {
        QTest::addColumn<QStringList>("router");
        QTest::addColumn<QString>("reason");
        QTest::newRow("718, every port tried")
            << QStringList{QStringLiteral("--add-error"), QStringLiteral("718")} << "718";
        QTest::newRow("501") << QStringList{QStringLiteral("--add-error"), QStringLiteral("501")}
                             << "501";
        QTest::newRow("606") << QStringList{QStringLiteral("--add-error"), QStringLiteral("606")}
                             << "606";
    }

    void theRouterRefuses()
    {
        QFETCH(QStringList, router);
        QFETCH(QString, reason);
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd igd(Gateway, router);
        QVERIFY(igd.ready());
        PortMapping mapping(upnpOnly());
        mapping.start(GamePort);
        QTRY_VERIFY_WITH_TIMEOUT(mapping.state() != State::Asking, Answered);
        QCOMPARE(mapping.state(), State::Refused);
        QVERIFY2(mapping.reason().contains(reason), qPrintable(mapping.reason()));
    }

    // IGD 2 holds the port for another machine and offers none (718): the
    // next ports are tried as on IGD 1.
    void aTakenPortOnARouterThatOffersNone()
    {
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd router(Gateway, {QStringLiteral("--igd2"), QStringLiteral("--any-error"),
                                 QStringLiteral("718"), QStringLiteral("--taken"),
                                 QString::number(GamePort)});
        QVERIFY(router.ready());
        PortMapping mapping(upnpOnly());
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::Mapped, Answered);
        QCOMPARE(mapping.outsidePort(), quint16(GamePort + 1));
    }

    // A router that restarts forgets its forwards. The game notices at its
    // next check (NAT-PMP: the router's epoch went back; UPnP: the forward
    // is no longer there) and asks again.
    void aRestartedRouterForwardsAgain_data()
    {
        QTest::addColumn<bool>("natPmp");
        QTest::newRow("NAT-PMP") << true;
        QTest::newRow("UPnP-IGD") << false;
    }

    void aRestartedRouterForwardsAgain()
    {
        QFETCH(bool, natPmp);
        QVERIFY(routerMode(QStringLiteral("both")));
        PortMapping::Options options;
        options.natPmp = natPmp;
        options.upnpIgd = !natPmp;
        options.check = std::chrono::seconds(2);
        PortMapping mapping(options);
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::Mapped, Answered);
        const QStringList forwarded{forward(GamePort, ThisMachine, GamePort)};
        QCOMPARE(mappings(), forwarded);
        // A router that has been up a while, as a router is: its epoch
        // tells a restart from a clock that drifts by 2 s.
        QTest::qWait(5000);
        QSignalSpy changes(&mapping, &PortMapping::stateChanged);
        QCOMPARE(control({QStringLiteral("mode"), QStringLiteral("both")}).exitCode, 0);
        QCOMPARE(mappings(), QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(mappings(), forwarded, 2 * 2000 + Answered);
        QTRY_COMPARE(mapping.state(), State::Mapped);
        QVERIFY(changes.count() >= 2); // asking, then mapped again
        mapping.stop();
        QTRY_COMPARE_WITH_TIMEOUT(mappings(), QStringList(), Removed);
    }

    // IPv6: the router's firewall is opened for this machine's global
    // address and the game's port, by either protocol; with both asked at
    // once, one pinhole stays. It goes when the game no longer hosts.
    void aPeerOutsideReachesTheGameOverIpv6_data()
    {
        QTest::addColumn<bool>("pcp");
        QTest::addColumn<bool>("upnp");
        QTest::addColumn<bool>("destroyed");
        QTest::newRow("PCP, stopped") << true << false << false;
        QTest::newRow("PCP, destroyed") << true << false << true;
        QTest::newRow("UPnP IGD 2, stopped") << false << true << false;
        QTest::newRow("UPnP IGD 2, destroyed") << false << true << true;
        QTest::newRow("both, stopped") << true << true << false;
    }

    void aPeerOutsideReachesTheGameOverIpv6()
    {
        QFETCH(bool, pcp);
        QFETCH(bool, upnp);
        QFETCH(bool, destroyed);
        QVERIFY(routerMode(QStringLiteral("both")));
        EchoServer game(GamePort);
        QVERIFY(!reach6(ThisMachine6, GamePort));

        PortMapping::Options options;
        options.natPmp = false;
        options.upnpIgd = upnp;
        options.pcp = pcp;
        auto mapping = std::make_unique<PortMapping>(options);
        mapping->start(GamePort);
        QCOMPARE(mapping->pinholeState(), State::Asking);
        QCOMPARE(mapping->globalAddress(), ThisMachine6);
        QTRY_COMPARE_WITH_TIMEOUT(mapping->pinholeState(), State::Mapped, Answered);
        QCOMPARE(mapping->pinholeAddress(), ThisMachine6);
        QCOMPARE(mapping->pinholePort(), GamePort);
        QCOMPARE(mapping->pinholeProtocol(), pcp ? Protocol::Pcp : Protocol::UpnpIgd);
        const QStringList open{QStringLiteral("tcp6 2001:db8:1::10 2539")};
        // Both protocols at once: the one that lost removes what it made.
        QTRY_COMPARE_WITH_TIMEOUT(pinholes(), open, Removed);
        QVERIFY(reach6(ThisMachine6, GamePort));

        if (destroyed)
            mapping.reset();
        else
            mapping->stop();
        QTRY_COMPARE_WITH_TIMEOUT(pinholes(), QStringList(), Removed);
        QVERIFY(!reach6(ThisMachine6, GamePort));
    }

    // Where the provider shares the IPv4 address among many homes, only
    // the pinhole opens the game to the internet.
    void behindACarrierNatThePinholeStillOpens()
    {
        QVERIFY(routerMode(QStringLiteral("second-router")));
        EchoServer game(GamePort);
        PortMapping mapping;
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.pinholeState(), State::Mapped, Answered);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::BehindSecondRouter, Answered);
        QVERIFY(reach6(ThisMachine6, GamePort));
        mapping.stop();
        QTRY_COMPARE_WITH_TIMEOUT(pinholes(), QStringList(), Removed);
    }

    // No IPv6 on the home network: nothing is asked of the firewall, and
    // the forward is as it always was.
    void withoutIpv6NoPinholeIsAskedFor()
    {
        QVERIFY(routerMode(QStringLiteral("both no-ipv6")));
        PortMapping mapping;
        QSignalSpy pinholeChanges(&mapping, &PortMapping::pinholeChanged);
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::Mapped, Answered);
        QCOMPARE(mapping.pinholeState(), State::Off);
        QCOMPARE(mapping.globalAddress(), QHostAddress());
        QCOMPARE(pinholeChanges.count(), 0);
        QCOMPARE(pinholes(), QStringList());
    }

    // A router that restarts forgets its pinholes too: made again at the
    // next check.
    void aRestartedRouterOpensThePinholeAgain_data()
    {
        QTest::addColumn<bool>("pcp");
        QTest::newRow("PCP") << true;
        QTest::newRow("UPnP IGD 2") << false;
    }

    void aRestartedRouterOpensThePinholeAgain()
    {
        QFETCH(bool, pcp);
        QVERIFY(routerMode(QStringLiteral("both")));
        PortMapping::Options options;
        options.natPmp = false;
        options.upnpIgd = !pcp;
        options.pcp = pcp;
        options.check = std::chrono::seconds(2);
        PortMapping mapping(options);
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.pinholeState(), State::Mapped, Answered);
        const QStringList open{QStringLiteral("tcp6 2001:db8:1::10 2539")};
        QTRY_COMPARE_WITH_TIMEOUT(pinholes(), open, Removed);
        QCOMPARE(control({QStringLiteral("mode"), QStringLiteral("both")}).exitCode, 0);
        QCOMPARE(pinholes(), QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(pinholes(), open, 2 * 2000 + Answered);
        QTRY_COMPARE(mapping.pinholeState(), State::Mapped);
        mapping.stop();
        QTRY_COMPARE_WITH_TIMEOUT(pinholes(), QStringList(), Removed);
    }

private:
    static constexpr int UpnpSearchEnds = 2500;

    static PortMapping::Options upnpOnly()
    {
        PortMapping::Options options;
        options.natPmp = false;
        return options;
    }
};

QTEST_GUILESS_MAIN(TestRouter)
#include "tst_router.moc"
