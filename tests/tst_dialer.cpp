// SPDX-License-Identifier: MIT
// What a join is told and how it goes about it, over loopback: the address
// field read into destinations, and the dialer that tries them, IPv6 first,
// the families in turn, one turn each, until the first answers. And the
// connection that carries the game once it is open, over a pipe in memory.
#include "lan/dialer.h"
#include "lan/sock.h"

#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// A port on loopback where nobody listens: connecting there is refused at once.
quint16 refusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A port on ::1 that never answers: its queue of connections waiting to be
// accepted is full, so the kernel drops every further SYN without a word,
// as a black-holed address does.
class SilentPort {
public:
    SilentPort()
    {
        m_listener = ::socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t size = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(m_listener, 0) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        m_filler = ::socket(AF_INET6, SOCK_STREAM, 0);
        if (::connect(m_filler, reinterpret_cast<sockaddr*>(&address), size) == 0)
            port = ntohs(address.sin6_port);
    }
    ~SilentPort()
    {
        ::close(m_filler);
        ::close(m_listener);
    }
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;

    quint16 port = 0;

private:
    int m_listener = -1;
    int m_filler = -1;
};

QList<Destination> destinations(const QString& text, int defaultPort = 2539)
{
    const DestinationList read = readDestinations(text, quint16(defaultPort));
    if (!read.error.isEmpty())
        qWarning("%s", qPrintable(read.error));
    return read.list;
}

QStringList texts(const QList<Destination>& list)
{
    QStringList result;
    for (const Destination& destination : list)
        result.append(destination.text());
    return result;
}

// Every attempt the dialer starts, as "address:port".
QStringList attempts(const QSignalSpy& spy)
{
    QStringList result;
    for (const QList<QVariant>& signal : spy) {
        const auto address = signal.at(0).value<QHostAddress>();
        const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                                 : address.toString();
        result.append(host + QLatin1Char(':') + QString::number(signal.at(1).toUInt()));
    }
    return result;
}

// One end of a pipe in memory that behaves as a stream socket does: what is
// written waits here (bytesToWrite) until the other end has room for it,
// which it has while fewer than `window` bytes wait unread there, and the
// other end hears of it from the event loop. Closing one end ends the
// other's input; fail() is what carries it breaking.
class PipeEnd final : public QIODevice {
public:
    static void join(PipeEnd* a, PipeEnd* b)
    {
        a->m_other = b;
        b->m_other = a;
        a->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
        b->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    }
    ~PipeEnd() override { PipeEnd::close(); }

    qint64 window = qint64(1) << 30;

    void fail(const QString& why)
    {
        setErrorString(why);
        close();
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_inbox.size() + QIODevice::bytesAvailable(); }
    qint64 bytesToWrite() const override { return m_unsent.size(); }
    void close() override
    {
        if (PipeEnd* other = std::exchange(m_other, nullptr)) {
            other->m_other = nullptr;
            QTimer::singleShot(0, other, [other] { Q_EMIT other->readChannelFinished(); });
        }
        QIODevice::close();
    }

protected:
    qint64 readData(char* data, qint64 most) override
    {
        const qint64 size = std::min<qint64>(most, m_inbox.size());
        std::memcpy(data, m_inbox.constData(), size_t(size));
        m_inbox.remove(0, size);
        if (m_other && size > 0)
            m_other->flowLater();
        return size;
    }
    qint64 writeData(const char* data, qint64 size) override
    {
        m_unsent.append(data, size);
        flowLater();
        return size;
    }

private:
    void flowLater()
    {
        if (!std::exchange(m_flowing, true))
            QTimer::singleShot(0, this, [this] {
                m_flowing = false;
                if (!m_other)
                    return;
                const qint64 size =
                    std::min<qint64>(m_other->window - m_other->m_inbox.size(), m_unsent.size());
                if (size <= 0)
                    return;
                m_other->m_inbox.append(m_unsent.left(size));
                m_unsent.remove(0, size);
                Q_EMIT bytesWritten(size);
                Q_EMIT m_other->readyRead();
            });
    }

    PipeEnd* m_other = nullptr;
    QByteArray m_unsent;
    QByteArray m_inbox;
    bool m_flowing = false;
};

} // namespace

class TestDialer : public QObject {
    Q_OBJECT

    std::unique_ptr<Dialer> dialer;
    std::unique_ptr<QSignalSpy> attempting;
    std::unique_ptr<QSignalSpy> connected;
    std::unique_ptr<QSignalSpy> failed;
    QTcpSocket* winner = nullptr;

private slots:
    void initTestCase() { qRegisterMetaType<QTcpSocket*>(); }

