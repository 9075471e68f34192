// SPDX-License-Identifier: MIT
// A peer that sends anything, as fast as it can, or reads nothing, cannot
// make the game grow, lock the player out, or stop answering the keyboard.
#include "console/console.h"
#include "soak.h"
#include "twocopies.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// A peer on a thread of its own that sends one message over and over, as fast
// as the connection takes it, for a given time, and never reads.
class Flood {
public:
    Flood(int port, const QByteArray& message, int milliseconds)
    {
        QByteArray chunk;
        while (chunk.size() < 64 * 1024)
            chunk += message;
        m_thread = std::thread([this, port, chunk, milliseconds] {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            const timeval patience{1, 0}; // a send that blocks gives the clock a look
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(quint16(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                QElapsedTimer clock;
                clock.start();
                while (clock.elapsed() < milliseconds) {
                    const ssize_t sent =
                        ::send(fd, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL);
                    if (sent > 0)
                        m_bytes += sent;
                    else if (errno != EAGAIN && errno != EINTR)
                        break;
                }
            }
            ::close(fd);
            m_done = true;
        });
    }
    ~Flood() { m_thread.join(); }

    bool done() const { return m_done; }
    qint64 bytes() const { return m_bytes; }

private:
    std::thread m_thread;
    std::atomic<bool> m_done = false;
    std::atomic<qint64> m_bytes = 0;
};

} // namespace

class TestHostile : public QObject {
    Q_OBJECT

    std::unique_ptr<Copy> a;
    int port = 0;

    void host(const QString& update = QStringLiteral("20"))
    {
        a->ok(true, port, update);
        QCOMPARE(a->status(), QStringLiteral("Status: Waiting for connection"));
    }

private slots:
    void init()
    {
        a = std::make_unique<Copy>();
        port = freePort();
        a->form.show();
        QVERIFY(QTest::qWaitForWindowActive(&a->form));
    }

    void cleanup() { a.reset(); }

    // Ten thousand "die" in one piece, and a hundred "win" while the player
    // looks at the first box: one box. A "die" after the box was dismissed is
    // news again, and the peer may leave while the player looks at it.
    void aFloodOfDieGivesOneBox()
    {
        host();
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, quint16(port));
        QTRY_VERIFY(a->connected());

        a->platform.onMsgBox = [&] {
            peer.write(QByteArray("win").repeated(100));
            QTest::qWait(300); // the player reads the box
        };
        peer.write(QByteArray("die").repeated(10000) + "move|1|2|3|4|True|False");
        QTRY_COMPARE(a->platform.boxes.size(), 1);
        QTRY_COMPARE(a->game.scene.guyrm.left(), 3); // what is not "die" or "win" still counts
        // A move behind the flood is applied only once no box is due.
        peer.write("move|1|2|7|4|True|False");
        QTRY_COMPARE(a->game.scene.guyrm.left(), 7);
        QCOMPARE(a->platform.boxes.size(), 1);
        QCOMPARE(a->platform.boxes[0].first, QStringLiteral("Other player died, u win"));

        // The player goes on playing.
        QTest::keyClick(&a->form, Qt::Key_6, Qt::NoModifier);
        QCOMPARE(a->game.scene.guy.left(), 8);

