// SPDX-License-Identifier: MIT
// One player's side of an ICE path, for the two-homes sandbox
// (tests/ice-namespace.sh): gathers through KORVALOOP_STUN and KORVALOOP_TURN,
// prints its code (and "offers ADDRESS:PORT..." read back from it, with
// "left-out:N" for those the reader drops as no player's), takes the other
// side's code from the first line of its input, and once the path is open
// sends BYTES bytes and reads as many, then closes.
//   icepeer host|join BYTES
// Prints one line a step: "code CODE", then "ok direct|relayed MS rss KB"
// (MS from the other code taken to the path open, KB this process's resident
// memory then) or "failed REASON" ("failed after MS ms: REASON" once the
// other code is in). Once done, or when its input ends, it lets the link go
// and says "closed"; then it waits for the end of its input (at most 10 s),
// so that the sandbox can look for sockets left behind, and for its agent to
// close. Exits 0 on ok.
//   icepeer host|join stay
// Keeps the path open, a 9-byte message each way every 100 ms, until it
// ends: "open direct|relayed MS", then "ended MS REASON" (MS since the last
// byte came), then as above.
//   icepeer host|join bench
// Times the path for bench/run: both sides send a byte as soon as it is
// open ("first MS", from the other code taken to that byte's arrival), the
// host then sends 200 nine-byte messages one after another, each echoed
// ("rtt MEDIAN_US MAX_US"), and both stand idle ("idle PERCENT PERCENT" of a
// core over the next 10 s and the 10 s after, from /proc/self/stat); then as
// above.
//   icepeer tcphost PORT | tcpjoin ADDRESS PORT
// The same over TCP (no delay, as the game's), for comparison; the join's
// "first" counts from its connect.
//   icepeer stun ADDRESS PORT NAMED
// A hostile STUN server on ADDRESS:PORT: each request is answered with
// noise, STUN cut short and overlong, and then 50 answers naming NAMED.
//   icepeer flood ADDRESS PORT INVITATION
// A stranger who read the invitation in the chat: sends COUNT (20,000)
// datagrams within 5 s to a waiting link's ICE port, from 16 ports: random
// bytes, cut-short and overlong STUN, attributes running past the end,
// checks with a wrong MESSAGE-INTEGRITY and checks signed with the
// invitation's password, answers to nothing. Prints "sent N in MS".
// libnice's STUN code, before Qt.
#include <stun/stunagent.h>
#include <stun/usages/ice.h>

#include "ice/icelink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

char patternByte(bool host, qint64 at)
{
    return char((at * (host ? 7 : 13) + (host ? 1 : 5)) & 0xff);
}

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

void put16(QByteArray& at, qsizetype offset, quint16 value)
{
    at[offset] = char(value >> 8);
    at[offset + 1] = char(value & 0xff);
}

// A check as the other player's would be, from libnice's own STUN code: for
// USERNAME, signed with KEY (or a wrong one), with a FINGERPRINT.
QByteArray check(const QByteArray& username, const QByteArray& key, QRandomGenerator& random)
{
    static const uint16_t known[] = {
        STUN_ATTRIBUTE_USERNAME, STUN_ATTRIBUTE_MESSAGE_INTEGRITY, STUN_ATTRIBUTE_FINGERPRINT,
        STUN_ATTRIBUTE_PRIORITY, STUN_ATTRIBUTE_ICE_CONTROLLED,    0};
    StunAgent agent;
    stun_agent_init(&agent, known, STUN_COMPATIBILITY_RFC5389,
                    StunAgentUsageFlags(STUN_AGENT_USAGE_SHORT_TERM_CREDENTIALS |
                                        STUN_AGENT_USAGE_USE_FINGERPRINT));
    StunMessage message;
    uint8_t buffer[STUN_MAX_MESSAGE_SIZE];
    const size_t length = stun_usage_ice_conncheck_create(
        &agent, &message, buffer, sizeof buffer,
        reinterpret_cast<const uint8_t*>(username.constData()), size_t(username.size()),
        reinterpret_cast<const uint8_t*>(key.constData()), size_t(key.size()), false, false,
        0x6e001eff, random.generate64(), nullptr, STUN_USAGE_ICE_COMPATIBILITY_RFC5245);
    return QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(length));
}

