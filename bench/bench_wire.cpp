// One copy of the game receives 100,000 messages sent back to back by another
// copy (this same program, started with --send PORT): moves, with a gotkey,
// newgame or chat as every 100th. Prints the messages per second, the event
// messages applied against those sent, and the receiver's peak memory.
#include "app/form1.h"
#include "net/mplayer.h"
#include "net/multiplayer.h"
#include "net/protocol.h"
#include "platform/qtplatform.h"

#include <QApplication>
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

namespace {

constexpr int Messages = 100000;

struct Sent {
    int gotkey = 0;
    int newgame = 0;
    int chat = 0;
};

// The stream both sides agree on.
template <class Send> Sent sendAll(Send send)
{
    Sent sent;
    for (int i = 0; i < Messages; ++i) {
        if (i % 100 != 99) {
            send(protocol::moveMessage({444, 444, i % 625, i % 625, i % 2 == 0, i % 2 == 1}));
        } else if (i % 300 == 99) {
            send(QStringLiteral("gotkey"));
            ++sent.gotkey;
        } else if (i % 300 == 199) {
            send(QStringLiteral("newgame"));
            ++sent.newgame;
        } else {
            send(protocol::chatMessage(QStringLiteral("line %1").arg(i), QStringLiteral("Bench")));
            ++sent.chat;
        }
    }
    return sent;
}

long peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

void startConnection(Form1& form, bool asHost, int port)
{
    mplayer& dialog = form.multiplayer->dialog();
    (asHost ? dialog.host : dialog.join)->setChecked(true);
    dialog.port->setText(QString::number(port));
    dialog.update->setText(QStringLiteral("0")); // no timed moves of its own
    dialog.cmdOK_Click();
}

int send(int port)
{
    QtPlatform platform;
    Form1 form(platform);
    Sock& sock = form.multiplayer->sock;
    QObject::connect(&sock, &Sock::Connected, [&] {
        sendAll([&](const QString& message) { sock.SendData(message); });
        // Everything handed to the network, then leave: the receiver stops at our close.
        auto* drain = new QTimer(&form);
        QObject::connect(drain, &QTimer::timeout, [&] {
            if (sock.bytesToWrite() == 0)
                QCoreApplication::quit();
        });
        drain->start(1);
    });
    startConnection(form, false, port);
    return QCoreApplication::exec();
}

int receive(const QString& program)
{
    QtPlatform platform;
    Form1 form(platform);
    Game& game = form.game;

    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    startConnection(form, true, port);

    int chats = 0;
    QString lastChat;
    QObject::connect(&game.scene, &Scene::changed, [&] {
        if (game.scene.greenchat.caption() != lastChat) {
            lastChat = game.scene.greenchat.caption();
            ++chats;
        }
    });
    QElapsedTimer clock;
    QObject::connect(&form.multiplayer->sock, &Sock::DataArrival, [&] {
        if (!clock.isValid())
            clock.start();
    });
    qint64 elapsed = 0;
    QObject::connect(&form.multiplayer->sock, &Sock::Closed, [&] {
        elapsed = clock.nsecsElapsed();
        QCoreApplication::quit();
    });

    QProcess sender;
    sender.setProcessChannelMode(QProcess::ForwardedChannels);
    sender.start(program, {QStringLiteral("--send"), QString::number(port)});
    QCoreApplication::exec();
    sender.waitForFinished();

    const QString text = form.log.text();
    const int gotkeys = int(text.count(QStringLiteral("key picked up")));
    const int newgames = int(text.count(QStringLiteral("New game initialized")));
    const Sent sent = sendAll([](const QString&) {});
    const int events = sent.gotkey + sent.newgame + sent.chat;
    const int applied = gotkeys + newgames + chats;
    std::printf("wire: %d messages in %.1f ms, %.0f messages/s; event messages applied %d of %d "
                "(gotkey %d/%d, newgame %d/%d, chat %d/%d), lost %d; receiver peak RSS %ld KiB\n",
                Messages, double(elapsed) / 1e6, Messages / (double(elapsed) / 1e9), applied,
                events, gotkeys, sent.gotkey, newgames, sent.newgame, chats, sent.chat,
                events - applied, peakResidentKiB());
    return applied == events ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--send"))
        return send(args[2].toInt());
    return receive(QCoreApplication::applicationFilePath());
}