        a->platform.onMsgBox = [&] {
            peer.disconnectFromHost();
            QTRY_COMPARE(a->status(), QStringLiteral("Status: Idle"));
        };
        peer.write("win");
        QTRY_COMPARE(a->platform.boxes.size(), 2);
        QCOMPARE(a->platform.boxes[1].first, QStringLiteral("Other player won"));
        QVERIFY(!a->connected());
        QVERIFY(a->mplay->isEnabled());
    }

    // While a box is up, the connection is read on and what comes is held
    // within a bound in bytes: a peer that leaves meanwhile loses nothing,
    // and the oldest chat lines make room for newer ones, never for a key
    // pickup or a new game.
    void whatComesWhileABoxIsUpIsHeldWithinBounds()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral("device not open")));
        // No positions go the other way: a peer that leaves with something
        // unread ends the connection with a reset, and the kernel drops
        // whatever it had not handed to the game yet.
        host(QStringLiteral("0"));
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, quint16(port));
        QTRY_VERIFY(a->connected());
        const Receiver& receiver = *named<Receiver>(a->net, "receiver");
        constexpr int Moves = 20000;
        const qint64 before = residentKiB();
        qint64 most = 0;
        qsizetype mostHeld = 0;
        const auto watch = [&](int milliseconds) {
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < milliseconds) {
                QTest::qWait(20);
                most = std::max(most, residentKiB() - before);
                mostHeld = std::max(mostHeld, receiver.heldBytes());
            }
        };

        // The peer's side of the test keeps little of its own waiting, so
        // what grows is the game's.
        const auto send = [&](const QByteArray& bytes) {
            peer.write(bytes);
            QElapsedTimer clock;
            clock.start();
            while (peer.bytesToWrite() > 256 * 1024 && clock.elapsed() < 10000)
                watch(5);
        };
        // 1200 lines of 60,000 characters (4200 in the slow run), more than
        // the growth allowed below, a key pickup among them, then a storm of
        // key pickups and new games, a last chat line, and the peer leaves.
        // The game has read it all once it says so.
        const int lines = soakOr(1200, 4200);
        a->platform.onMsgBox = [&] {
            const QByteArray line(60000, 'x');
            for (int i = 0; i < lines; ++i) {
                send("chat|" + QByteArray::number(i) + line + "|Bo");
                if (i == 100)
                    send("gotkey");
            }
            send(QByteArray("newgamegotkey").repeated(100000));
            send("chat|last|Bo");
            peer.disconnectFromHost();
            QTRY_COMPARE_WITH_TIMEOUT(a->status(), QStringLiteral("Status: Idle"), 60000);
            watch(100);
        };
        peer.write("die");
        QTRY_COMPARE(a->platform.boxes.size(), 1);
        QCOMPARE(a->game.scene.greenchat.caption(), QStringLiteral("Bo: last"));
        QVERIFY(a->game.doorOpen); // the last word was "gotkey"
        QVERIFY(!a->game.scene.key.isVisible());
        QVERIFY(a->form.log.lines().back() == QStringLiteral("door open"));
        qInfo("chat flood under a box: at most %lld KiB more, %lld bytes held", most,
              qint64(mostHeld));
        QVERIFY(mostHeld <= HeldMessages::MaxBytes);
#ifndef __SANITIZE_ADDRESS__
        QVERIFY2(most < 64 * 1024, qPrintable(QString::number(most)));
#endif

        // 20,000 moves and the peer is gone while the box is up: the figure
        // ends where the peer's last move put it.
        a->dialog.cmdOK->click(); // stop
        a->dialog.cmdOK->click(); // listen again
        QCOMPARE(a->status(), QStringLiteral("Status: Waiting for connection"));
        peer.connectToHost(QHostAddress::LocalHost, quint16(port));
        QTRY_VERIFY(a->connected());
        a->platform.onMsgBox = [&] {
            QByteArray moves;
            for (int i = 1; i <= Moves; ++i)
                moves += protocol::toWire(protocol::moveMessage({i, i, i, i, true, false}));
            peer.write(moves);
            peer.disconnectFromHost();
            QTRY_COMPARE(a->status(), QStringLiteral("Status: Idle"));
            QVERIFY(a->game.scene.guyrm.left() < Moves); // nothing applied inside the box
        };
        peer.write("win");
        QTRY_COMPARE(a->platform.boxes.size(), 2);
        QCOMPARE(a->game.scene.guyrm.left(), Moves);
        QVERIFY(a->mplay->isEnabled());
    }

    // A box left open for a minute while the other copy sends its position
    // every millisecond: the connection lives on at both ends. The everyday
    // run makes the sockets' time-outs short and the minute six seconds.
    void aBoxLeftOpenKeepsTheConnection()
    {
        Copy b;
        if (!soaking()) {
            TcpOpener::Timeouts timeouts;
            timeouts.keepAliveIdle = std::chrono::seconds(1);
            timeouts.keepAliveInterval = std::chrono::seconds(1);
            timeouts.keepAliveProbes = 2;
            timeouts.user = std::chrono::seconds(2);
            a->net.setTimeouts(timeouts);
            b.net.setTimeouts(timeouts);
        }
        const int boxUpMs = soakOr(6000, 60000);
        host();
        b.ok(false, port, QStringLiteral("1"));
        QTRY_VERIFY(a->connected() && b.connected());
        const qint64 before = residentKiB();
        qint64 most = 0;
        bool stayedUp = true;
        a->platform.onMsgBox = [&] {
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < boxUpMs && stayedUp) {
                QTest::qWait(200);
                b.game.GoRight(); // the other player walks on
                most = std::max(most, residentKiB() - before);
                stayedUp = a->connected() && b.connected();
            }
        };
        QLineEdit* command = named<QLineEdit>(b.form.console(), "command");
        command->setText(QStringLiteral("die"));
        QTest::keyClick(command, Qt::Key_Return);
        QTRY_COMPARE(a->platform.boxes.size(), 1);
        qInfo("a box up for %d s under moves every 1 ms: at most %lld KiB more", boxUpMs / 1000,
              most);
        QVERIFY(stayedUp);
        QTRY_COMPARE(a->game.scene.guyrm.left(), b.game.scene.guy.left());
