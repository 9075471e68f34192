// SPDX-License-Identifier: MIT
#include "console/console.h"
#include "game/consolelog.h"
#include "named.h"
#include "recordingpeer.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

namespace {

QStringList lines(const ConsoleLog& log)
{
    QStringList result = log.text().split(QStringLiteral("\r\n"));
    result.removeLast(); // every line ends in CR LF, so the last piece is empty
    return result;
}

} // namespace

class TestConsole : public QObject {
    Q_OBJECT

    ConsoleLog* log = nullptr;
    Console* console = nullptr;
    LogView* rtb = nullptr;
    QLineEdit* command = nullptr;
    QPushButton* Command1 = nullptr;
    RecordingPeer peer;

    void enter(const QString& text)
    {
        command->setText(text);
        QTest::keyClick(command, Qt::Key_Return);
    }

private slots:
    void init()
    {
        log = new ConsoleLog;
        console = new Console(*log);
        rtb = named<LogView>(*console, "rtb");
        command = named<QLineEdit>(*console, "command");
        Command1 = named<QPushButton>(*console, "Command1");
        peer = RecordingPeer{};
        peer.connection = ConnectionState::Closed;
        console->setPeer(&peer);
    }

    void cleanup()
    {
        delete console;
        delete log;
    }

    void windowLooksRight()
    {
        QCOMPARE(console->windowTitle(), QStringLiteral("Korvaloop Console"));
        QCOMPARE(console->size(), QSize(403, 481));
        QVERIFY(console->windowFlags() & Qt::Tool);
        QVERIFY(!(console->windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(rtb->geometry(), QRect(1, 0, 401, 453));
        QCOMPARE(command->geometry(), QRect(2, 456, 329, 22));
        QCOMPARE(Command1->geometry(), QRect(336, 456, 64, 22));
        QCOMPARE(Command1->text(), QStringLiteral("Ok"));
        QCOMPARE(Command1->toolTip(), QStringLiteral("(Enter)"));
        QVERIFY(rtb->isReadOnly());
    }

    void emptyEntryDoesNothing()
    {
        QSignalSpy recognised(console, &Console::commandRecognised);
        enter(QString());
        QVERIFY(log->text().isEmpty());
        QCOMPARE(recognised.count(), 0);
    }

    void knownWordIsEchoedAndRunLocally()
    {
        QSignalSpy recognised(console, &Console::commandRecognised);
        enter(QStringLiteral("jump"));
        QCOMPARE(lines(*log), QStringList{QStringLiteral("jump")});
        QCOMPARE(command->text(), QStringLiteral("jump")); // Enter again repeats it
        QVERIFY(peer.sent.isEmpty());                      // not connected
        QCOMPARE(recognised.count(), 1);
        QCOMPARE(recognised.at(0).at(0).toString(), QStringLiteral("jump"));
    }

    void knownWordGoesToAConnectedPeer_data()
    {
        QTest::addColumn<ConnectionState>("state");
        QTest::addColumn<int>("sends");
        QTest::newRow("connected") << ConnectionState::Connected << 2;
        QTest::newRow("listening") << ConnectionState::Listening << 0;
        QTest::newRow("connecting") << ConnectionState::Connecting << 0;
        QTest::newRow("closed") << ConnectionState::Closed << 0;
    }

    void knownWordGoesToAConnectedPeer()
    {
        QFETCH(ConnectionState, state);
        QFETCH(int, sends);
        peer.connection = state;
        enter(QStringLiteral("win"));
        QTest::keyClick(command, Qt::Key_Enter); // the keypad's Enter too
        QCOMPARE(lines(*log), (QStringList{QStringLiteral("win"), QStringLiteral("win")}));
        QCOMPARE(peer.sent, QStringList(sends, QStringLiteral("win")));
    }

    void unknownEntriesAreReportedAndNeverInterpreted_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::newRow("capital") << QStringLiteral("Jump");
        QTest::newRow("trailing blank") << QStringLiteral("jump ");
        QTest::newRow("leading blank") << QStringLiteral(" jump");
        QTest::newRow("near miss") << QStringLiteral("goleft2");
        QTest::newRow("markup") << QStringLiteral("<b>x</b> <img src=\"y.png\"> &amp;");
        QTest::newRow("quotes") << QStringLiteral("'; die");
        QTest::newRow("non-latin") << QStringLiteral("spring \u2603 \U0001F600 \u0645");
        QTest::newRow("control") << QStringLiteral("a\tb\x01");
    }

    void unknownEntriesAreReportedAndNeverInterpreted()
    {
        QFETCH(QString, entry);
        peer.connection = ConnectionState::Connected;
        QSignalSpy recognised(console, &Console::commandRecognised);
        enter(entry);
        QCOMPARE(
            lines(*log),
            (QStringList{entry, QLatin1Char('\'') + entry +
                                    QStringLiteral("' is not recognized as an internal command")}));
        QCOMPARE(command->text(), QString());
        QVERIFY(peer.sent.isEmpty());
        QCOMPARE(recognised.count(), 0);
        // What the user sees is the very characters typed.
        QTRY_VERIFY(rtb->toPlainText().startsWith(entry + QLatin1Char('\n')));
    }

    void aPastedPageIsEchoedWhole()
    {
        const QString page(100000, QLatin1Char('w'));
        command->setFocus();
        command->insert(page);
        QCOMPARE(command->text().size(), page.size());
        QTest::keyClick(command, Qt::Key_Return);
        QCOMPARE(lines(*log).first(), page);
        QCOMPARE(lines(*log).size(), 2);
    }

    void buttonRunsTheCommandAndKeepsTheKeyboardOnTheCommandLine()
    {
        console->show();
        QVERIFY(QTest::qWaitForWindowActive(console));
        command->setText(QStringLiteral("opendoor"));
        QTest::mouseClick(Command1, Qt::LeftButton);
        QCOMPARE(lines(*log), QStringList{QStringLiteral("opendoor")});
        QCOMPARE(QApplication::focusWidget(), command);

        // Enter on the focused button presses it, as Space does.
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
            Command1->setFocus();
            QTest::keyClick(Command1, key);
            QCOMPARE(QApplication::focusWidget(), command);
        }
        QCOMPARE(lines(*log).size(), 4);

        // Clicking or tabbing into the log hands the keyboard straight back.
        QTest::mouseClick(rtb->viewport(), Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), command);
        rtb->setFocus();
        QCOMPARE(QApplication::focusWidget(), command);
        console->setFocus();
        QCOMPARE(QApplication::focusWidget(), command);
    }

    void logKeepsEveryLineWhileHidden()
    {
        log->append(QStringLiteral("game initialized"));
        log->append(QStringLiteral("door open"));
        console->show();
        QVERIFY(QTest::qWaitForWindowExposed(console));
        console->hide(); // as "exit" does
        log->append(QStringLiteral("key picked up"));
        console->show();
        QTRY_COMPARE(rtb->toPlainText(),
                     QStringLiteral("game initialized\ndoor open\nkey picked up"));
        QCOMPARE(log->text(), QStringLiteral("game initialized\r\ndoor open\r\nkey picked up\r\n"));
    }

    // The close box is done with the window and its log.
    void closingDiscardsTheLog()
    {
        QSignalSpy discarded(console, &Console::discarded);
        log->append(QStringLiteral("game initialized"));
        console->show();
        QVERIFY(QTest::qWaitForWindowExposed(console));
        console->close();
        QCOMPARE(discarded.count(), 1);
        QCOMPARE(log->text(), QString());
        log->append(QStringLiteral("door open"));
        QCOMPARE(lines(*log), QStringList{QStringLiteral("door open")});
    }

    // However long the game runs and whatever a peer makes it log, the log
    // keeps its newest lines, in the log and on the screen, oldest first.
    void logKeepsTheNewestLines()
    {
        constexpr int Most = ConsoleLog::MaxLines;
        const auto blocks = [](const Console& c) {
            const QTextDocument* document = named<LogView>(c, "rtb")->document();
            return QStringList{document->firstBlock().text(), document->lastBlock().text(),
                               QString::number(document->blockCount())};
        };
        for (int i = 0; i < Most + 1500; ++i)
            log->append(QString::number(i));
        QCOMPARE(int(log->lines().size()), Most);
        QCOMPARE(log->lines().front(), QStringLiteral("1500"));
        const QStringList expected{QStringLiteral("1500"), QString::number(Most + 1499),
                                   QString::number(Most)};
        QTRY_COMPARE(blocks(*console), expected);

        // A console made after a long game shows the same, and goes on alike.
        Console later(*log);
        QCOMPARE(blocks(later), expected);
        log->append(QStringLiteral("door open"));
        const QStringList next{QStringLiteral("1501"), QStringLiteral("door open"),
                               QString::number(Most)};
        QTRY_COMPARE(blocks(later), next);
        QTRY_COMPARE(blocks(*console), next);
        QVERIFY(log->text().startsWith(QStringLiteral("1501\r\n1502\r\n")));
    }
};

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
