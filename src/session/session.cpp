// SPDX-License-Identifier: MIT
#include "session.h"

#include "game/game.h"
#include "platform/platform.h"
#include "sessionlog.h"
#include "wire/protocol.h"

#include <QScopedValueRollback>

#include <algorithm>
#include <utility>

namespace {

// A whole number and nothing else; blanks around it are forgiven.
bool wholeNumber(const QString& text, qint64& value)
{
    bool ok = false;
    value = text.trimmed().toLongLong(&ok);
    return ok;
}

ConnectionState connectionState(Sock::SocketState socketState)
{
    switch (socketState) {
    case Sock::SocketState::Closed:
        return ConnectionState::Closed;
    case Sock::SocketState::Listening:
        return ConnectionState::Listening;
    case Sock::SocketState::Connecting:
        return ConnectionState::Connecting;
    case Sock::SocketState::Connected:
        return ConnectionState::Connected;
    default:
        return ConnectionState::Closing;
    }
}

const char* stateName(ConnectionState state)
{
    switch (state) {
    case ConnectionState::Closed:
        return "closed";
    case ConnectionState::Listening:
        return "listening";
    case ConnectionState::Connecting:
        return "connecting";
    case ConnectionState::Connected:
        return "connected";
    case ConnectionState::Closing:
        return "closing";
    }
    return "?";
}

} // namespace

Session::Session(Game& game, Platform& platform, QObject* parent)
    : QObject(parent)
    , opener(this)
    , sock(this)
    , receiver(game, platform, this)
    , m_game(game)
    , m_platform(platform)
{
    opener.setObjectName(QStringLiteral("opener"));
    sock.setObjectName(QStringLiteral("sock"));
    receiver.setObjectName(QStringLiteral("receiver"));
    m_game.setPeer(this);
    connect(&m_game.mul, &GameTimer::ticked, this, &Session::mul_Timer);
    connect(&m_game.wischatr, &GameTimer::ticked, this, &Session::wischatr_Timer);

    connect(&opener, &TcpOpener::stateChanged, this, &Session::followSocket);
    connect(&opener, &TcpOpener::ConnectionRequest, this, &Session::sock_ConnectionRequest);
    connect(&opener, &TcpOpener::opened, &sock, &Sock::Open);
    connect(&opener, &TcpOpener::Error, this, &Session::sock_Error);
    connect(&sock, &Sock::stateChanged, this, &Session::followSocket);
    connect(&sock, &Sock::Connected, this, &Session::sock_Connect);
    connect(&sock, &Sock::Closed, this, &Session::sock_Close);
    connect(&sock, &Sock::Error, this, &Session::sock_Error);
    connect(&sock, &Sock::DataArrival, this, &Session::sock_DataArrival);
}

Session::~Session()
{
    opener.disconnect(this);
    sock.disconnect(this);
    if (m_router)
        m_router->disconnect(this); // it removes its forward as it goes
    m_game.setPeer(nullptr);
}

void Session::SendData(const QString& text)
{
    sock.SendData(protocol::toWire(text));
}

// The socket's State as the game's design numbers it: the connection's once
// there is one, the opener's while it listens or dials.
Sock::SocketState Session::socketState() const
{
    return sock.State() != Sock::SocketState::Closed ? sock.State() : opener.State();
}

// The socket's state, as the game tells its states apart. A copy is listed
// on the network while it listens, so nobody tries to join a full game.
void Session::followSocket()
{
    const ConnectionState state = connectionState(socketState());
    if (state == m_state)
        return;
    const ConnectionState before = std::exchange(m_state, state);
    qCInfo(lcSession, "%s -> %s", stateName(before), stateName(state));
    m_game.mul.setEnabled(state == ConnectionState::Connected);
    if (state != ConnectionState::Connected && !m_accepting)
        m_accepted = false;
    if (state == ConnectionState::Listening)
        discovery().publish(m_userName, opener.LocalPort());
    else if (before == ConnectionState::Listening)
        discovery().withdraw();
    if (!m_accepting)
        keepForward();
    Q_EMIT stateChanged(state);
}

