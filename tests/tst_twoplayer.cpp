// SPDX-License-Identifier: MIT
#include "connectdialog/routerrow.h"
#include "connectdialog/statusline.h"
#include "console/console.h"
#include "ice/invitationcode.h"
#include "lan/discovery.h"
#include "onscreen.h"
#include "twocopies.h"

#include <QCheckBox>
#include <QComboBox>
#include <QTcpSocket>
#include <QToolTip>
#include <QtTest>

class TestTwoPlayer : public QObject {
    Q_OBJECT

    std::unique_ptr<Copy> a; // hosts
    std::unique_ptr<Copy> b; // joins
    int port = 0;

    void connectBoth()
    {
        a->ok(true, port);
        QCOMPARE(a->status(), QStringLiteral("Status: Waiting for connection"));
        QCOMPARE(a->dialog.cmdOK->text(), QStringLiteral("&Stop"));
        b->ok(false, port);
        QCOMPARE(b->status(), QStringLiteral("Status: Connecting..."));
        QTRY_VERIFY(connectedTo(a->status()) && connectedTo(b->status()));
    }

private slots:
    void init()
    {
        a = std::make_unique<Copy>();
        b = std::make_unique<Copy>();
        port = freePort();
    }

    void cleanup()
    {
        b.reset();
        a.reset();
    }

    void joinedCopiesShowEachOther()
    {
        connectBoth();
        for (Copy* copy : {a.get(), b.get()}) {
            QVERIFY(copy->game.mul.isEnabled());
            QVERIFY(!copy->mplay->isEnabled());
            QVERIFY(!copy->dialog.window.isVisible());
            QCOMPARE(copy->game.mul.interval(), 20);
            QCOMPARE(copy->game.scene.redchat.caption(), QStringLiteral("Player"));
        }
        // The host stopped listening: a third copy finds nobody.
        QTcpSocket third;
        third.connectToHost(QHostAddress::LocalHost, quint16(port));
        QVERIFY(!third.waitForConnected(1000) || third.waitForDisconnected(1000));

        // Positions and facing.
        b->game.GoRight();
        b->game.GoRight();
        b->game.GoLeft();
        QTRY_COMPARE(a->game.scene.guylm.left(), 8);
        QCOMPARE(a->game.scene.guyrm.box(), QRect(8, 444, 35, 38));
        QVERIFY(a->game.scene.guylm.isVisible());
        QVERIFY(!a->game.scene.guyrm.isVisible());
        QTRY_COMPARE(a->game.scene.greenchat.left(), 8 - 250); // the tick keeps the tag above

        // The key, taken on one side, is gone on both.
        a->form.game.GotKey();
        QTRY_VERIFY(b->game.doorOpen);
        QVERIFY(!b->game.scene.key.isVisible());
        QVERIFY(b->game.scene.Shape3.isVisible());
        QCOMPARE(b->log().mid(1, 2), (QStringList{"key picked up", "door open"}));

        // A new game: answered once by a player who has played, and no more.
        b->form.game.Form_KeyPress('x');
        a->form.game.Form_KeyPress('x');
        a->form.drukf2->trigger();
        QTRY_VERIFY(!b->game.doorOpen);
        QTRY_COMPARE(a->log().count(QStringLiteral("New game initialized")), 2);
        roundTrip(*a, *b);
        QCOMPARE(a->log().count(QStringLiteral("New game initialized")), 2);
        QCOMPARE(b->log().count(QStringLiteral("New game initialized")), 1);

        // Chat, on both screens for five seconds.
        a->platform.answers = QStringList{QStringLiteral("hallo <b>daar</b>")};
        a->chat->trigger();
        QCOMPARE(a->platform.inputs.first(),
                 qMakePair(QStringLiteral("Say:"), QStringLiteral("Chat")));
        QCOMPARE(a->game.scene.redchat.caption(), QStringLiteral("Player: hallo <b>daar</b>"));
        QTRY_COMPARE(b->game.scene.greenchat.caption(),
                     QStringLiteral("Player: hallo <b>daar</b>"));
        QVERIFY(b->game.wischatgr.isEnabled());
        QCOMPARE(b->game.wischatgr.interval(), 5000);
        Q_EMIT b->game.wischatgr.ticked();
        Q_EMIT a->game.wischatr.ticked();
        QCOMPARE(b->game.scene.greenchat.caption(), QStringLiteral("Player"));
        QCOMPARE(a->game.scene.redchat.caption(), QStringLiteral("Player"));
    }

