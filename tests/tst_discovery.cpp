// SPDX-License-Identifier: MIT
// Games found and announced on the network, through a real mDNS daemon on a
// loopback-only network: runs inside tests/discovery-namespace.sh.
#include "app/form1.h"
#include "connectdialog/statusline.h"
#include "dialogcontrols.h"
#include "gamespublisher.h"
#include "onscreen.h"
#include "recordingplatform.h"

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

constexpr int NetworkTimeout = 15000; // ms: announcing takes about a second

// Only inside the wrapper, where loopback is the one interface: daemons are
// started there as root, and never on the machine's own network.
bool inNamespace()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    return qEnvironmentVariableIsSet("KORVALOOP_DAEMONS") && interfaces.size() == 1 &&
           interfaces.first().flags().testFlag(QNetworkInterface::IsLoopBack);
}

// Brings the namespace's system bus and mDNS daemon to "up", "no-avahi" or
// "no-bus" (tests/namespace-daemons.sh).
bool daemons(const char* state)
{
    QProcess control;
    control.setProcessChannelMode(QProcess::ForwardedChannels);
    control.start(qEnvironmentVariable("KORVALOOP_DAEMONS"), {QLatin1String(state)});
    return control.waitForFinished(30000) && control.exitStatus() == QProcess::NormalExit &&
           control.exitCode() == 0;
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString entry(const char* name, int port)
{
    return QLatin1String(name) + QStringLiteral(" \u2013 127.0.0.1:") + QString::number(port);
}

QStringList list(std::initializer_list<QString> entries)
{
    return QStringList{QStringLiteral("localhost")} + QStringList(entries);
}

// One copy of the game; its dialog is made the first time it is opened.
struct Copy {
    RecordingPlatform platform;
    Form1 form{platform};
    QAction* mplay = named<QAction>(form, "mplay");

    DialogControls dialog() { return DialogControls(form.dialog()); }
    QComboBox* adress() { return dialog().adress; }
    QString status() { return dialog().status->text(); }

    void ok(bool asHost, int port, const QString& name = QStringLiteral("Player"))
    {
        mplay->trigger();
        dialog().username->setText(name);
        (asHost ? dialog().host : dialog().join)->setChecked(true);
        dialog().port->setText(QString::number(port));
        dialog().cmdOK->click();
    }
    // As the player reads them.
    QStringList entries()
    {
        QStringList texts;
        for (int i = 0; i < adress()->count(); ++i)
            texts.append(onScreen(adress()->itemText(i), adress()->view()->font()));
        return texts;
    }
};

// A game announced by Avahi's own tool while the object lives.
struct Announcement {
    QProcess tool;
    Announcement(const QString& name, int port)
    {
        tool.start(QStringLiteral("avahi-publish-service"),
                   {name, QStringLiteral("_korvaloop._tcp"), QString::number(port)});
    }
    ~Announcement()
    {
        tool.kill();
        tool.waitForFinished(3000);
    }
};

// What another machine on the network sees: "name port" of every game the
// daemon resolves, its name as the tool writes it ("Player #2" is
// "Player\032\0352"). The event loop runs while it looks.
QStringList browse()
{
    QProcess tool;
    tool.start(QStringLiteral("avahi-browse"),
               {QStringLiteral("--resolve"), QStringLiteral("--parsable"),
                QStringLiteral("--terminate"), QStringLiteral("_korvaloop._tcp")});
    QDeadlineTimer deadline(10000);
    while (tool.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(20);
    QStringList games;
    for (const QByteArray& line : tool.readAllStandardOutput().split('\n')) {
        // =;interface;protocol;name;type;domain;host;address;port;txt
        const QList<QByteArray> fields = line.split(';');
        if (fields.size() >= 9 && fields[0] == "=")
            games.append(QString::fromUtf8(fields[3] + ' ' + fields[8]));
    }
    games.removeDuplicates();
    games.sort();
    return games;
}

// How many games the daemon has seen announced, resolved or not.
int announcedGames()
{
    QProcess tool;
    tool.start(QStringLiteral("avahi-browse"),
               {QStringLiteral("--parsable"), QStringLiteral("--terminate"),
                QStringLiteral("_korvaloop._tcp")});
    QDeadlineTimer deadline(10000);
    while (tool.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(20);
    return int(("\n" + tool.readAllStandardOutput()).count("\n+;"));
}

// A second network beside loopback while the object lives: a veth pair
// whose other end nobody listens on, so the daemon is alone on it as on
// loopback. The daemon takes it up as it comes (allow-interfaces).
struct SecondNetwork {
    static constexpr const char* Name = "korvaloop1";
    bool up = false;
    SecondNetwork()
    {
        up = ip({"link", "add", Name, "type", "veth", "peer", "name", "korvaloop2"}) &&
             ip({"link", "set", "korvaloop2", "up"}) &&
             ip({"link", "set", Name, "multicast", "on", "up"}) &&
             ip({"addr", "add", "192.168.77.1/24", "dev", Name});
    }
    ~SecondNetwork() { ip({"link", "del", Name}); }
    static bool ip(std::initializer_list<const char*> arguments)
    {
        QStringList list;
        for (const char* argument : arguments)
            list.append(QLatin1String(argument));
        QProcess tool;
        tool.setProcessChannelMode(QProcess::ForwardedChannels);
        tool.start(QStringLiteral("ip"), list);
        return tool.waitForFinished(10000) && tool.exitStatus() == QProcess::NormalExit &&
               tool.exitCode() == 0;
    }
};

QString entryAt(const char* name, const char* address, int port)
{
    return QLatin1String(name) + QStringLiteral(" \u2013 ") + QLatin1String(address) +
           QLatin1Char(':') + QString::number(port);
}

QString game(const char* name, int port)
{
    return QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(port);
}

} // namespace

class TestDiscovery : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!inNamespace())
            QSKIP("starts daemons as root: runs only inside tests/discovery-namespace.sh");
    }

    // From an empty network: a daemon that ran on still holds the games the
    // last function withdrew for a while, and they would take places in the
    // list of the next.
    void init()
    {
        QVERIFY(daemons("no-avahi"));
        QVERIFY(daemons("up"));
        QCOMPARE(announcedGames(), 0);
    }

    void aHostIsListedWhileItListens_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("a peer joins") << "join";
        QTest::newRow("Stop") << "stop";
        QTest::newRow("Cancel") << "cancel";
        QTest::newRow("the game closes") << "close";
    }

    void aHostIsListedWhileItListens()
    {
        QFETCH(QString, end);
        const int port = freePort();
        auto anna = std::make_unique<Copy>();
        Copy bert;
        bert.mplay->trigger();
        anna->ok(true, port, QStringLiteral("Anna"));
        QCOMPARE(anna->status(), QStringLiteral("Status: Waiting for connection"));
        QTRY_COMPARE_WITH_TIMEOUT(browse(), QStringList{game("Anna", port)}, NetworkTimeout);
        QTRY_COMPARE(bert.entries(), list({entry("Anna", port)}));
        QCOMPARE(anna->entries(), list({})); // not its own

        if (end == QLatin1String("join")) {
            bert.ok(false, port);
            QTRY_VERIFY(anna->status().startsWith(QLatin1String("Status: Connected to ")));
        } else if (end == QLatin1String("stop")) {
            anna->dialog().cmdOK->click();
            QCOMPARE(anna->status(), QStringLiteral("Status: Idle"));
        } else if (end == QLatin1String("cancel")) {
            anna->dialog().cmdCancel->click();
        } else {
            anna.reset();
        }
        QTRY_COMPARE_WITH_TIMEOUT(browse(), QStringList(), NetworkTimeout);
        QTRY_COMPARE(bert.entries(), list({}));
    }

    // Avahi's rule: the second "Player" on the network is "Player #2".
    void aNameTakenGetsANumber()
    {
        Copy first;
        Copy second;
        const int port = freePort();
        first.ok(true, port);
        QTRY_COMPARE_WITH_TIMEOUT(browse(), QStringList{game("Player", port)}, NetworkTimeout);
        const int secondPort = freePort();
        second.ok(true, secondPort);
        QTRY_COMPARE_WITH_TIMEOUT(
            browse(), (QStringList{game("Player", port), game("Player\\032\\0352", secondPort)}),
            NetworkTimeout);
    }

    void aGameFoundIsJoined_data()
    {
        QTest::addColumn<bool>("withTheMouse");
        QTest::newRow("Down key in the field") << false;
        QTest::newRow("mouse in the open list") << true;
    }

    void aGameFoundIsJoined()
    {
        QFETCH(bool, withTheMouse);
        QTcpServer bertsGame;
        QVERIFY(bertsGame.listen(QHostAddress::Any, 0));
        const int port = bertsGame.serverPort();
        Announcement bert(QStringLiteral("Bert"), port);

        Copy joiner;
        joiner.mplay->trigger();
        QVERIFY(QTest::qWaitForWindowActive(&joiner.dialog().window));
        QTRY_COMPARE_WITH_TIMEOUT(joiner.entries(), list({entry("Bert", port)}), NetworkTimeout);
        QCOMPARE(joiner.adress()->currentText(), QStringLiteral("localhost"));
        QVERIFY(joiner.dialog().host->isChecked());

        QComboBox* adress = joiner.adress();
        if (withTheMouse) {
            adress->showPopup();
            QAbstractItemView* view = adress->view();
            QTRY_VERIFY(view->isVisible());
            const QRect bertsEntry = view->visualRect(view->model()->index(1, 0));
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, bertsEntry.center());
            QTRY_VERIFY(!view->isVisible());
        } else {
            QTest::keyClick(adress, Qt::Key_Down);
        }
        QCOMPARE(adress->currentText(), QStringLiteral("127.0.0.1"));
        QCOMPARE(joiner.dialog().port->text(), QString::number(port));
        QVERIFY(joiner.dialog().join->isChecked());

        QTest::keyClick(adress, Qt::Key_Return); // OK
        QCOMPARE(joiner.status(), QStringLiteral("Status: Connecting..."));
        QTRY_VERIFY(bertsGame.hasPendingConnections());
        QTRY_COMPARE(joiner.status(), QStringLiteral("Status: Connected to 127.0.0.1"));
    }

    // Entries come and go, in name order; what the player typed stays, also
    // when the entry it was chosen from goes.
    void theListFollowsTheNetwork()
    {
        const int port = freePort();
        Announcement carla(QStringLiteral("carla"), port);
        auto dirk = std::make_unique<Announcement>(QStringLiteral("Dirk"), port);
        Copy joiner;
        joiner.mplay->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(
            joiner.entries(), list({entry("carla", port), entry("Dirk", port)}), NetworkTimeout);

        QComboBox* adress = joiner.adress();
        adress->setFocus();
        QTest::keyClick(adress, Qt::Key_Down);
        QTest::keyClick(adress, Qt::Key_Down);
        QCOMPARE(adress->currentIndex(), 2);
        adress->lineEdit()->selectAll();
        QTest::keyClicks(adress, QStringLiteral("10.0.0.5"));

        dirk.reset();
        QTRY_COMPARE_WITH_TIMEOUT(joiner.entries(), list({entry("carla", port)}), NetworkTimeout);
        QCOMPARE(adress->currentText(), QStringLiteral("10.0.0.5"));
        QCOMPARE(adress->lineEdit()->cursorPosition(), 8);

        // The arrow keys go on from the entry next to the one that went,
        // also when another comes in before it.
        Announcement bea(QStringLiteral("Bea"), port);
        QTRY_COMPARE_WITH_TIMEOUT(joiner.entries(),
                                  list({entry("Bea", port), entry("carla", port)}), NetworkTimeout);
        QCOMPARE(adress->currentText(), QStringLiteral("10.0.0.5"));
        QTest::keyClick(adress, Qt::Key_Up);
        QCOMPARE(adress->currentIndex(), 1);
        QCOMPARE(adress->currentText(), QStringLiteral("127.0.0.1"));
    }

    // Names announced on the network are only names: none can turn the
    // address around or stand in for it, nor garble the entry.
    void aNameIsOnlyAName()
    {
        const int port = freePort();
        Announcement reversed(QStringLiteral("\u202E") + QStringLiteral("Anna"), port);
        Announcement isolated(QStringLiteral("Bert\u2066"), port);
        Announcement placeholder(QStringLiteral("Carla%1"), port);
        Copy joiner;
        joiner.mplay->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(
            joiner.entries(),
            list({entry("Anna", port), entry("Bert", port), entry("Carla%1", port)}),
            NetworkTimeout);
        QTest::keyClick(joiner.adress(), Qt::Key_Down);
        QCOMPARE(joiner.adress()->currentText(), QStringLiteral("127.0.0.1"));
        QCOMPARE(joiner.dialog().port->text(), QString::number(port));
    }

    // A host that answers for its address only after the daemon's resolver
    // gave up (5 s) is listed once it answers; one whose address goes for
    // longer and comes back as another is off the list meanwhile, then
    // listed at the new one.
    void theListHasTheAddressAGameHasNow()
    {
        const int port = freePort();
        HostOnLink slow("slow.local");
        slow.announce("Slow", port);
        Copy joiner;
        joiner.mplay->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(announcedGames(), 1, NetworkTimeout);
        QTest::qWait(8000);
        QCOMPARE(joiner.entries(), list({}));
        slow.setAddress(QHostAddress(QStringLiteral("127.0.0.2")));
        QTRY_COMPARE_WITH_TIMEOUT(joiner.entries(), list({entryAt("Slow", "127.0.0.2", port)}),
                                  NetworkTimeout);

        slow.setAddress({});
        QTRY_COMPARE_WITH_TIMEOUT(joiner.entries(), list({}), NetworkTimeout);
        slow.setAddress(QHostAddress(QStringLiteral("127.0.0.3")));
        QTRY_COMPARE_WITH_TIMEOUT(joiner.entries(), list({entryAt("Slow", "127.0.0.3", port)}),
                                  NetworkTimeout);
    }

    // Two networks may each have an "Anna" (Avahi renames only within one):
    // both are listed, each at its own address. One game seen on both is
    // one entry.
    void oneNameOnTwoNetworksIsTwoGames()
    {
        SecondNetwork second;
        QVERIFY(second.up);
        const int farNetwork = QNetworkInterface::interfaceIndexFromName(SecondNetwork::Name);
        const int loopback = QNetworkInterface::interfaceIndexFromName(QStringLiteral("lo"));
        const int port = freePort();
        HostOnLink near("anna-near.local", loopback);
        HostOnLink far("anna-far.local", farNetwork);
        near.announce("Anna", port);
        near.setAddress(QHostAddress(QStringLiteral("127.0.0.2")));
        far.announce("Anna", port + 1);
        far.setAddress(QHostAddress(QStringLiteral("192.168.77.2")));
        Announcement bert(QStringLiteral("Bert"), port); // the daemon's own host, on both
        Copy joiner;
        joiner.mplay->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(
            joiner.entries(),
            list({entryAt("Anna", "127.0.0.2", port), entryAt("Anna", "192.168.77.2", port + 1),
                  entry("Bert", port)}),
            NetworkTimeout);
    }

    // A network that announces games by the hundred: the list takes the
    // first MaxSightings and no more, and the game goes on as ever. Games
    // that leave make room for those turned away.
    void aFloodOfGamesIsListedWithinBounds()
    {
        constexpr int Announced = int(Discovery::MaxSightings) + 44;
        constexpr int Full = 1 + int(Discovery::MaxSightings);
        auto first = std::make_unique<GamesPublisher>(3, "First");
        Copy joiner;
        joiner.mplay->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(joiner.adress()->count(), 1 + 3, NetworkTimeout);
        GamesPublisher flood(Announced, "Flood");
        QDeadlineTimer deadline(60000);
        while (announcedGames() < 3 + Announced && !deadline.hasExpired())
            QTest::qWait(500);
        QTRY_COMPARE_WITH_TIMEOUT(joiner.adress()->count(), Full, NetworkTimeout);
        QCOMPARE(announcedGames(), 3 + Announced);
        QCOMPARE(joiner.adress()->count(), Full);
        QCOMPARE(joiner.adress()->itemText(0), QStringLiteral("localhost"));

        first.reset();
        QTRY_VERIFY_WITH_TIMEOUT(
            joiner.adress()->findText(QStringLiteral("First"), Qt::MatchContains) == -1,
            NetworkTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(joiner.adress()->count(), Full, NetworkTimeout);
        QCOMPARE(announcedGames(), Announced);
    }

    // Without a daemon, or without even a bus, the dialog is as it always
    // was; once the daemon runs, the list fills and the host is announced,
    // and when it (or the bus) stops, the list empties and the game goes on.
    void withoutTheDaemon_data()
    {
        QTest::addColumn<bool>("busToo");
        QTest::newRow("no mDNS daemon") << false;
        QTest::newRow("no system bus either") << true;
    }

    void withoutTheDaemon()
    {
        QFETCH(bool, busToo);
        QVERIFY(daemons(busToo ? "no-bus" : "no-avahi"));
        const int port = freePort();
        Copy host;
        Copy joiner;
        host.ok(true, port, QStringLiteral("Anna"));
        QCOMPARE(host.status(), QStringLiteral("Status: Waiting for connection"));
        joiner.mplay->trigger();
        QVERIFY(joiner.dialog().window.isVisible());
        QCOMPARE(joiner.entries(), list({}));
        QCOMPARE(joiner.adress()->currentText(), QStringLiteral("localhost"));

        QVERIFY(daemons("up"));
        QTRY_COMPARE_WITH_TIMEOUT(browse(), QStringList{game("Anna", port)}, NetworkTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(joiner.entries(), list({entry("Anna", port)}), NetworkTimeout);

        QVERIFY(daemons(busToo ? "no-bus" : "no-avahi"));
        QTRY_COMPARE_WITH_TIMEOUT(joiner.entries(), list({}), NetworkTimeout);
        joiner.ok(false, port);
        QTRY_VERIFY(joiner.status().startsWith(QLatin1String("Status: Connected to ")));
        QVERIFY(host.status().startsWith(QLatin1String("Status: Connected to ")));
        QVERIFY(host.platform.boxes.isEmpty() && joiner.platform.boxes.isEmpty());
    }
};

QTEST_MAIN(TestDiscovery)
#include "tst_discovery.moc"