bool Session::isHosting() const
{
    return m_state == ConnectionState::Listening ||
           (m_state == ConnectionState::Connected && m_accepted);
}

// The router forwards the port while this copy hosts, and not a moment
// longer: a forward left behind would point at whatever takes this
// machine's port next.
void Session::keepForward()
{
    const bool wanted = m_askRouter && isHosting();
    if (wanted && !m_forwarding) {
        if (!m_router) {
            m_router = std::make_unique<PortMapping>();
            connect(m_router.get(), &PortMapping::stateChanged, this, &Session::followRouter);
            connect(m_router.get(), &PortMapping::pinholeChanged, this, &Session::followRouter);
        }
        m_router->start(quint16(opener.LocalPort()));
    } else if (!wanted && m_forwarding && m_router) {
        m_router->stop();
    }
    m_forwarding = wanted;
    followRouter();
}

void Session::followRouter()
{
    Reach reach;
    if (isHosting())
        reach = reachOf(m_forwarding ? m_router.get() : nullptr, opener.LocalPort());
    if (reach == m_reach)
        return;
    m_reach = std::move(reach);
    Q_EMIT reachChanged(m_reach);
}

void Session::forgetRouter()
{
    if (!m_router)
        return;
    m_router->disconnect(this);
    m_router.reset();
    m_forwarding = false;
}

void Session::setStatus(const QString& text)
{
    if (text == m_status)
        return;
    m_status = text;
    qCInfo(lcSession).noquote() << text;
    Q_EMIT statusChanged(text);
}

Discovery& Session::discovery()
{
    if (!m_discovery) {
        m_discovery = std::make_unique<Discovery>();
        connect(m_discovery.get(), &Discovery::gameAppeared, this, &Session::gameAppeared);
        connect(m_discovery.get(), &Discovery::gameVanished, this, &Session::gameVanished);
    }
    return *m_discovery;
}

QList<FoundGame> Session::games()
{
    return discovery().games();
}

void Session::setUpdateInterval(const QString& milliseconds)
{
    qint64 interval = 0;
    if (wholeNumber(milliseconds, interval))
        m_game.mul.setInterval(int(std::clamp<qint64>(interval, 0, GameTimer::MaxInterval)));
}

void Session::showNameTag()
{
    m_game.scene.redchat.setCaption(m_userName);
}

// A start that fails at once leaves the socket closed and says why.
bool Session::StartHost(const QString& port, bool askRouter)
{
    m_askRouter = askRouter;
    const std::optional<quint16> localPort = readPort(port);
    if (!localPort) {
        setStatus(QStringLiteral("Status: ") + portOutOfRange());
        return false;
    }
    sock.Close();
    if (!opener.Listen(*localPort)) {
        setStatus(QStringLiteral("Status: ") + opener.errorString());
        return false;
    }
    setStatus(QStringLiteral("Status: Waiting for connection"));
    return true;
}

// The address is read here, once: the opener and its dialer are handed what
// it holds, and the dialog shows it.
bool Session::StartJoin(const QString& address, const QString& port)
{
    const DestinationList read = readDestinations(address, readPort(port));
    m_destinations = read.list;
    m_joinText = address.trimmed();
    if (!read.error.isEmpty()) {
        setStatus(QStringLiteral("Status: ") + read.error);
        return false;
    }
    sock.Close();
    if (!opener.Connect(read.list)) {
        setStatus(QStringLiteral("Status: ") + opener.errorString());
        return false;
    }
    m_joining = true;
    setStatus(QStringLiteral("Status: Connecting..."));
    return true;
}

void Session::StopConnection()
{
    m_joining = false;
    opener.Close();
    sock.Close();
    setStatus(QStringLiteral("Status: Idle"));
}