    void consoleWordsAndBoxesReachThePeer()
    {
        connectBoth();
        QLineEdit* command = named<QLineEdit>(b->form.console(), "command");
        command->setText(QStringLiteral("die"));
        QTest::keyClick(command, Qt::Key_Return);
        QTRY_COMPARE(a->platform.boxes.size(), 1);
        command->setText(QStringLiteral("win"));
        QTest::keyClick(command, Qt::Key_Return);
        QTRY_COMPARE(a->platform.boxes.size(), 2);
        QCOMPARE(a->platform.boxes[0], qMakePair(QStringLiteral("Other player died, u win"),
                                                 QStringLiteral("Korvaloop")));
        QCOMPARE(a->platform.boxes[1].first, QStringLiteral("Other player won"));
        QVERIFY(!a->game.gameOver); // the box is all it does
    }

    // A word typed in the console goes to the peer once, and runs here too.
    void aConsoleWordReachesThePeerOnce()
    {
        connectBoth();
        b->game.Form_KeyPress('x'); // b has played: its own new game would tell a
        QLineEdit* command = named<QLineEdit>(b->form.console(), "command");
        for (const char* word : {"gotkey", "newgame"}) {
            command->setText(QString::fromLatin1(word));
            QTest::keyClick(command, Qt::Key_Return);
        }
        QTRY_COMPARE(b->log().count(QStringLiteral("New game initialized")), 1);
        QTRY_COMPARE(a->log().count(QStringLiteral("New game initialized")), 1);
        roundTrip(*a, *b);
        QCOMPARE(a->log().count(QStringLiteral("key picked up")), 1);
        QCOMPARE(a->log().count(QStringLiteral("New game initialized")), 1);
        QCOMPARE(b->log().count(QStringLiteral("key picked up")), 1);
        QCOMPARE(b->log().count(QStringLiteral("New game initialized")), 1);
    }

    // What one peer left unfinished is no beginning for the next one's first
    // message.
    void theNextPeerStartsAfresh()
    {
        a->ok(true, port);
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, quint16(port));
        QTRY_VERIFY(a->connected());
        first.write("move|1|2|3");
        QVERIFY(first.waitForBytesWritten(1000));
        QTest::qWait(100);
        first.disconnectFromHost();
        QTRY_VERIFY(!a->connected());