// This process's CPU time so far, in clock ticks.
qint64 cpuTicks()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // After the command's closing parenthesis: state is field 3, utime 14.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

// The timings of "bench" on an open path; done() once idle has been timed.
class Bench : public QObject {
public:
    static constexpr int RoundTrips = 200;
    static constexpr int IdleMs = 10000;

    Bench(QIODevice* device, bool host, QElapsedTimer since, std::function<void()> done)
        : QObject(device)
        , device_(device)
        , host_(host)
        , since_(since)
        , done_(std::move(done))
    {
        connect(device, &QIODevice::readyRead, this, &Bench::arrived);
        device->write("F");
        arrived();
    }

private:
    void arrived()
    {
        buffer_ += device_->readAll();
        if (!first_) {
            if (buffer_.isEmpty())
                return;
            first_ = true;
            buffer_.remove(0, 1);
            say(QStringLiteral("first %1").arg(since_.elapsed()));
            if (host_)
                ask();
        }
        while (buffer_.size() >= 9 && count_ < RoundTrips) {
            buffer_.remove(0, 9);
            ++count_;
            if (host_) {
                times_.push_back(clock_.nsecsElapsed() / 1000);
                if (count_ < RoundTrips)
                    ask();
            } else {
                device_->write("move 1 2\n");
            }
            if (count_ == RoundTrips) {
                if (host_) {
                    std::sort(times_.begin(), times_.end());
                    say(QStringLiteral("rtt %1 %2")
                            .arg(times_[times_.size() / 2])
                            .arg(times_.back()));
                }
                idle();
            }
        }
    }
    void ask()
    {
        clock_.start();
        device_->write("move 1 2\n");
    }
    // Two windows: libnice's check timer still ticks every 20 ms for some
    // seconds after the path opens. The join's last runs a second longer, so
    // that its end does not fall into the host's.
    void idle()
    {
        const qint64 before = cpuTicks();
        QTimer::singleShot(IdleMs, this, [this, before] {
            const qint64 middle = cpuTicks();
            const int ms = host_ ? IdleMs : IdleMs + 1000;
            QTimer::singleShot(ms, this, [this, before, middle, ms] {
                const auto percent = [](qint64 ticks, int window) {
                    return QString::number(100.0 * double(ticks) / double(sysconf(_SC_CLK_TCK)) /
                                               (window / 1000.0),
                                           'f', 2);
                };
                say(QStringLiteral("idle %1 %2")
                        .arg(percent(middle - before, IdleMs), percent(cpuTicks() - middle, ms)));
                done_();
            });
        });
    }

    QIODevice* const device_;
    const bool host_;
    const QElapsedTimer since_;
    const std::function<void()> done_;
    QByteArray buffer_;
    bool first_ = false;
    int count_ = 0;
    QElapsedTimer clock_;
    std::vector<qint64> times_;
};

int tcpBench(QCoreApplication& app, bool host, const QHostAddress& address, quint16 port)
{
    QTcpServer server;
    QTcpSocket dialled;
    QElapsedTimer since;
    auto begin = [&](QTcpSocket* socket) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        new Bench(socket, host, since,
                  [&app] { QTimer::singleShot(200, &app, [&app] { app.exit(0); }); });
    };
    if (host) {
        if (!server.listen(QHostAddress::AnyIPv4, port)) {
            say(QStringLiteral("failed ") + server.errorString());
            return 1;
        }
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            if (QTcpSocket* socket = server.nextPendingConnection()) {
                since.start();
                begin(socket);
            }
        });
        say(QStringLiteral("listening"));
    } else {
        QObject::connect(&dialled, &QTcpSocket::connected, [&] { begin(&dialled); });
        since.start();
        dialled.connectToHost(address, port);
    }
    QTimer::singleShot(40000, &app, [&] {
        say(QStringLiteral("failed time-out"));
        app.exit(2);
    });
    return app.exec();
}

