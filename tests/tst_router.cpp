// SPDX-License-Identifier: MIT
// The home router's forward of a hosting game's port, asked of a real
// miniupnpd (and, for what it will not do, tests/sandbox/fakeigd) on a
// router between a home network and a piece of internet: runs inside
// tests/router-namespace.sh, on the home network's machine 192.168.77.10.
#include "router/portmapping.h"
#include "routersandbox.h"
#include "soak.h"

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

class TestRouter : public RouterSandboxTest {
    Q_OBJECT

    RouterModes m_modes;
    bool routerMode(const QString& mode) { return m_modes.set(mode); }

private slots:
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
        // miniupnpd speaks PCP, which makes the forward where it can.
        QTest::newRow("NAT-PMP/PCP, stopped") << "natpmp" << Protocol::Pcp << false;
        QTest::newRow("NAT-PMP/PCP, destroyed") << "natpmp" << Protocol::Pcp << true;
        QTest::newRow("both, stopped") << "both" << Protocol::Pcp << false;
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
        QTest::newRow("NAT-PMP/PCP") << "natpmp" << Protocol::Pcp;
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

    // Two forwards at a lease of 2 s, one through each protocol, on a router
    // that lets a forward go when its lease runs out: each is renewed in
    // time, again and again, and the game sees no change.
    void theLeaseIsRenewed()
    {
        QVERIFY(routerMode(QStringLiteral("off")));
        FakeIgd router(Gateway, {QStringLiteral("--natpmp"), QStringLiteral("normal")});
        QVERIFY(router.ready());
        const quint16 natPmpPort = 40001;
        const quint16 upnpPort = 40002;
        PortMapping::Options options;
        options.lease = std::chrono::seconds(2);
        options.shortestRenewal = std::chrono::seconds(1);
        options.ipv6 = false;
        options.upnpIgd = false;
        PortMapping natPmp(options);
        options.natPmp = false;
        options.upnpIgd = true;
        PortMapping upnp(options);
        natPmp.start(natPmpPort);
        upnp.start(upnpPort);
        QTRY_COMPARE_WITH_TIMEOUT(natPmp.state(), State::Mapped, Answered);
        QTRY_COMPARE_WITH_TIMEOUT(upnp.state(), State::Mapped, Answered);
        QSignalSpy natPmpChanges(&natPmp, &PortMapping::stateChanged);
        QSignalSpy upnpChanges(&upnp, &PortMapping::stateChanged);

        // Three renewals each: three lives of the first lease.
        const auto renewals = [&](const char* request) { return router.asked(request).size() - 1; };
        QTRY_VERIFY_WITH_TIMEOUT(renewals("natpmp 2") >= 3 && renewals("AddPortMapping") >= 3,
                                 4 * 2000);
        QCOMPARE(router.asked("AddPortMapping").filter(QStringLiteral(" 2 0")).size(),
                 router.asked("AddPortMapping").size()); // every one asked for 2 s, and granted
        QCOMPARE(router.asked("expired"), QStringList());
        QCOMPARE(router.asked("natpmp-expired"), QStringList());
        QCOMPARE(natPmpChanges.count(), 0);
        QCOMPARE(upnpChanges.count(), 0);
        QCOMPARE(natPmp.outsidePort(), natPmpPort);
        QCOMPARE(upnp.outsidePort(), upnpPort);
    }

