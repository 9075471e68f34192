// SPDX-License-Identifier: MIT
// Two benchmarks of the game on the receiving end of a connection.
//
// wire: one copy of the game receives 100,000 messages sent back to back by
// another copy (this same program, started with --send PORT): moves, with a
// gotkey, newgame or chat as every 100th. Prints the messages per second, the
// event messages applied against those sent, and the receiver's peak memory.
//
// hostile: a peer (this program, started with --flood PORT SECONDS) sends
// "gotkey" as fast as the connection takes it for ten seconds. Prints how
// much the game's memory grew and how many messages it handled a second.
#include "app/form1.h"
#include "dialogcontrols.h"
#include "platform/qtplatform.h"
#include "wire/protocol.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTimer>

#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Messages = 100000;

struct Sent {
    int gotkey = 0;
    int newgame = 0;
    int chat = 0;
};

// The stream both sides agree on: message i of it.
QString messageAt(int i, Sent& sent)
{
    if (i % 100 != 99)
        return protocol::moveMessage({444, 444, i % 625, i % 625, i % 2 == 0, i % 2 == 1});
    if (i % 300 == 99) {
        ++sent.gotkey;
        return QStringLiteral("gotkey");
    }
    if (i % 300 == 199) {
        ++sent.newgame;
        return QStringLiteral("newgame");
    }
    ++sent.chat;
    return protocol::chatMessage(QStringLiteral("line %1").arg(i), QStringLiteral("Bench"));
}

// A line of /proc/self/status in KiB: VmHWM the peak, VmRSS the present.
long memoryKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field))).trimmed().split(' ').first().toLong();
    return -1;
}

long peakResidentKiB()
{
    return memoryKiB("VmHWM:");
}

void startConnection(Form1& form, bool asHost, int port)
{
    DialogControls dialog{form.dialog()};
    (asHost ? dialog.host : dialog.join)->setChecked(true);
    dialog.router->internet->setChecked(false); // loopback only: no router to ask
    dialog.port->setText(QString::number(port));
    dialog.update->setText(QStringLiteral("0")); // no timed moves of its own
    dialog.cmdOK->click();
}

int send(int port)
{
    QtPlatform platform;
    Form1 form(platform);
    Sock& sock = *named<Sock>(form.session, "sock");
    // As fast as the receiver reads, but never so far ahead of it that the
    // game would take it for a peer that reads nothing.
    int next = 0;
    Sent sent;
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] {
        while (next < Messages && sock.bytesToWrite() < Sock::MaxUnsent / 4)
            sock.SendData(protocol::toWire(messageAt(next++, sent)));
        // Everything handed to the network, then leave: the receiver stops at our close.
        if (next == Messages && sock.bytesToWrite() == 0)
            QCoreApplication::quit();
    });
    QObject::connect(&sock, &Sock::Connected, [&] { pump.start(0); });
    startConnection(form, false, port);
    return QCoreApplication::exec();
}

int benchPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Starts the peer (this program with the given arguments) and runs the game
// until the peer has left. Returns the nanoseconds from its first data to its
// leaving.
qint64 receiveUntilThePeerLeaves(Form1& form, const QString& program, const QStringList& arguments)
{
    Sock& sock = *named<Sock>(form.session, "sock");
    QElapsedTimer clock;
    qint64 elapsed = 0;
    const auto first = QObject::connect(&sock, &Sock::DataArrival, [&] {
        if (!clock.isValid())
            clock.start();
    });
    const auto last = QObject::connect(&sock, &Sock::Closed, [&] {
        elapsed = clock.nsecsElapsed();
        QCoreApplication::quit();
    });
    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedChannels);
    peer.start(program, arguments);
    QCoreApplication::exec();
    peer.waitForFinished();
    QObject::disconnect(first);
    QObject::disconnect(last);
    return elapsed;
}

int receive(const QString& program)
{
    QtPlatform platform;
    Form1 form(platform);
    Game& game = form.game;

    const int port = benchPort();
    startConnection(form, true, port);

    int gotkeys = 0;
    int newgames = 0;
    QObject::connect(&form.log, &ConsoleLog::lineAppended, [&](const QString& line) {
        gotkeys += line == QLatin1String("key picked up");
        newgames += line == QLatin1String("New game initialized");
    });
    int chats = 0;
    QString lastChat;
    QObject::connect(&game.scene, &Scene::changed, [&] {
        if (game.scene.greenchat.caption() != lastChat) {
            lastChat = game.scene.greenchat.caption();
            ++chats;
        }
    });
    const qint64 elapsed =
        receiveUntilThePeerLeaves(form, program, {QStringLiteral("--send"), QString::number(port)});

    Sent sent;
    for (int i = 0; i < Messages; ++i)
        messageAt(i, sent);
    const int events = sent.gotkey + sent.newgame + sent.chat;
    const int applied = gotkeys + newgames + chats;
    std::printf("wire: %d messages in %.1f ms, %.0f messages/s; event messages applied %d of %d "
                "(gotkey %d/%d, newgame %d/%d, chat %d/%d), lost %d; receiver peak RSS %ld KiB\n",
                Messages, double(elapsed) / 1e6, Messages / (double(elapsed) / 1e9), applied,
                events, gotkeys, sent.gotkey, newgames, sent.newgame, chats, sent.chat,
                events - applied, peakResidentKiB());
    return applied == events ? 0 : 1;
}

// The hostile peer: "gotkey" as fast as the connection takes it, never a read.
int flood(int port, int seconds)
{
    const QByteArray chunk = QByteArray("gotkey").repeated(64 * 1024 / 6);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return 1;
    const timeval patience{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000) {
        if (::send(fd, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL) < 0 &&
            errno != EAGAIN && errno != EINTR)
            break;
    }
    ::close(fd);
    return 0;
}

int hostile(const QString& program)
{
    constexpr int Seconds = 10;
    QtPlatform platform;
    Form1 form(platform);
    const int port = benchPort();
    startConnection(form, true, port);
    qint64 lines = 0;
    QObject::connect(&form.log, &ConsoleLog::lineAppended, [&] { ++lines; });
    // Settle first: what the game needs anyway is no growth.
    QCoreApplication::processEvents();
    const long before = memoryKiB("VmRSS:");
    const qint64 elapsed = receiveUntilThePeerLeaves(
        form, program,
        {QStringLiteral("--flood"), QString::number(port), QString::number(Seconds)});
    const long after = memoryKiB("VmRSS:");
    const qint64 handled = lines / 2; // each "gotkey" logs two lines
    std::printf("hostile: %lld gotkey in %.1f s, %.0f messages/s handled; memory %ld KiB before, "
                "%ld KiB after, grew %ld KiB\n",
                handled, double(elapsed) / 1e9, double(handled) / (double(elapsed) / 1e9), before,
                after, after - before);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--send"))
        return send(args[2].toInt());
    if (args.size() == 4 && args[1] == QLatin1String("--flood"))
        return flood(args[2].toInt(), args[3].toInt());
    if (args.size() == 2 && args[1] == QLatin1String("--hostile"))
        return hostile(QCoreApplication::applicationFilePath());
    return receive(QCoreApplication::applicationFilePath());
}