// A STUN server that answers anything: each Binding request gets noise, a
// header whose length runs past the datagram, an answer with an attribute
// running past its end, 50 copies of an answer, then the answer naming
// ADDRESS (loopback, multicast, unspecified: no player's) and port 0 or 9.
int hostileStun(const QHostAddress& at, quint16 port, const QHostAddress& named)
{
    QUdpSocket socket;
    if (!socket.bind(at, port)) {
        std::fprintf(stderr, "icepeer stun: %s\n", qPrintable(socket.errorString()));
        return 1;
    }
    QRandomGenerator random(8489);
    QObject::connect(&socket, &QUdpSocket::readyRead, [&] {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram request = socket.receiveDatagram(1500);
            const QByteArray data = request.data();
            if (data.size() < 20 || data[0] != 0 || data[1] != 1)
                continue;
            auto reply = [&](const QByteArray& datagram) {
                socket.writeDatagram(datagram, request.senderAddress(),
                                     quint16(request.senderPort()));
            };
            QByteArray noise(64, 0);
            for (char& c : noise)
                c = char(random.bounded(256));
            reply(noise);
            QByteArray head = data.left(20);
            put16(head, 0, 0x0101);
            put16(head, 2, 0x0400);
            reply(head);
            QByteArray overlong = head + QByteArray("\x00\x01\x7f\xf0\x00\x01", 6);
            put16(overlong, 2, 6);
            reply(overlong);
            // MAPPED-ADDRESS and XOR-MAPPED-ADDRESS of NAMED, whichever the
            // request's form.
            const quint32 v4 = named.toIPv4Address();
            constexpr quint32 cookie = 0x2112A442;
            const quint16 mappedPort = random.bounded(2) ? 0 : 9;
            QByteArray answer = data.left(20);
            put16(answer, 0, 0x0101);
            for (const bool xored : {false, true}) {
                QByteArray attribute(12, 0);
                put16(attribute, 0, xored ? 0x0020 : 0x0001);
                put16(attribute, 2, 8);
                attribute[5] = 1;
                put16(attribute, 6, xored ? quint16(mappedPort ^ (cookie >> 16)) : mappedPort);
                const quint32 address = xored ? v4 ^ cookie : v4;
                put16(attribute, 8, quint16(address >> 16));
                put16(attribute, 10, quint16(address & 0xffff));
                answer += attribute;
            }
            put16(answer, 2, quint16(answer.size() - 20));
            for (int i = 0; i < 50; ++i)
                reply(answer);
        }
    });
    return QCoreApplication::exec();
}