    // A router that grants a lease of 1 s: PCP's forward and pinhole are
    // renewed no more often than once a second, as NAT-PMP's and UPnP's
    // (the pinhole was renewed every half second, and a shorter life would
    // have been a flood).
    void aShortLeaseIsRenewedAtMostOnceASecond()
    {
        QVERIFY(routerMode(QStringLiteral("both min-lifetime=1")));
        PortMapping::Options options;
        options.lease = std::chrono::seconds(1);
        options.shortestRenewal = std::chrono::seconds(0);
        options.upnpIgd = false;
        PortMapping mapping(options);
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::Mapped, Answered);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.pinholeState(), State::Mapped, Answered);
        QCOMPARE(mapping.protocol(), Protocol::Pcp);
        const auto requests = [](const char* from) {
            return QString::fromLatin1(control({QStringLiteral("log")}).output)
                .count(QStringLiteral("PCP request received from %1").arg(QLatin1String(from)));
        };
        const qsizetype forward = requests("192.168.77.10:");
        const qsizetype pinhole = requests("[2001:db8:1::10]:");
        QTest::qWait(3000);
        const qsizetype forwardRenewals = requests("192.168.77.10:") - forward;
        const qsizetype pinholeRenewals = requests("[2001:db8:1::10]:") - pinhole;
        // Some releases of miniupnpd grant no PCP lease shorter than 120 s,
        // whatever they are told: then nothing is renewed in these 3 s.
        if (forwardRenewals == 0 && pinholeRenewals == 0)
            QSKIP("this miniupnpd grants no lease as short as 1 s");
        QVERIFY2(forwardRenewals >= 1 && forwardRenewals <= 4,
                 qPrintable(QString::number(forwardRenewals)));
        QVERIFY2(pinholeRenewals >= 1 && pinholeRenewals <= 4,
                 qPrintable(QString::number(pinholeRenewals)));
    }

    // The same with a real router, at its shortest lease: without renewals
    // both would be gone long before the end.
    void theLeaseIsRenewedByARealRouter()
    {
        SKIP_UNLESS_SOAKING();
        QVERIFY(routerMode(QStringLiteral("both")));
        const quint16 natPmpPort = 40001;
        const quint16 upnpPort = 40002;
        const std::chrono::seconds lease(60); // below miniupnpd's min_lifetime of 120 s
        PortMapping natPmp({{lease}, true, false});
        PortMapping upnp({{lease}, false, true});
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

    // A router that restarts forgets its forwards; one that reloads its
    // firewall, or that another program on the network told to, drops one
    // without restarting, and a daemon that restarts within seconds gives
    // no sign in its epoch. Through NAT-PMP or PCP the forward is asked for
    // again at every check, and the router's answer makes it again: back
    // within a check, the row unchanged. Through UPnP the game notices at
    // its next check that the forward is no longer there and asks again.
    void aRestartedRouterForwardsAgain_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<QString>("loss");
        QTest::newRow("NAT-PMP/PCP, restarted") << Protocol::Pcp << "restart";
        QTest::newRow("UPnP-IGD, restarted") << Protocol::UpnpIgd << "restart";
        const std::pair<const char*, Protocol> protocols[] = {{"PCP", Protocol::Pcp},
                                                              {"NAT-PMP", Protocol::NatPmp}};
        for (const auto& [name, protocol] : protocols) {
            QTest::addRow("%s, restarted within 3 s", name) << protocol << "quick restart";
            QTest::addRow("%s, removed by another program", name) << protocol << "removed";
            QTest::addRow("%s, the firewall reloaded", name) << protocol << "flushed";
        }
    }

    void aRestartedRouterForwardsAgain()
    {
        QFETCH(Protocol, protocol);
        QFETCH(QString, loss);
        QVERIFY(routerMode(QStringLiteral("both")));
        EchoServer game(GamePort);
        PortMapping::Options options;
        options.natPmp = protocol != Protocol::UpnpIgd;
        options.upnpIgd = protocol == Protocol::UpnpIgd;
        options.pcp = protocol == Protocol::Pcp;
        options.ipv6 = loss == QLatin1String("restart");
        options.check = std::chrono::seconds(2);
        PortMapping mapping(options);
        mapping.start(GamePort);
        QTRY_COMPARE_WITH_TIMEOUT(mapping.state(), State::Mapped, Answered);
        QCOMPARE(mapping.protocol(), protocol);
        const QStringList forwarded{forward(GamePort, ThisMachine, GamePort)};
        QCOMPARE(mappings(), forwarded);
        // A router that has been up a while, as a router is: its NAT-PMP
        // epoch tells a restart from a clock that drifts by 2 s.
        if (loss == QLatin1String("restart") && protocol != Protocol::UpnpIgd)
            QTest::qWait(5000);
        QSignalSpy changes(&mapping, &PortMapping::stateChanged);
        QElapsedTimer lost;
        lost.start();
        if (loss.endsWith(QLatin1String("restart"))) {
            QCOMPARE(control({QStringLiteral("mode"), QStringLiteral("both")}).exitCode, 0);
        } else if (loss == QLatin1String("removed")) {
            QVERIFY(deletePortMapping(GamePort));
        } else {
            for (const char* chain : {"prerouting_miniupnpd", "postrouting_miniupnpd", "miniupnpd"})
                QCOMPARE(control({QStringLiteral("router"), QStringLiteral("nft"),
                                  QStringLiteral("flush"), QStringLiteral("chain"),
                                  QStringLiteral("inet"), QStringLiteral("filter"),
                                  QLatin1String(chain)})
                             .exitCode,
                         0);
        }
        QCOMPARE(mappings(), QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(mappings(), forwarded, 2 * 2000 + Answered);
        qInfo("%s: the forward was back %lld ms after it was lost", QTest::currentDataTag(),
              qint64(lost.elapsed()));
        QTRY_COMPARE(mapping.state(), State::Mapped);
        QCOMPARE(mapping.outsideAddress(), Outside);
        QCOMPARE(mapping.outsidePort(), GamePort);
        if (protocol == Protocol::UpnpIgd)
            QVERIFY(changes.count() >= 2); // asking, then mapped again
        else
            QCOMPARE(changes.count(), 0);
        QVERIFY(reach(Outside, GamePort));
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

    // Another program on the home network removes the forward of `port`
    // with UPnP, as a user's tool may.
    static bool deletePortMapping(quint16 port)
    {
        const QRegularExpression listening(QStringLiteral("HTTP listening on port (\\d+)"));
        const QRegularExpressionMatch found =
            listening.match(QString::fromLatin1(control({QStringLiteral("log")}).output));
        if (!found.hasMatch())
            return false;
        const QByteArray service = "urn:schemas-upnp-org:service:WANIPConnection:2";
        const QByteArray body =
            "<?xml version=\"1.0\"?><s:Envelope "
            "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
            "<u:DeletePortMapping xmlns:u=\"" +
            service + "\"><NewRemoteHost></NewRemoteHost><NewExternalPort>" +
            QByteArray::number(port) +
            "</NewExternalPort><NewProtocol>TCP</NewProtocol></u:DeletePortMapping>"
            "</s:Body></s:Envelope>";
        QTcpSocket socket;
        socket.connectToHost(Gateway, quint16(found.captured(1).toUInt()));
        if (!socket.waitForConnected(2000))
            return false;
        socket.write("POST /ctl/IPConn HTTP/1.1\r\nHost: " + Gateway.toString().toLatin1() +
                     "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"" + service +
                     "#DeletePortMapping\"\r\nContent-Length: " + QByteArray::number(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body);
        QByteArray answer;
        while (socket.waitForReadyRead(2000))
            answer += socket.readAll();
        answer += socket.readAll();
        return answer.startsWith("HTTP/1.1 200");
    }
};

QTEST_GUILESS_MAIN(TestRouter)
#include "tst_router.moc"