void Session::Close()
{
    m_joining = false;
    opener.Close();
    sock.Close();
}

// The host takes the first peer that knocks and stops listening, so a third
// copy cannot join.
void Session::sock_ConnectionRequest(int requestID)
{
    setStatus(QStringLiteral("Status: Incoming connection..."));
    if (opener.State() != Sock::SocketState::Listening)
        return;
    {
        // The listening ends and the connection begins (sock_Connect): the
        // router's forward carries on from the one to the other.
        const QScopedValueRollback accepting(m_accepting, true);
        opener.Close();
        opener.Accept(requestID);
        m_accepted = sock.State() == Sock::SocketState::Connected;
    }
    keepForward();
}

void Session::sock_Connect()
{
    m_joining = false;
    receiver.reset();
    setStatus(QStringLiteral("Status: Connected to ") + sock.RemoteHostIP());
}

void Session::sock_Close()
{
    sock_DataArrival(); // what the peer sent before it left is still applied
    connectionLost();
}

// An error, the connection's or a join's, ends it the way the peer closing
// it would, so the player can open the dialog and connect again. A join that fails says where
// it went and why it got nowhere: a host name that cannot be found and a
// host that does not answer as they always did, anything else (refused,
// unreachable, ...) in the network's words.
void Session::sock_Error()
{
    const bool joining = std::exchange(m_joining, false);
    const TcpOpener::Failure failure = opener.failure();
    const QString why = opener.errorString();
    opener.Close();
    sock.Close();
    connectionLost();
    if (!joining)
        return;
    QStringList tried;
    for (const Destination& destination : std::as_const(m_destinations))
        tried.append(destination.text());
    if (tried.size() == 1 && failure == TcpOpener::Failure::HostNotFound) {
        setStatus(QStringLiteral("Status: Cannot find ") + m_joinText);
    } else if (tried.size() == 1 && failure == TcpOpener::Failure::NoAnswer) {
        setStatus(QStringLiteral("Status: No answer from ") + m_joinText);
    } else {
        const QString reason =
            failure == TcpOpener::Failure::HostNotFound ? QStringLiteral("not found")
            : failure == TcpOpener::Failure::NoAnswer   ? QStringLiteral("no answer")
                                                        : why;
        setStatus(QStringLiteral("Status: Cannot join ") + tried.join(QStringLiteral(", ")) +
                  QStringLiteral(" (") + reason + QLatin1Char(')'));
    }
}

void Session::connectionLost()
{
    receiver.reset();
    setStatus(QStringLiteral("Status: Idle"));
}

// Also runs while a box opened by a message is up: the connection is read
// on, and the receiver holds what must wait for the box.
void Session::sock_DataArrival()
{
    for (QByteArray data = sock.GetData(); !data.isEmpty(); data = sock.GetData()) {
        if (!receiver.receive(data)) {
            sock.Close();
            connectionLost();
            return;
        }
    }
}

void Session::mul_Timer()
{
    const Scene& scene = m_game.scene;
    sock.SendPosition(protocol::toWire(
        protocol::moveMessage({scene.guy.top(), scene.guyl.top(), scene.guy.left(),
                               scene.guyl.left(), scene.guy.isVisible(), scene.guyl.isVisible()})));
}

void Session::chat_Click()
{
    const QString line = m_platform.InputBox(QStringLiteral("Say:"), QStringLiteral("Chat"));
    if (m_state == ConnectionState::Connected)
        SendData(protocol::chatMessage(line, m_userName));
    m_game.scene.redchat.setCaption(m_userName + QStringLiteral(": ") + line);
    // Every line gets its full five seconds, also one that follows another.
    m_game.wischatr.restart();
}

void Session::wischatr_Timer()
{
    m_game.scene.redchat.setCaption(m_userName);
    m_game.wischatr.setEnabled(false);
}