int flood(const QHostAddress& to, quint16 port, const QString& invitation)
{
    const ice::Decoded decoded = ice::decodeCode(invitation, ice::CodeKind::Invitation);
    if (!decoded.code) {
        std::fprintf(stderr, "icepeer flood: no invitation\n");
        return 2;
    }
    const QByteArray username = decoded.code->userFragmentText() + ":evil";
    const QByteArray password = decoded.code->passwordText();
    QRandomGenerator random(27);
    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    for (int i = 0; i < 16; ++i) {
        sockets.push_back(std::make_unique<QUdpSocket>());
        sockets.back()->bind(QHostAddress::AnyIPv4, 0);
    }
    constexpr int Count = 20000;
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    for (int i = 0; i < Count && clock.elapsed() < 5000; ++i) {
        QByteArray datagram;
        switch (i % 8) {
        case 0: // noise
            datagram.resize(random.bounded(1, 1400));
            for (char& c : datagram)
                c = char(random.bounded(256));
            break;
        case 1: // a STUN header cut short
            datagram = check(username, password, random).left(random.bounded(1, 20));
            break;
        case 2: // a length past the end, or not a multiple of four
            datagram = check(username, password, random);
            put16(datagram, 2, quint16(i % 16 == 2 ? 0xfffc : datagram.size() - 19));
            break;
        case 3: { // an attribute running past the end
            datagram = check(username, password, random);
            put16(datagram, 22, 0xfff0);
            break;
        }
        case 4: // the wrong password
            datagram = check(username, QByteArray("not the password"), random);
            break;
        case 5: // signed with the invitation's password: only a stranger's check
            datagram = check(username, password, random);
            break;
        case 6: { // an answer to no question
            datagram = check(username, password, random);
            put16(datagram, 0, i % 16 == 6 ? 0x0101 : 0x0111);
            break;
        }
        default: // pseudo-TCP's header, and garbage after it
            datagram.resize(24 + random.bounded(200));
            for (char& c : datagram)
                c = char(random.bounded(256));
            break;
        }
        QUdpSocket& socket = *sockets[size_t(i) % sockets.size()];
        if (socket.writeDatagram(datagram, to, port) >= 0)
            ++sent;
        // A little pacing, so that the bound on time is the flood's own.
        if (i % 64 == 63)
            usleep(1000);
    }
    say(QStringLiteral("sent %1 in %2").arg(sent).arg(clock.elapsed()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && qstrcmp(argv[1], "flood") == 0)
        return flood(QHostAddress(QString::fromLatin1(argv[2])), quint16(atoi(argv[3])),
                     QString::fromLatin1(argv[4]));
    if (argc == 5 && qstrcmp(argv[1], "stun") == 0)
        return hostileStun(QHostAddress(QString::fromLatin1(argv[2])), quint16(atoi(argv[3])),
                           QHostAddress(QString::fromLatin1(argv[4])));
    if (argc == 3 && qstrcmp(argv[1], "tcphost") == 0)
        return tcpBench(app, true, {}, quint16(atoi(argv[2])));
    if (argc == 4 && qstrcmp(argv[1], "tcpjoin") == 0)
        return tcpBench(app, false, QHostAddress(QString::fromLatin1(argv[2])),
                        quint16(atoi(argv[3])));
    if (argc != 3) {
        std::fprintf(stderr, "usage: icepeer host|join BYTES|stay|bench\n"
                             "       icepeer tcphost PORT | tcpjoin ADDRESS PORT\n"
                             "       icepeer stun ADDRESS PORT NAMED\n"
                             "       icepeer flood ADDRESS PORT INVITATION\n");
        return 2;
    }
    const bool host = qstrcmp(argv[1], "host") == 0;
    const bool stay = qstrcmp(argv[2], "stay") == 0;
    const bool bench = qstrcmp(argv[2], "bench") == 0;
    const qint64 bytes = stay || bench ? 0 : QByteArray(argv[2]).toLongLong();
    auto link =
        std::make_unique<ice::IceLink>(host ? ice::IceLink::Role::Host : ice::IceLink::Role::Join,
                                       ice::IceLink::Options::fromEnvironment());
    QElapsedTimer sinceCode, sinceByte;
    qint64 written = 0, read = 0;
    bool intact = true;
    int exitCode = 2;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    // Done: the link is let go, and the process stays until its input ends.
    auto finish = [&](int code) {
        if (!link)
            return;
        exitCode = code;
        link.reset();
        say(QStringLiteral("closed"));
        input.setEnabled(true);
        QTimer::singleShot(10000, &app, [&] { app.exit(exitCode); });
    };

    QObject::connect(link.get(), &ice::IceLink::gathered, [&](const QString& code) {
        say(QStringLiteral("code ") + code);
        // What the code offers, read as leniently as can be.
        const ice::Decoded own =
            ice::decodeCode(code, host ? ice::CodeKind::Invitation : ice::CodeKind::Answer, {true});
        QStringList offered;
        for (const ice::Candidate& candidate :
             own.code ? own.code->candidates : QList<ice::Candidate>{})
            offered
                << QStringLiteral("%1:%2").arg(candidate.address.toString()).arg(candidate.port);
        // Those the reader left out, as no player's, are named too.
        if (own.dropped > 0)
            offered << QStringLiteral("left-out:%1").arg(own.dropped);
        say(QStringLiteral("offers ") + offered.join(QLatin1Char(' ')));
    });
    QObject::connect(link.get(), &ice::IceLink::failed, [&](const QString& reason) {
        say(sinceCode.isValid()
                ? QStringLiteral("failed after %1 ms: %2").arg(sinceCode.elapsed()).arg(reason)
                : QStringLiteral("failed ") + reason);
        QTimer::singleShot(0, &app, [&] { finish(1); });
    });
    QObject::connect(link.get(), &ice::IceLink::ended, [&](const QString& reason) {
        if (stay)
            say(QStringLiteral("ended %1 %2").arg(sinceByte.elapsed()).arg(reason));
        else if (read < bytes)
            say(QStringLiteral("failed ended early: ") + reason);
        if (stay || read < bytes)
            QTimer::singleShot(0, &app, [&] { finish(stay ? 0 : 1); });
    });
    QObject::connect(link.get(), &ice::IceLink::connected, [&](QIODevice* device) {
        const qint64 ms = sinceCode.elapsed();
        const QString path =
            link->isRelayed() ? QStringLiteral("relayed") : QStringLiteral("direct");
        sinceByte.start();
        if (bench) {
            say(QStringLiteral("open %1 %2").arg(path).arg(ms));
            new Bench(device, host, sinceCode,
                      [&] { QTimer::singleShot(0, &app, [&] { finish(0); }); });
            return;
        }
        if (stay) {
            say(QStringLiteral("open %1 %2").arg(path).arg(ms));
            auto* tick = new QTimer(device);
            QObject::connect(tick, &QTimer::timeout, device, [device] {
                if (device->bytesToWrite() < 4096)
                    device->write("move 1 2\n");
            });
            QObject::connect(device, &QIODevice::readyRead, device, [&, device] {
                if (!device->readAll().isEmpty())
                    sinceByte.start();
            });
            tick->start(100);
            return;
        }
        auto pump = [&, device, ms, path] {
            while (written < bytes) {
                char chunk[4096];
                const qint64 size = std::min<qint64>(sizeof chunk, bytes - written);
                for (qint64 i = 0; i < size; ++i)
                    chunk[i] = patternByte(host, written + i);
                const qint64 taken = device->write(chunk, size);
                if (taken <= 0)
                    break;
                written += taken;
            }
            const QByteArray arrived = device->readAll();
            for (qsizetype i = 0; i < arrived.size(); ++i)
                intact = intact && arrived[i] == patternByte(!host, read + i);
            read += arrived.size();
            if (read >= bytes && written >= bytes && device->bytesToWrite() == 0 && exitCode == 2) {
                exitCode = intact ? 0 : 1;
                say(QStringLiteral("%1 %2 %3 rss %4")
                        .arg(intact ? QStringLiteral("ok") : QStringLiteral("damaged"), path)
                        .arg(ms)
                        .arg(residentKiB()));
                // Both sides have all: the other side's close may come first.
                QTimer::singleShot(500, &app, [&] { finish(exitCode); });
            }
        };
        QObject::connect(device, &QIODevice::readyRead, device, pump);
        QObject::connect(device, &QIODevice::bytesWritten, device, pump);
        pump();
    });

    QByteArray line;
    bool taken = false;
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c;
        ssize_t got;
        while ((got = ::read(STDIN_FILENO, &c, 1)) == 1) {
            if (!link || taken)
                continue;
            if (c != '\n') {
                line.append(c);
                continue;
            }
            sinceCode.start();
            const QString refused = link->takeRemoteCode(QString::fromLatin1(line));
            if (!refused.isEmpty()) {
                say(QStringLiteral("failed ") + refused);
                QTimer::singleShot(0, &app, [&] { finish(1); });
            }
            // What comes after is not read; its end lets the link go.
            taken = true;
        }
        if (got != 0)
            return;
        input.setEnabled(false);
        // The end of the input: once done, the sandbox has looked; before
        // any code came, the link is let go. Either way, the process ends
        // once the agent has closed.
        if (link) {
            finish(0);
            input.setEnabled(false);
        }
        auto* closed = new QTimer(&app);
        QObject::connect(closed, &QTimer::timeout, &app, [&] {
            if (ice::IceLink::agentsClosing() == 0)
                app.exit(exitCode);
        });
        closed->start(20);
    });
    QTimer::singleShot(stay || bench ? 60000 : 30000, &app, [&] {
        say(QStringLiteral("failed time-out"));
        finish(2);
    });
    link->start();
    return app.exec();
}
