// SPDX-License-Identifier: MIT
// One player's side of an ICE path, for the two-homes sandbox
// (tests/ice-namespace.sh): gathers through KORVALOOP_STUN and KORVALOOP_TURN,
// prints its code, takes the other side's code from its input, and once the
// path is open sends BYTES bytes and reads as many, then closes.
//   icepeer host|join BYTES
// Prints one line a step: "code CODE", then "ok direct|relayed MS" (MS from
// the other code taken to the path open) or "failed REASON". Exits 0 on ok.
#include "ice/icelink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: icepeer host|join BYTES\n");
        return 2;
    }
    const bool host = qstrcmp(argv[1], "host") == 0;
    const qint64 bytes = QByteArray(argv[2]).toLongLong();
    ice::IceLink link(host ? ice::IceLink::Role::Host : ice::IceLink::Role::Join,
                      ice::IceLink::Options::fromEnvironment());
    QElapsedTimer sinceCode;
    qint64 written = 0, read = 0;
    bool intact = true;

    QObject::connect(&link, &ice::IceLink::gathered,
                     [&](const QString& code) { say(QStringLiteral("code ") + code); });
    QObject::connect(&link, &ice::IceLink::failed, [&](const QString& reason) {
        say(QStringLiteral("failed ") + reason);
        app.exit(1);
    });
    QObject::connect(&link, &ice::IceLink::ended, [&](const QString& reason) {
        if (read < bytes) {
            say(QStringLiteral("failed ended early: ") + reason);
            app.exit(1);
        }
    });
    QObject::connect(&link, &ice::IceLink::connected, [&](QIODevice* device) {
        const qint64 ms = sinceCode.elapsed();
        auto pump = [&, device, ms] {
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
            if (read >= bytes && written >= bytes && device->bytesToWrite() == 0) {
                say(QStringLiteral("%1 %2 %3")
                        .arg(intact ? QStringLiteral("ok") : QStringLiteral("damaged"),
                             link.isRelayed() ? QStringLiteral("relayed")
                                              : QStringLiteral("direct"))
                        .arg(ms));
                // Both sides have all: the other side's close may come first.
                QTimer::singleShot(500, &app, [&] { app.exit(intact ? 0 : 1); });
            }
        };
        QObject::connect(device, &QIODevice::readyRead, pump);
        QObject::connect(device, &QIODevice::bytesWritten, pump);
        pump();
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray line;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c;
        while (::read(STDIN_FILENO, &c, 1) == 1) {
            if (c != '\n') {
                line.append(c);
                continue;
            }
            sinceCode.start();
            const QString refused = link.takeRemoteCode(QString::fromLatin1(line));
            if (!refused.isEmpty()) {
                say(QStringLiteral("failed ") + refused);
                app.exit(1);
            }
            input.setEnabled(false);
            return;
        }
        input.setEnabled(false);
    });
    QTimer::singleShot(30000, &app, [&] {
        say(QStringLiteral("failed time-out"));
        app.exit(2);
    });
    link.start();
    return app.exec();
}