    void init()
    {
        dialer = std::make_unique<Dialer>();
        attempting = std::make_unique<QSignalSpy>(dialer.get(), &Dialer::attempting);
        connected = std::make_unique<QSignalSpy>(dialer.get(), &Dialer::connected);
        failed = std::make_unique<QSignalSpy>(dialer.get(), &Dialer::failed);
        winner = nullptr;
        connect(dialer.get(), &Dialer::connected, this, [this](QTcpSocket* socket) {
            winner = socket;
            socket->setParent(this);
        });
    }

    void cleanup()
    {
        delete winner;
        dialer.reset();
    }

    void theAddressField_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::addColumn<QStringList>("destinations");
        QTest::addColumn<QString>("error");
        const QStringList none;
        const QString noError;
        QTest::newRow("as Co&py gives them")
            << "198.51.100.1:2539  [2001:db8:1::10]:2539" << 1
            << QStringList{"198.51.100.1:2539", "[2001:db8:1::10]:2539"} << noError;
        QTest::newRow("with and without a port, blanks and commas")
            << "\t anna.example, 127.0.0.1:80\n[::1]  " << 2540
            << QStringList{"anna.example:2540", "127.0.0.1:80", "[::1]:2540"} << noError;
        QTest::newRow("bare IPv6")
            << "2001:db8::5" << 2539 << QStringList{"[2001:db8::5]:2539"} << noError;
        QTest::newRow("IPv6 on a link")
            << "[fe80::1%lo]:7" << 2539 << QStringList{"[fe80::1%lo]:7"} << noError;
        QTest::newRow("names with numbers in them")
            << "host1.example 123.example:7 9lives.example" << 2539
            << QStringList{"host1.example:2539", "123.example:7", "9lives.example:2539"} << noError;
        QTest::newRow("the lowest and highest parts")
            << "0.0.0.0 255.255.255.255:9 10.0.0.10" << 2539
            << QStringList{"0.0.0.0:2539", "255.255.255.255:9", "10.0.0.10:2539"} << noError;
        QTest::newRow("an international name")
            << "b\u00fccher.example" << 2539 << QStringList{"b\u00fccher.example:2539"} << noError;
        QTest::newRow("twice is once")
            << "127.0.0.1 127.0.0.1:2539 LOCALHOST localhost:2539 ::1 ::ffff:127.0.0.1" << 2539
            << QStringList{"127.0.0.1:2539", "LOCALHOST:2539", "[::1]:2539"} << noError;
        QTest::newRow("sixteen") << QStringLiteral("10.0.0.1:%1 ").repeated(1).arg(1) +
                                        [] {
                                            QString many;
                                            for (int i = 2; i <= 16; ++i)
                                                many += QStringLiteral(" 10.0.0.1:%1").arg(i);
                                            return many;
                                        }()
                                 << 2539 << QStringList() << noError; // counted below

