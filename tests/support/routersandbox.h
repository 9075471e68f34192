// SPDX-License-Identifier: MIT
#pragma once

// The router sandbox of tests/router-namespace.sh as a test sees it: a home
// network's machine 192.168.77.10 behind a router 192.168.77.1 whose outside
// address is 198.51.100.1, and the means to set the router up and to look
// at it (tests/router-control.sh).

#include <QHostAddress>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

inline constexpr quint16 GamePort = 2539;
inline const QHostAddress ThisMachine(QStringLiteral("192.168.77.10"));
inline const QHostAddress Gateway(QStringLiteral("192.168.77.1"));
inline const QHostAddress Outside(QStringLiteral("198.51.100.1"));
// The same over IPv6, where nothing is translated: this machine, the router
// on the home network (the address its UPnP server announces) and the peer
// on the internet.
inline const QHostAddress ThisMachine6(QStringLiteral("2001:db8:1::10"));
inline const QHostAddress Gateway6(QStringLiteral("2001:db8:1::1"));
inline const QHostAddress Peer6(QStringLiteral("2001:db8:ff::20"));
// Another device on the home network, with a link-layer address of its own.
inline const QHostAddress Device(QStringLiteral("192.168.77.66"));
inline const QHostAddress Device6(QStringLiteral("2001:db8:1::66"));
// Known within about 3 s when a router answers and 5 s when none does.
inline constexpr int Answered = 5000;
// How long a forward may take to go once it is no longer wanted.
inline constexpr int Removed = 5000;

inline bool inSandbox()
{
    if (!qEnvironmentVariableIsSet("KORVALOOP_ROUTER"))
        return false;
    const QNetworkInterface lan = QNetworkInterface::interfaceFromName(QStringLiteral("lan0"));
    for (const QNetworkAddressEntry& entry : lan.addressEntries()) {
        if (entry.ip() == ThisMachine)
            return true;
    }
    return false;
}

// tests/router-control.sh, with the event loop running while it works, so
// that this process can answer what it does (a peer connecting to the game).
struct Control {
    int exitCode = -1;
    QByteArray output;
};

inline Control control(const QStringList& arguments, int timeout = 20000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(qEnvironmentVariable("KORVALOOP_ROUTER"), arguments);
    if (!process.waitForStarted() ||
        !QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeout))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput()};
}

// The set-up every test in the sandbox shares: it runs only there, and a
// test that fails shows what miniupnpd wrote meanwhile.
class RouterSandboxTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!inSandbox())
            QSKIP("runs a router of its own: only inside tests/router-namespace.sh");
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "miniupnpd wrote:\n" << control({QStringLiteral("log")}).output;
    }
};

// The router's port forwards, "tcp OUTSIDE_PORT ADDRESS:PORT" each.
inline QStringList mappings()
{
    QStringList lines = QString::fromLatin1(control({QStringLiteral("mappings")}).output)
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}

inline QString forward(quint16 outsidePort, const QHostAddress& to, quint16 port)
{
    return QStringLiteral("tcp %1 %2:%3").arg(outsidePort).arg(to.toString()).arg(port);
}

// The router's IPv6 pinholes, "tcp6 ADDRESS PORT" each, sorted.
inline QStringList pinholes()
{
    QStringList lines = QString::fromLatin1(control({QStringLiteral("pinholes")}).output)
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}

// From the peer on the internet: a connection to the address, a line there
// and back.
inline bool reach(const QHostAddress& address, quint16 port)
{
    return control({QStringLiteral("reach"), address.toString(), QString::number(port)}).exitCode ==
           0;
}

// The same over IPv6, from Peer6.
inline bool reach6(const QHostAddress& address, quint16 port)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol &&
           control({QStringLiteral("reach6"), address.toString(), QString::number(port)})
                   .exitCode == 0;
}

// tests/sandbox/fakeigd, on the router (in place of miniupnpd), on this
// machine or on the other device; what it was asked, one line each.
class FakeIgd {
public:
    FakeIgd(const QHostAddress& address, const QStringList& options)
    {
        const QStringList arguments = QStringList{address.toString()} + options;
        if (address == ThisMachine)
            m_process.start(QStringLiteral(KORVALOOP_FAKE_IGD), arguments);
        else if (address == Device || address == Device6)
            m_process.start(
                qEnvironmentVariable("KORVALOOP_ROUTER"),
                QStringList{QStringLiteral("device"), QStringLiteral(KORVALOOP_FAKE_IGD)} +
                    arguments);
        else
            m_process.start(
                qEnvironmentVariable("KORVALOOP_ROUTER"),
                QStringList{QStringLiteral("router"), QStringLiteral(KORVALOOP_FAKE_IGD)} +
                    arguments);
        m_ready = QTest::qWaitFor([this] { return lines().contains(QStringLiteral("ready")); });
    }
    ~FakeIgd()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    bool ready() const { return m_ready; }
    QStringList lines()
    {
        m_output += m_process.readAllStandardOutput();
        return QString::fromLatin1(m_output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QStringList asked(const char* action)
    {
        return lines().filter(
            QRegularExpression(QStringLiteral("^%1 ").arg(QLatin1String(action))));
    }

private:
    QProcess m_process;
    QByteArray m_output;
    bool m_ready = false;
};

// Restarts the router only when it is asked to change: each start of
// miniupnpd asks the STUN server again.
class RouterModes {
public:
    bool set(const QString& mode)
    {
        if (mode == m_mode)
            return true;
        m_mode.clear();
        if (control(QStringList{QStringLiteral("mode")} + mode.split(QLatin1Char(' '))).exitCode !=
            0)
            return false;
        m_mode = mode;
        return true;
    }

private:
    QString m_mode;
};