#ifndef __SANITIZE_ADDRESS__
        QVERIFY2(most < 64 * 1024, qPrintable(QString::number(most)));
#endif
    }

    // Ten seconds (two in the everyday run) of the fastest flood of a
    // message: memory stays put, and a key press or F1 is answered at once,
    // during the flood and after it.
    void aFloodKeepsTheGameSmallAndAwake_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("gotkey") << QByteArray("gotkey");
        QTest::newRow("newgame") << QByteArray("newgame");
    }

    void aFloodKeepsTheGameSmallAndAwake()
    {
        QFETCH(QByteArray, message);
        const int seconds = soakOr(2, 10);
        host();
        qint64 lines = 0;
        connect(&a->form.log, &ConsoleLog::lineAppended, this, [&lines] { ++lines; });
        const qint64 before = residentKiB();

        Flood flood(port, message, seconds * 1000);
        QTRY_VERIFY(a->connected());
        a->form.activateWindow(); // as a click on the figure does once the dialog is gone
        QVERIFY(QTest::qWaitForWindowActive(&a->form));
        int presses = 0;
        QElapsedTimer clock;
        clock.start();
        while (!flood.done() && clock.elapsed() < (seconds + 5) * 1000) {
            // A step left from the start hits the wall: the beep says the
            // press was taken, whatever the flood does to the figure.
            QTimer::singleShot(0, &a->form, [this] { QTest::keyClick(&a->form, Qt::Key_4); });
            ++presses;
            QTRY_COMPARE_WITH_TIMEOUT(a->platform.beeps, presses, 1000);
            if (presses == 3) {
                QTimer::singleShot(0, &a->form, [this] { QTest::keyClick(&a->form, Qt::Key_F1); });
                QTRY_VERIFY_WITH_TIMEOUT(a->form.console().isVisible(), 2000);
            }
            QTest::qWait(200);
        }
        QVERIFY(flood.done());
        const qint64 growth = residentKiB() - before;
        qInfo("%lld bytes of %s in %d s: %lld log lines, %d key presses answered, %lld KiB more",
              flood.bytes(), message.constData(), seconds, lines, presses, growth);
        QVERIFY(lines > 100000); // the flood was real and was handled
#ifndef __SANITIZE_ADDRESS__     // AddressSanitizer keeps freed memory aside on purpose
        QVERIFY2(growth < 64 * 1024, qPrintable(QString::number(growth)));
#endif
        QCOMPARE(int(a->form.log.lines().size()), ConsoleLog::MaxLines);
        QTRY_COMPARE(named<LogView>(a->form.console(), "rtb")->document()->blockCount(),
                     ConsoleLog::MaxLines);

        // The peer is gone; the game plays on.
        QTRY_VERIFY(!a->connected());
        a->form.console().hide();
        QTest::keyClick(&a->form, Qt::Key_4);
        QCOMPARE(a->platform.beeps, presses + 1);
    }

    // A peer that reads nothing: newer positions wait behind no backlog, and
    // once a mebibyte waits unsent, the connection ends as if it had closed.
    void aPeerThatReadsNothingIsLetGo()
    {
        host();
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QTRY_VERIFY(a->connected());

        Sock& sock = *named<Sock>(a->net, "sock");
        Session& session = a->net;
        const QByteArray move =
            protocol::toWire(protocol::moveMessage({444, 444, 0, 0, true, false}));
        for (int i = 0; i < 100000; ++i)
            sock.SendPosition(move);
        QVERIFY(sock.bytesToWrite() <= Sock::MaxUnsentForPositions + move.size());
        QTest::qWait(500); // the kernel takes what it takes
        QVERIFY(a->connected());

        const QByteArray line = protocol::toWire(
            protocol::chatMessage(QString(1000, QLatin1Char('x')), QStringLiteral("P")));
        qint64 most = 0;
        for (int i = 0; i < 5000 && session.state() == ConnectionState::Connected; ++i) {
            sock.SendData(line);
            most = std::max(most, sock.bytesToWrite());
        }
        QVERIFY(most <= Sock::MaxUnsent);
        QCOMPARE(session.state(), ConnectionState::Closing);
        QTRY_COMPARE(a->status(), QStringLiteral("Status: Idle"));
        QVERIFY(!a->connected());
        QVERIFY(a->mplay->isEnabled());
        ::close(fd);
    }
};

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