        QTest::newRow("nothing") << " \t " << 2539 << none << "No address given";
        QTest::newRow("garbage") << "a$b" << 2539 << none << "Not an address: a$b";
        QTest::newRow("one bad among good")
            << "127.0.0.1 h\u00e9 !! ::1" << 2539 << none << "Not an address: !!";
        QTest::newRow("unclosed bracket") << "[::1" << 2539 << none << "Not an address: [::1";
        QTest::newRow("IPv4 in brackets")
            << "[127.0.0.1]:5" << 2539 << none << "Not an address: [127.0.0.1]:5";
        QTest::newRow("after the bracket") << "[::1]x" << 2539 << none << "Not an address: [::1]x";
        QTest::newRow("empty port")
            << "anna.example:" << 2539 << none << "Not an address: anna.example:";
        QTest::newRow("port not a number")
            << "anna.example:http" << 2539 << none << "Not an address: anna.example:http";
        QTest::newRow("port too big") << "[::1]:70000" << 2539 << none << "Port must be 1 to 65535";
        QTest::newRow("port zero") << "127.0.0.1:0" << 2539 << none << "Port must be 1 to 65535";
        QTest::newRow("no port anywhere") << "127.0.0.1" << 0 << none << "Port must be 1 to 65535";
        QTest::newRow("not IPv6") << "2001:db8::zz" << 2539 << none
                                  << "Not an address: 2001:db8::zz";
        QTest::newRow("dots") << "a..b" << 2539 << none << "Not an address: a..b";
        // An IPv4 address is four decimal numbers; the C library's other
        // forms would dial somewhere the text does not name ("2539" is
        // 0.0.9.235, "80" 0.0.0.80, "010.0.0.1" 8.0.0.1).
        QTest::newRow("a bare number") << "2539" << 2539 << none << "Not an address: 2539";
        QTest::newRow("a bare number with a port")
            << "80:2539" << 2539 << none << "Not an address: 80:2539";
        QTest::newRow("leading zeros")
            << "010.0.0.1" << 2539 << none << "Not an address: 010.0.0.1";
        QTest::newRow("a leading zero among others")
            << "127.0.0.01:2539" << 2539 << none << "Not an address: 127.0.0.01:2539";
        QTest::newRow("three parts") << "127.0.1" << 2539 << none << "Not an address: 127.0.1";
        QTest::newRow("two parts") << "127.1:80" << 2539 << none << "Not an address: 127.1:80";
        QTest::newRow("hex") << "0x7f000001" << 2539 << none << "Not an address: 0x7f000001";
        QTest::newRow("hex parts") << "0x7f.0.0.1" << 2539 << none << "Not an address: 0x7f.0.0.1";
        QTest::newRow("octal parts")
            << "0177.0.0.1" << 2539 << none << "Not an address: 0177.0.0.1";
        QTest::newRow("a part past 255")
            << "256.1.1.1" << 2539 << none << "Not an address: 256.1.1.1";
        QTest::newRow("five parts") << "1.2.3.4.5" << 2539 << none << "Not an address: 1.2.3.4.5";
        QTest::newRow("a number ending in a dot")
            << "2539." << 2539 << none << "Not an address: 2539.";
        QTest::newRow("a bare number among good ones")
            << "[::1]:2539 2539 127.0.0.1" << 2539 << none << "Not an address: 2539";
        QTest::newRow("a name too long")
            << QString(300, QLatin1Char('a')) << 2539 << none
            << "Not an address: " + QString(40, QLatin1Char('a')) + QChar(0x2026);
        QString seventeen;
        for (int i = 1; i <= 17; ++i)
            seventeen += QStringLiteral(" 10.0.0.1:%1").arg(i);
        QTest::newRow("seventeen") << seventeen << 2539 << none << "More than 16 addresses";
        QTest::newRow("a paste of a book") << QString(100000, QLatin1Char(' ')) + "::1" << 2539
                                           << none << "Too long for an address";
    }

    void theAddressField()
    {
        QFETCH(QString, text);
        QFETCH(int, port);
        QFETCH(QStringList, destinations);
        QFETCH(QString, error);
        // The port field's, as the session reads it: none when it is no port.
        const DestinationList read = readDestinations(text, readPort(QString::number(port)));
        QCOMPARE(read.error, error);
        if (QByteArray(QTest::currentDataTag()) == "sixteen")
            QCOMPARE(read.list.size(), 16);
        else
            QCOMPARE(texts(read.list), destinations);
    }

    // Nobody listens: each attempt is refused at once, and the next one
    // starts then, not a turn later (the turn here is a minute). IPv6 goes
    // first, then the families take turns; the same place is tried once.
    void theFamiliesTakeTurns()
    {
        const quint16 p = refusedPort();
        const quint16 q = p == 65535 ? p - 1 : p + 1;
        dialer->options.attemptDelayMs = 60000;
        dialer->start(destinations(QStringLiteral("127.0.0.1:%1 127.0.0.2:%1 [::1]:%1 "
                                                  "127.0.0.1:%1 [::1]:%2 127.0.0.3:%1")
                                       .arg(p)
                                       .arg(q)));
        QVERIFY(attempting->isEmpty()); // nothing happens inside start()
        QTRY_COMPARE(failed->size(), 1);
        QCOMPARE(
            attempts(*attempting),
            (QStringList{QStringLiteral("[::1]:%1").arg(p), QStringLiteral("127.0.0.1:%1").arg(p),
                         QStringLiteral("[::1]:%1").arg(q), QStringLiteral("127.0.0.2:%1").arg(p),
                         QStringLiteral("127.0.0.3:%1").arg(p)}));
        QCOMPARE(failed->first().at(0).value<QAbstractSocket::SocketError>(),
                 QAbstractSocket::ConnectionRefusedError);
        QCOMPARE(failed->first().at(1).toString(), QStringLiteral("connection refused"));
        QVERIFY(connected->isEmpty());
        QVERIFY(!dialer->isRunning());
    }

    // An address that never answers has its turn, and the next one wins;
    // the silent attempt is given up, not left to run.
    void aSilentAddressHasItsTurnOnly()
    {
        SilentPort silent;
        QVERIFY(silent.port != 0);
        QTcpServer host;
        QVERIFY(host.listen(QHostAddress::LocalHost));
        dialer->start(destinations(
            QStringLiteral("[::1]:%1 127.0.0.1:%2").arg(silent.port).arg(host.serverPort())));
        QTRY_COMPARE(connected->size(), 1);
        QCOMPARE(attempts(*attempting),
                 (QStringList{QStringLiteral("[::1]:%1").arg(silent.port),
                              QStringLiteral("127.0.0.1:%1").arg(host.serverPort())}));
        QCOMPARE(winner->peerAddress(), QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(winner->parent(), this);
        QVERIFY(failed->isEmpty());
        QVERIFY(!dialer->isRunning());
        QCOMPARE(dialer->attemptsUnderWay(), 0); // the silent one is given up
        QTRY_COMPARE(dialer->findChildren<QSocketNotifier*>().size(), 0);
    }

    // However many of the attempts reached the host (on loopback the first
    // usually answers before the next starts), one is the connection and
    // every other is closed without a byte over it.
    void theWinnerAloneCarriesBytes()
    {
        QTcpServer host;
        QVERIFY(host.listen(QHostAddress::Any));
        QList<QTcpSocket*> seen;
        QByteArray received;
        connect(&host, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* socket = host.nextPendingConnection()) {
                seen.append(socket);
                connect(socket, &QTcpSocket::readyRead, this,
                        [&, socket] { received += socket->readAll(); });
            }
        });
        dialer->options.attemptDelayMs = 0; // all at once
        const quint16 port = host.serverPort();
        dialer->start(destinations(
            QStringLiteral("[::1]:%1 127.0.0.1:%1 127.0.0.2:%1 127.0.0.3:%1").arg(port)));
        QTRY_COMPARE(connected->size(), 1);
        QVERIFY(!attempting->isEmpty());
        winner->write("hello");
        QTRY_COMPARE(received, QByteArray("hello"));
        QTRY_VERIFY(!seen.isEmpty());
        // Every loser the host took has been closed by now: the winner's
        // bytes came after the dialer aborted them.
        QTRY_COMPARE(std::count_if(seen.begin(), seen.end(),
                                   [](QTcpSocket* s) {
                                       return s->state() == QAbstractSocket::ConnectedState;
                                   }),
                     qsizetype(1));
        for (QTcpSocket* socket : seen) {
            if (socket->state() != QAbstractSocket::ConnectedState)
                QCOMPARE(socket->bytesAvailable(), 0);
        }
        QVERIFY(seen.size() <= attempting->size());
    }

    void namesAreLookedUp()
    {
        QTcpServer host;
        QVERIFY(host.listen(QHostAddress::Any));
        const quint16 port = host.serverPort();
        // A name nobody knows does not stop the others.
        dialer->start(
            destinations(QStringLiteral("no-such-host.invalid:%1 localhost:%1").arg(port)));
        QTRY_COMPARE_WITH_TIMEOUT(connected->size(), 1, 15000);
        QVERIFY(winner->peerAddress().isLoopback());

        // A name alone that nobody knows: nothing was found.
        dialer->start(destinations(QStringLiteral("no-such-host.invalid:%1").arg(port)));
        QTRY_COMPARE_WITH_TIMEOUT(failed->size(), 1, 15000);
        QCOMPARE(failed->first().at(0).value<QAbstractSocket::SocketError>(),
                 QAbstractSocket::HostNotFoundError);
        QCOMPARE(dialer->attemptsMade(), 0);
    }

    // What a dial was doing when it was stopped reports nothing: only the
    // next dial is heard of.
    void anAbortedDialIsSilent()
    {
        SilentPort silent;
        QVERIFY(silent.port != 0);
        dialer->start(destinations(QStringLiteral("[::1]:%1 localhost:%1").arg(silent.port)));
        QTRY_COMPARE(attempting->size(), 1);
        dialer->abort();
        QVERIFY(!dialer->isRunning());
        QCOMPARE(dialer->attemptsUnderWay(), 0);
        QTRY_COMPARE(dialer->findChildren<QSocketNotifier*>().size(), 0);

        const quint16 refused = refusedPort();
        dialer->start(destinations(QStringLiteral("127.0.0.1:%1").arg(refused)));
        QTRY_COMPARE(failed->size(), 1);
        QCOMPARE(attempts(*attempting).last(), QStringLiteral("127.0.0.1:%1").arg(refused));
        QCOMPARE(attempting->size(), 2);
        QVERIFY(connected->isEmpty());
    }

    // However many addresses the names come to, a bounded number is tried.
    void theAttemptsAreBounded()
    {
        const quint16 port = refusedPort();
        dialer->options.maxAddresses = 3;
        dialer->start(
            destinations(QStringLiteral("127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 [::1]"), port));
        QTRY_COMPARE(failed->size(), 1);
        QCOMPARE(attempting->size(), 3);
    }

    // The game's connection over a pipe in memory, as over anything that
    // carries it: messages both ways, whole and in order, each read bounded;
    // a peer that reads nothing is let go; and the two ways it ends, the
    // peer closing (what it sent first still read) and the carrier failing.
    void theConnectionOverAnyDevice()
    {
        Sock here;
        Sock there;
        QSignalSpy opened(&here, &Sock::Connected);
        QSignalSpy closed(&here, &Sock::Closed);
        QSignalSpy broke(&here, &Sock::Error);
        auto* hereEnd = new PipeEnd;
        auto* thereEnd = new PipeEnd;
        PipeEnd::join(hereEnd, thereEnd);
        here.Open(hereEnd, QStringLiteral("there"));
        there.Open(thereEnd, QStringLiteral("here"));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(here.State(), Sock::SocketState::Connected);
        QCOMPARE(here.RemoteHostIP(), QStringLiteral("there"));

        QByteArray big(3 * Sock::ReadBufferSize + 5, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char(i * 7);
        QByteArray got;
        qint64 mostAtOnce = 0;
        const auto reader = connect(&here, &Sock::DataArrival, this, [&] {
            for (QByteArray data = here.GetData(); !data.isEmpty(); data = here.GetData()) {
                mostAtOnce = std::max(mostAtOnce, qint64(data.size()));
                got += data;
            }
        });
        there.SendData("hello");
        there.SendData(big);
        here.SendData("back");
        QTRY_COMPARE(got.size(), 5 + big.size());
        QCOMPARE(got, "hello" + big);
        QVERIFY(mostAtOnce <= Sock::ReadBufferSize);
        QTRY_COMPARE(thereEnd->bytesAvailable(), qint64(4));
        QCOMPARE(there.GetData(), QByteArray("back"));
        disconnect(reader);

        // The other end takes 4 KiB and reads nothing.
        thereEnd->window = 4096;
        const QByteArray move(30, 'm');
        for (int i = 0; i < 100000; ++i)
            here.SendPosition(move);
        QVERIFY(here.bytesToWrite() <= Sock::MaxUnsentForPositions + move.size());
        QTRY_COMPARE(thereEnd->bytesAvailable(), qint64(4096)); // the window is full
        QCOMPARE(here.State(), Sock::SocketState::Connected);
        const QByteArray line(1000, 'x');
        qint64 most = 0;
        for (int i = 0; i < 5000 && here.State() == Sock::SocketState::Connected; ++i) {
            here.SendData(line);
            most = std::max(most, here.bytesToWrite());
        }
        QVERIFY(most <= Sock::MaxUnsent);
        QCOMPARE(here.State(), Sock::SocketState::Closing);
        QTRY_COMPARE(closed.size(), 1);
        QTRY_COMPARE(there.State(), Sock::SocketState::Closing); // its input ended

        auto* nextEnd = new PipeEnd;
        auto* peerEnd = new PipeEnd;
        PipeEnd::join(nextEnd, peerEnd);
        here.Open(nextEnd, QStringLiteral("there"));
        there.Open(peerEnd, QStringLiteral("here"));
        there.SendData("bye");
        QTRY_COMPARE(peerEnd->bytesToWrite(), qint64(0));
        there.Close();
        QTRY_COMPARE(closed.size(), 2);
        QCOMPARE(here.State(), Sock::SocketState::Closing);
        QCOMPARE(here.GetData(), QByteArray("bye"));
        QVERIFY(broke.isEmpty());

        auto* lastEnd = new PipeEnd;
        auto* farEnd = new PipeEnd;
        PipeEnd::join(lastEnd, farEnd);
        here.Open(lastEnd, QStringLiteral("there"));
        lastEnd->fail(QStringLiteral("the path broke"));
        QCOMPARE(here.State(), Sock::SocketState::Failed);
        QCOMPARE(broke.size(), 1);
        QCOMPARE(broke.first().first().toString(), QStringLiteral("the path broke"));
        here.SendData("lost"); // dropped, quietly
        QCOMPARE(here.bytesToWrite(), qint64(0));
        QCOMPARE(closed.size(), 2);
        delete farEnd;
    }
};

QTEST_MAIN(TestDialer)
#include "tst_dialer.moc"