        a->dialog.cmdOK->click(); // stop
        a->dialog.cmdOK->click(); // listen again
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHost, quint16(port));
        QTRY_VERIFY(a->connected());
        second.write("gotkey");
        QTRY_VERIFY(a->game.doorOpen);
        QCOMPARE(a->game.scene.guyrm.left(), 168);
    }

    void theJoinerLeavesAndTheHostStartsAgain()
    {
        connectBoth();
        b.reset();
        QTRY_COMPARE(a->status(), QStringLiteral("Status: Idle"));
        QVERIFY(!a->game.mul.isEnabled());
        QVERIFY(a->mplay->isEnabled());
        // The peer closed, not we: the first OK stops, the second listens.
        a->dialog.cmdOK->click();
        QCOMPARE(a->dialog.cmdOK->text(), QStringLiteral("&Ok"));
        QCOMPARE(a->net.state(), ConnectionState::Closed);
        a->dialog.cmdOK->click();
        QCOMPARE(a->status(), QStringLiteral("Status: Waiting for connection"));
        QCOMPARE(a->net.state(), ConnectionState::Listening);
    }

    void failedStartsCanBeRetried()
    {
        // Nobody listens there.
        b->ok(false, port);
        QTRY_COMPARE(
            b->status(),
            QStringLiteral("Status: Cannot join localhost:%1 (connection refused)").arg(port));
        QCOMPARE(b->dialog.cmdOK->text(), QStringLiteral("&Stop"));
        QCOMPARE(b->net.state(), ConnectionState::Closed);
        b->dialog.cmdOK->click();
        QCOMPARE(b->status(), QStringLiteral("Status: Connecting..."));

        // Cancel while listening closes the socket and leaves the texts.
        a->ok(true, port);
        a->dialog.cmdCancel->click();
        QCOMPARE(a->net.state(), ConnectionState::Closed);
        QVERIFY(!a->dialog.window.isVisible());
        QCOMPARE(a->status(), QStringLiteral("Status: Waiting for connection"));
        a->mplay->trigger();
        a->dialog.cmdOK->click();
        QCOMPARE(a->net.state(), ConnectionState::Listening);
    }

    void badSettingsNeverEndTheProgram_data()
    {
        QTest::addColumn<bool>("asHost");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("portText");
        QTest::addColumn<QString>("status");
        const QString range = QStringLiteral("Status: Port must be 1 to 65535");
        QTest::newRow("host, letters") << true << "localhost"
                                       << "abc" << range;
        QTest::newRow("host, too big") << true << "localhost"
                                       << "70000" << range;
        QTest::newRow("host, zero") << true << "localhost"
                                    << "0" << range;
        QTest::newRow("join, negative") << false << "localhost"
                                        << "-1" << range;
        QTest::newRow("join, no address") << false << "  "
                                          << "2539"
                                          << "Status: No address given";
        // What is pasted can hold anything: it is refused, and nothing is tried.
        QTest::newRow("join, not an address") << false << "anna.example:2539 <script>"
                                              << "2539"
                                              << "Status: Not an address: <script>";
        QTest::newRow("join, a port out of range") << false << "127.0.0.1:2539 [::1]:99999"
                                                   << "2539" << range;
        QString many;
        for (int i = 1; i <= 17; ++i)
            many += QStringLiteral("192.168.1.%1  ").arg(i);
        QTest::newRow("join, too many addresses") << false << many << "2539"
                                                  << "Status: More than 16 addresses";
        QTest::newRow("join, far too long") << false << QString(20000, QLatin1Char('x')) << "2539"
                                            << "Status: Too long for an address";
        // An invitation pasted from a chat is read before anything is asked
        // of the network, as an address is.
        ice::Code answer = ice::Code::withNewCredentials(ice::CodeKind::Answer);
        answer.candidates.append({ice::Candidate::Type::Host, QHostAddress("192.0.2.7"), 50000});
        const QString answerText = ice::encodeCode(answer);
        QTest::newRow("join, a damaged invitation")
            << false << answerText.first(answerText.size() - 3) + QStringLiteral("!!!") << "2539"
            << "Status: This code is damaged or cut short: ask your friend to copy it again and "
               "send it whole.";
        QTest::newRow("join, an answer where the invitation belongs")
            << false << answerText << "2539"
            << "Status: This is an answer, and an invitation belongs here.";
        QTest::newRow("join, two invitations")
            << false << answerText + QLatin1Char(' ') + answerText << "2539"
            << "Status: Paste one invitation at a time";
        QTest::newRow("join, an invitation beside what is no address")
            << false << QStringLiteral("<script> ") + answerText << "2539"
            << "Status: Not an address: <script>";
    }

    void badSettingsNeverEndTheProgram()
    {
        QFETCH(bool, asHost);
        QFETCH(QString, address);
        QFETCH(QString, portText);
        QFETCH(QString, status);
        a->mplay->trigger();
        (asHost ? a->dialog.host : a->dialog.join)->setChecked(true);
        a->dialog.adress->setEditText(address);
        a->dialog.port->setText(portText);
        a->dialog.cmdOK->click();
        QCOMPARE(a->status(), status);
        QCOMPARE(a->dialog.cmdOK->text(), QStringLiteral("&OK"));
        QCOMPARE(a->net.state(), ConnectionState::Closed);
    }

    void portInUseAndUnknownHost()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, quint16(port)));
        a->ok(true, port);
        QCOMPARE(a->status(), QStringLiteral("Status: Port %1 is in use").arg(port));
        QCOMPARE(a->net.state(), ConnectionState::Closed);

        b->dialog.adress->setEditText(QStringLiteral("no-such-host.invalid"));
        b->ok(false, port);
        // The status names the host that was tried, whatever the field holds by then.
        b->dialog.adress->setEditText(QStringLiteral("localhost"));
        const QString notFound = QStringLiteral("Status: Cannot find no-such-host.invalid");
        QTRY_COMPARE_WITH_TIMEOUT(b->status(), notFound, 15000);
        QVERIFY(b->mplay->isEnabled());

        // Too long for its line: cut short, and whole in the tooltip.
        StatusLine& line = *b->dialog.status;
        b->dialog.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&b->dialog.window));
        QVERIFY(line.shownText().endsWith(QChar(0x2026)));
        QVERIFY(notFound.startsWith(line.shownText().chopped(1)));
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), line.mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(&line, &help);
        QTRY_COMPARE(QToolTip::text(), notFound);
    }

    // The statuses the game writes itself fit their line whole.
    void statusTextsFit()
    {
        StatusLine& line = *a->dialog.status;
        for (const char* text :
             {"Status: Idle", "Status: Waiting for connection", "Status: Connecting...",
              "Status: Incoming connection...", "Status: Connected to 192.168.1.23",
              "Status: Port must be 1 to 65535", "Status: Port 65535 is in use",
              "Status: No address given", "Status: Answer copied for the host",
              "Status: Looking for a path...", "Status: Connected via both routers",
              "Status: Connected over a relay", "Status: No invitation to answer",
              "Status: Paste one invitation at a time"}) {
            line.setText(QString::fromLatin1(text));
            QCOMPARE(line.shownText(), QString::fromLatin1(text));
        }
    }

    void joinAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("name") << "localhost";
        QTest::newRow("IPv4") << "127.0.0.1";
        QTest::newRow("IPv6") << "::1";
        QTest::newRow("IPv6 in brackets") << "[::1]";
        QTest::newRow("blanks around") << " [::1] ";
        // As the host's router row shows it, pasted whole: its port wins.
        QTest::newRow("IPv4 and port") << "127.0.0.1:%1";
        QTest::newRow("IPv6 and port") << "[::1]:%1";
        QTest::newRow("name and port") << " localhost:%1 ";
        // Several: each is tried, with its own port or the port field's.
        QTest::newRow("several, as Co&py gives them") << "127.0.0.1:%1  [::1]:%1";
        QTest::newRow("several, without ports") << "::1 127.0.0.1";
        QTest::newRow("several, one of them nowhere") << "no-such-host.invalid 127.0.0.1";
    }

    void joinAddresses()
    {
        QFETCH(QString, address);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::Any, quint16(port)));
        const bool withPort = address.contains(QLatin1String("%1"));
        b->dialog.adress->setEditText(withPort ? address.arg(port) : address);
        b->ok(false, withPort ? 1 : port);
        QCOMPARE(b->status(), QStringLiteral("Status: Connecting..."));
        QTRY_VERIFY(connectedTo(b->status()));
        const bool several = address.trimmed().contains(QLatin1Char(' '));
        if (several) {
            // The field is left as it was: the next OK tries them all again.
            QCOMPARE(b->dialog.adress->currentText(), withPort ? address.arg(port) : address);
            QCOMPARE(b->dialog.port->text(), QString::number(withPort ? 1 : port));
            QCOMPARE(named<TcpOpener>(b->net, "opener")->dialer.attemptsMade(), 1);
        } else {
            QCOMPARE(b->dialog.port->text(), QString::number(port));
            if (withPort)
                QVERIFY(!b->dialog.adress->currentText().contains(QString::number(port)));
        }
    }

    // Two addresses that both lead to the host: IPv6 goes first and answers,
    // the status names it, and the host sees one connection only, over which
    // the game's messages come.
    void severalAddressesOneConnection()
    {
        QTcpServer host;
        QVERIFY(host.listen(QHostAddress::Any, quint16(port)));
        b->dialog.adress->setEditText(
            QStringLiteral("127.0.0.1:%1  [::1]:%1  localhost").arg(port));
        b->ok(false, port);
        QCOMPARE(b->status(), QStringLiteral("Status: Connecting..."));
        QTRY_VERIFY(b->connected());
        QCOMPARE(b->status(), QStringLiteral("Status: Connected to ::1"));
        QVERIFY(
            !named<TcpOpener>(b->net, "opener")->dialer.isRunning()); // nothing more will be tried
        QCOMPARE(named<TcpOpener>(b->net, "opener")->dialer.attemptsMade(), 1);
        QTRY_VERIFY(host.hasPendingConnections());
        QTcpSocket* joined = host.nextPendingConnection();
        QVERIFY(!host.hasPendingConnections());
        QCOMPARE(joined->peerAddress(), QHostAddress(QHostAddress::LocalHostIPv6));
        b->game.GotKey();
        QByteArray received;
        QTRY_VERIFY((received += joined->readAll()).contains("gotkey"));
        QVERIFY(!host.hasPendingConnections());
    }

    // A join with several addresses that all fail says which: every one,
    // with the port it was tried at, and why. One address alone says the same.
    void aFailedJoinNamesWhatItTried()
    {
        b->dialog.adress->setEditText(QStringLiteral("127.0.0.1:%1 ::1  localhost").arg(port));
        b->ok(false, port);
        const QString tried = QStringLiteral("Status: Cannot join 127.0.0.1:%1, [::1]:%1, "
                                             "localhost:%1 (connection refused)")
                                  .arg(port);
        QTRY_COMPARE(b->status(), tried);
        QCOMPARE(b->net.state(), ConnectionState::Closed);
        QVERIFY(b->mplay->isEnabled());

        // OK tries again, here the one address alone.
        b->dialog.adress->setEditText(QStringLiteral("127.0.0.1"));
        b->dialog.cmdOK->click();
        QCOMPARE(b->status(), QStringLiteral("Status: Connecting..."));
        QTRY_COMPARE(
            b->status(),
            QStringLiteral("Status: Cannot join 127.0.0.1:%1 (connection refused)").arg(port));
    }

    // Every control in its place, with its text, in its tab order, and the
    // dialog in the middle of the screen, wherever the game's window is.
    void theDialogLooksRight()
    {
        a->form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&a->form));
        a->form.move(0, 0);
        a->mplay->trigger();
        DialogControls& d = a->dialog;
        mplayer& window = d.window;
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Connect"));
        // 261 x 189 as designed, and the router's row below the buttons.
        QCOMPARE(window.width(), 261);
        QVERIFY(window.height() > 189 && window.height() <= 189 + 30);
        const QPoint centre = window.screen()->availableGeometry().center();
        QVERIFY2((window.frameGeometry().center() - centre).manhattanLength() <= 2,
                 qPrintable(QStringLiteral("%1,%2")
                                .arg(window.frameGeometry().center().x())
                                .arg(window.frameGeometry().center().y())));

        const QList<std::tuple<QWidget*, QRect, QString>> controls{
            {d.Label2, {8, 8, 57, 17}, "Username:"},
            {d.username, {64, 8, 105, 19}, "Player"},
            {d.Label1, {8, 32, 153, 17}, "Update speed in milliseconds:"},
            {d.update, {152, 32, 65, 19}, "500"},
            {d.lblLabels[0], {8, 66, 72, 18}, "Ip adress:"},
            {d.adress, {86, 65, 155, 23}, "localhost"},
            {d.lblLabels[1], {8, 92, 72, 18}, "Port:"},
            {d.port, {86, 91, 155, 23}, "2539"},
            {d.host, {8, 112, 49, 17}, "Host"},
            {d.join, {8, 136, 49, 17}, "Join"},
            {d.status, {64, 128, 185, 17}, "Status: Idle"},
            {d.cmdOK, {33, 157, 76, 26}, "&OK"},
            {d.cmdCancel, {140, 157, 76, 26}, "&Cancel"},
        };
        for (const auto& [widget, geometry, text] : controls) {
            QCOMPARE(widget->geometry(), geometry);
            QString shown;
            if (auto* label = qobject_cast<QLabel*>(widget))
                shown = label->text();
            else if (auto* field = qobject_cast<QLineEdit*>(widget))
                shown = field->text();
            else if (auto* box = qobject_cast<QComboBox*>(widget))
                shown = box->currentText();
            else if (auto* button = qobject_cast<QAbstractButton*>(widget))
                shown = button->text();
            QCOMPARE(shown, text);
        }
        QVERIFY(d.host->isChecked());
        QVERIFY(d.cmdOK->isDefault());
        for (QWidget* w :
             {static_cast<QWidget*>(d.router->internet), static_cast<QWidget*>(d.router->outside),
              static_cast<QWidget*>(d.router->cmdCopy)}) {
            const QRect inDialog(w->mapTo(&window, QPoint(0, 0)), w->size());
            QVERIFY(inDialog.top() >= 189 && QRect(QPoint(0, 0), window.size()).contains(inDialog));
        }
        QCOMPARE(d.router->internet->text(), QStringLiteral("&Internet:"));
        QCOMPARE(d.router->cmdCopy->text(), QStringLiteral("Co&py"));
        QCOMPARE(d.router->outside->text(), QString()); // not hosting: no address
        QVERIFY(!d.router->cmdCopy->isEnabled());
        QVERIFY(d.router->internet->isEnabled());
        d.join->setChecked(true); // only a host asks the router
        QVERIFY(!d.router->internet->isEnabled());
        d.host->setChecked(true);

        QList<QWidget*> order;
        QWidget* w = d.adress;
        do {
            order.append(w);
            w = w->nextInFocusChain();
            while (w->focusPolicy() == Qt::NoFocus || w->focusProxy() || !w->isVisible() ||
                   w->window() != &window)
                w = w->nextInFocusChain();
        } while (w != d.adress && order.size() < 20);
        QCOMPARE(order, (QList<QWidget*>{d.adress, d.port, d.cmdOK, d.cmdCancel, d.host, d.join,
                                         d.update, d.username, d.router->internet,
                                         d.router->outside, d.router->cmdCopy}));

        // Asking the router is on unless the player says otherwise (these
        // tests do, so no test asks the router of the machine it runs on).
        window.close();
        QVERIFY(d.router->internet->isChecked());
        d.router->internet->setChecked(false);
    }

    // Hosting without asking the router: the row says that only this
    // network can join and how to change that; it says nothing once the
    // hosting is over. (The router itself is asked in tst_internetplay.)
    void theRouterRowWithoutARouter()
    {
        a->ok(true, port);
        RouterRow& row = *a->dialog.router;
        QCOMPARE(row.outside->text(), QStringLiteral("this network only"));
        QVERIFY(row.outside->toolTip().contains(QStringLiteral("forward TCP port %1").arg(port)));
        QVERIFY(!row.cmdCopy->isEnabled());
        QCOMPARE(a->net.router(), nullptr);
        a->dialog.cmdOK->click(); // stop
        QCOMPARE(row.outside->text(), QString());
    }

    // The address field lists the games found on the network; what is typed
    // in it is taken as before. These tests have no bus, so nothing is found.
    void theAddressFieldTakesTypingAsBefore()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::Any, quint16(port)));
        b->mplay->trigger();
        QVERIFY(QTest::qWaitForWindowActive(&b->dialog.window));
        QComboBox* adress = b->dialog.adress;
        QCOMPARE(adress->geometry(), QRect(86, 65, 155, 23));
        QVERIFY(adress->isEditable());
        QCOMPARE(adress->count(), 1);
        QCOMPARE(adress->itemText(0), QStringLiteral("localhost"));
        QCOMPARE(adress->currentText(), QStringLiteral("localhost"));
        QVERIFY(adress->hasFocus());

        QTest::keyClick(adress, Qt::Key_Tab);
        QVERIFY(b->dialog.port->hasFocus());
        QTest::keyClick(b->dialog.port, Qt::Key_Backtab);
        QVERIFY(adress->hasFocus());

        // Nothing is completed ("loc" stays "loc"), nothing typed joins the
        // list, and the arrow keys find no other entry.
        adress->lineEdit()->selectAll();
        QTest::keyClicks(adress, QStringLiteral("loc"));
        QCOMPARE(adress->currentText(), QStringLiteral("loc"));
        QTest::keyClick(adress, Qt::Key_Escape); // Cancel
        QVERIFY(!b->dialog.window.isVisible());
        b->mplay->trigger();
        QCOMPARE(adress->currentText(), QStringLiteral("loc"));
        adress->lineEdit()->selectAll();
        QTest::keyClicks(adress, QStringLiteral("127.0.0.1"));
        QTest::keyClick(adress, Qt::Key_Down);
        QTest::keyClick(adress, Qt::Key_Up);
        QCOMPARE(adress->currentText(), QStringLiteral("127.0.0.1"));
        b->dialog.join->setChecked(true);
        b->dialog.port->setText(QString::number(port));
        QTest::keyClick(adress, Qt::Key_Return); // OK
        QCOMPARE(b->status(), QStringLiteral("Status: Connecting..."));
        QTRY_COMPARE(b->status(), QStringLiteral("Status: Connected to 127.0.0.1"));
        QCOMPARE(adress->count(), 1);

        // The close box forgets what was typed.
        b->dialog.window.close();
        QCOMPARE(adress->currentText(), QStringLiteral("localhost"));
    }

    // What a player reads in the list: the name, then the real address, left
    // to right, whatever the name holds.
    void entriesOfGamesFound_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("entry");
        QTest::newRow("IPv4") << "Anna"
                              << "192.168.1.23"
                              << "Anna \u2013 192.168.1.23:2539";
        QTest::newRow("IPv6 only") << "Bert"
                                   << "2001:db8::5"
                                   << "Bert \u2013 [2001:db8::5]:2539";
        QTest::newRow("IPv6 on a link") << "Carla"
                                        << "fe80::1%eth0"
                                        << "Carla \u2013 [fe80::1%eth0]:2539";
        QTest::newRow("a name that turns the text around") << "\u202EAnna"
                                                           << "10.98.0.2"
                                                           << "Anna \u2013 10.98.0.2:2539";
        QTest::newRow("a name that isolates what follows") << "Bo\u2066b"
                                                           << "10.98.0.2"
                                                           << "Bob \u2013 10.98.0.2:2539";
        QTest::newRow("every kind of direction mark")
            << "\u200E\u200F\u061C\u202A\u202B\u202C\u202D\u2067\u2068\u2069Eva"
            << "10.98.0.2"
            << "Eva \u2013 10.98.0.2:2539";
        QTest::newRow("a placeholder") << "Anna%1"
                                       << "192.168.1.23"
                                       << "Anna%1 \u2013 192.168.1.23:2539";
        // Written right to left: the letters stand as that script wants them,
        // and the address after them as it is.
        QTest::newRow("Hebrew") << "\u05D0\u05D1\u05D2"
                                << "10.98.0.2"
                                << "\u05D2\u05D1\u05D0 \u2013 10.98.0.2:2539";
        QTest::newRow("Arabic and digits") << "\u0627\u0644 12"
                                           << "10.98.0.2"
                                           << "12 \u0644\u0627 \u2013 10.98.0.2:2539";
    }

    void entriesOfGamesFound()
    {
        QFETCH(QString, name);
        QFETCH(QString, address);
        QFETCH(QString, entry);
        QCOMPARE(onScreen(FoundGame{plainName(name), address, 2539}.entryText()), entry);
    }

    void userNamesAsServiceNames_data()
    {
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("serviceName");
        QTest::newRow("as it is") << "Anna #2"
                                  << "Anna #2";
        QTest::newRow("empty") << ""
                               << "Player";
        QTest::newRow("control characters") << "a\nb\tc"
                                            << "a b c";
        QTest::newRow("direction marks") << "\u202EAnna\u2066"
                                         << "Anna";
        QTest::newRow("63 bytes at most")
            << QString(70, QLatin1Char('x')) << QString(63, QLatin1Char('x'));
        QTest::newRow("not half a character") << QString(40, QChar(0xe9)) // two bytes each
                                              << QString(31, QChar(0xe9));
        const QString face = QStringLiteral("\U0001F600"); // four bytes, two UTF-16 units
        QTest::newRow("not half a surrogate pair") << face.repeated(20) << face.repeated(15);
    }

    void userNamesAsServiceNames()
    {
        QFETCH(QString, userName);
        QFETCH(QString, serviceName);
        QCOMPARE(::serviceName(userName), serviceName);
    }

    void updateInterval_data()
    {
        QTest::addColumn<QString>("update");
        QTest::addColumn<int>("interval");
        QTest::newRow("whole number") << "1000" << 1000;
        QTest::newRow("zero sends no positions") << "0" << 0;
        QTest::newRow("not a number keeps the last") << "snel" << 300;
        QTest::newRow("too big") << "99999999999" << 65535;
        QTest::newRow("negative") << "-5" << 0;
    }

    void updateInterval()
    {
        QFETCH(QString, update);
        QFETCH(int, interval);
        a->ok(true, port, QStringLiteral("300"));
        a->dialog.update->setText(update);
        a->dialog.cmdOK->click();
        QCOMPARE(a->game.mul.interval(), interval);
    }

    // What a peer sends can break nothing: junk, half messages, a box left
    // open while more comes and the peer leaves, and a message without end.
    void aRoughPeer()
    {
        a->ok(true, port);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, quint16(port));
        QTRY_VERIFY(a->game.mul.isEnabled());

        peer.write(QByteArray("\x00\xff|||move|x|chat|", 17));
        QVERIFY(peer.waitForBytesWritten(1000));
        QTest::qWait(100);
        peer.write("chat|a");
        QVERIFY(peer.waitForBytesWritten(1000));
        QTest::qWait(100);
        peer.write("|Bob");
        QTRY_COMPARE(a->game.scene.greenchat.caption(), QStringLiteral("Bob: a"));

        a->platform.onMsgBox = [&] {
            // While the box is up: more moves, then the peer goes away.
            peer.write("move|1|2|3|4|True|Falsemove|5|6|7|8|False|True");
            peer.flush();
            peer.disconnectFromHost();
            QTRY_COMPARE(a->status(), QStringLiteral("Status: Idle"));
            QCOMPARE(a->game.scene.guyrm.left(), 168); // nothing applied inside the box
        };
        peer.write("die");
        QTRY_COMPARE(a->platform.boxes.size(), 1);
        QTRY_COMPARE(a->game.scene.guylm.box().topLeft(), QPoint(8, 6)); // both, in order, after it
        a->platform.onMsgBox = nullptr;

        // A message that never ends is cut off.
        a->mplay->trigger();
        a->dialog.cmdOK->click();
        a->dialog.cmdOK->click();
        QTcpSocket flood;
        flood.connectToHost(QHostAddress::LocalHost, quint16(port));
        QTRY_VERIFY(a->game.mul.isEnabled());
        flood.write("chat|" + QByteArray(100 * 1024, 'x'));
        QTRY_COMPARE(a->status(), QStringLiteral("Status: Idle"));
        QVERIFY(!a->game.mul.isEnabled());
        QTRY_COMPARE(flood.state(), QAbstractSocket::UnconnectedState);
    }
};

QTEST_MAIN(TestTwoPlayer)
#include "tst_twoplayer.moc"
