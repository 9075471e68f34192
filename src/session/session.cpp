// SPDX-License-Identifier: MIT
#include "session.h"

#include "game/game.h"
#include "platform/platform.h"
#include "sessionlog.h"
#include "wire/protocol.h"

#include <QRegularExpression>
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

// The address field's text, taken apart: the invitation (what the host's
// Co&py puts after the addresses) and the addresses.
struct JoinText {
    QStringList invitations;
    QString addresses;
};

JoinText splitInvitations(const QString& text)
{
    JoinText split;
    QStringList addresses;
    static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
    const QStringList words = text.split(separators, Qt::SkipEmptyParts);
    for (const QString& word : words) {
        if (word.startsWith(ice::CodePrefix))
            split.invitations.append(word);
        else
            addresses.append(word);
    }
    split.addresses = addresses.join(QLatin1Char(' '));
    return split;
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
    connect(&opener, &TcpOpener::Error, this, &Session::opener_Error);
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
    // It ends its path as it goes, and tells nobody.
    m_ice.reset();
    m_game.setPeer(nullptr);
}

void Session::SendData(const QString& text)
{
    sock.SendData(protocol::toWire(text));
}

// The socket's State as the game's design numbers it: the connection's once
// there is one, the opener's while it listens or dials; a join through an
// invitation connects while its link looks for a path.
Sock::SocketState Session::socketState() const
{
    if (sock.State() != Sock::SocketState::Closed)
        return sock.State();
    if (opener.State() != Sock::SocketState::Closed)
        return opener.State();
    return joinsByInvitation() ? Sock::SocketState::Connecting : Sock::SocketState::Closed;
}

bool Session::joinsByInvitation() const
{
    return m_joining && m_ice && m_ice->role() == ice::Link::Role::Join;
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
    if (isHosting()) {
        reach = reachOf(m_forwarding ? m_router.get() : nullptr, opener.LocalPort());
        if (m_state == ConnectionState::Listening && m_askRouter)
            reach = withInvitation(
                std::move(reach),
                m_ice && m_ice->role() == ice::Link::Role::Host ? m_ice->localCode() : QString(),
                m_iceTrouble);
    }
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
    dropIce();
    if (!opener.Listen(*localPort)) {
        setStatus(QStringLiteral("Status: ") + opener.errorString());
        return false;
    }
    // A friend whose game cannot reach this one's addresses answers the
    // invitation instead.
    if (askRouter)
        startIce(ice::Link::Role::Host);
    setStatus(QStringLiteral("Status: Waiting for connection"));
    return true;
}

bool Session::takeAnswer(const QString& text)
{
    if (!m_ice || m_ice->role() != ice::Link::Role::Host || m_state != ConnectionState::Listening) {
        setStatus(QStringLiteral("Status: No invitation to answer"));
        return false;
    }
    const QString problem = m_ice->takeRemoteCode(text.trimmed());
    if (!problem.isEmpty()) {
        setStatus(QStringLiteral("Status: ") + problem);
        return false;
    }
    m_answerTaken = true;
    setStatus(QStringLiteral("Status: Looking for a path..."));
    return true;
}

// The address is read here, once: the opener and its dialer are handed what
// it holds, and the dialog shows it.
bool Session::StartJoin(const QString& address, const QString& port)
{
    const JoinText text = splitInvitations(address);
    m_destinations.clear();
    m_joinText = text.addresses;
    m_invitationGiven = !text.invitations.isEmpty();
    if (text.invitations.size() > 1) {
        setStatus(QStringLiteral("Status: Paste one invitation at a time"));
        return false;
    }
    if (text.invitations.isEmpty() || !text.addresses.isEmpty()) {
        const DestinationList read = readDestinations(text.addresses, readPort(port));
        m_destinations = read.list;
        if (!read.error.isEmpty()) {
            setStatus(QStringLiteral("Status: ") + read.error);
            return false;
        }
    }
    opener.Close();
    sock.Close();
    dropIce();
    m_dialFailure.clear();
    if (!text.invitations.isEmpty()) {
        startIce(ice::Link::Role::Join, text.invitations.first());
        if (!m_ice)
            return false; // the invitation was refused: the status says why
    }
    if (!m_destinations.isEmpty() && !opener.Connect(m_destinations)) {
        if (!m_ice) {
            setStatus(QStringLiteral("Status: ") + opener.errorString());
            return false;
        }
        m_dialFailure = opener.errorString();
    }
    m_joining = true;
    followSocket();
    setStatus(QStringLiteral("Status: Connecting..."));
    return true;
}

void Session::StopConnection()
{
    Close();
    setStatus(QStringLiteral("Status: Idle"));
}

void Session::Close()
{
    m_joining = false;
    opener.Close();
    sock.Close();
    dropIce();
    followSocket();
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

// The first path to open wins: the others are closed before a byte is
// sent.
void Session::sock_Connect()
{
    m_joining = false;
    receiver.reset();
    const bool overIce = m_ice && m_ice->stage() == ice::Link::Stage::Connected;
    if (!overIce) {
        dropIce();
        setStatus(QStringLiteral("Status: Connected to ") + sock.RemoteHostIP());
    } else if (m_ice->path() == ice::Link::Path::Relay) {
        setStatus(QStringLiteral("Status: Connected over a relay"));
    } else if (m_ice->path() == ice::Link::Path::ThroughRouters) {
        setStatus(QStringLiteral("Status: Connected via both routers"));
    } else {
        setStatus(QStringLiteral("Status: Connected to ") + sock.RemoteHostIP());
    }
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
    const QString failure = joining ? joinFailure() : QString();
    opener.Close();
    sock.Close();
    connectionLost();
    if (joining)
        setStatus(QStringLiteral("Status: ") + failure);
}

// A join's addresses that fail while its invitation may still open a path
// end nothing yet.
void Session::opener_Error()
{
    if (joinsByInvitation() && m_ice->stage() != ice::Link::Stage::Connected) {
        m_dialFailure = joinFailure();
        opener.Close();
        return;
    }
    sock_Error();
}

QString Session::joinFailure() const
{
    const TcpOpener::Failure failure = opener.failure();
    const QString why = opener.errorString();
    QStringList tried;
    for (const Destination& destination : std::as_const(m_destinations))
        tried.append(destination.text());
    if (tried.size() == 1 && failure == TcpOpener::Failure::HostNotFound)
        return QStringLiteral("Cannot find ") + m_joinText;
    if (tried.size() == 1 && failure == TcpOpener::Failure::NoAnswer)
        return QStringLiteral("No answer from ") + m_joinText;
    const QString reason = failure == TcpOpener::Failure::HostNotFound ? QStringLiteral("not found")
                           : failure == TcpOpener::Failure::NoAnswer   ? QStringLiteral("no answer")
                                                                       : why;
    return QStringLiteral("Cannot join ") + tried.join(QStringLiteral(", ")) +
           QStringLiteral(" (") + reason + QLatin1Char(')');
}

void Session::connectionLost()
{
    receiver.reset();
    dropIce();
    setStatus(QStringLiteral("Status: Idle"));
}

// The link is made per invitation and thrown away after it; one that has
// handed its stream to the connection sees the stream's end through.
void Session::startIce(ice::Link::Role role, const QString& invitation)
{
    dropIce();
    if (!m_iceOptions)
        m_iceOptions = ice::Link::Options::fromSettings();
    QString why;
    std::unique_ptr<ice::Link> link =
        ice::makeLink(role, *m_iceOptions,
                      {[this](const QString& code) { ice_Gathered(code); },
                       [this](QIODevice* device) { ice_Connected(device); },
                       [this](const QString& reason) { ice_Failed(reason); }},
                      &why);
    if (link && !invitation.isEmpty())
        why = link->takeRemoteCode(invitation);
    if (!why.isEmpty()) {
        if (role == ice::Link::Role::Host) {
            m_iceTrouble = why;
            followRouter();
        } else {
            setStatus(QStringLiteral("Status: ") + why);
        }
        return;
    }
    m_ice = std::move(link);
    m_iceTrouble.clear();
    m_answerTaken = false;
    m_ice->start();
}

void Session::dropIce()
{
    if (!m_ice)
        return;
    // It may be telling of its end right now.
    m_ice.release()->dispose();
    if (!m_answer.isEmpty()) {
        m_answer.clear();
        Q_EMIT answerChanged(m_answer);
    }
}

void Session::ice_Gathered(const QString& code)
{
    if (m_ice->role() == ice::Link::Role::Host) {
        followRouter();
        return;
    }
    m_answer = code;
    Q_EMIT answerChanged(m_answer);
    setStatus(QStringLiteral("Status: Answer copied for the host"));
}

void Session::ice_Connected(QIODevice* device)
{
    m_joining = false;
    opener.Close();
    sock.Open(device, m_ice->remoteAddress());
}

// A host whose friend's answer found no path offers a new invitation; one
// that could make none says why in the row. A join fails once its addresses
// have too.
void Session::ice_Failed(const QString& reason)
{
    const bool hosting = m_ice->role() == ice::Link::Role::Host;
    const bool answered = m_answerTaken;
    dropIce();
    if (hosting) {
        if (!answered)
            m_iceTrouble = reason;
        else
            setStatus(QStringLiteral("Status: ") + reason);
        if (answered && m_state == ConnectionState::Listening)
            startIce(ice::Link::Role::Host);
        followRouter();
        return;
    }
    if (opener.State() != Sock::SocketState::Closed)
        return; // the addresses are still being tried
    const QString dialFailure = m_dialFailure;
    m_joining = false;
    followSocket();
    connectionLost();
    setStatus(QStringLiteral("Status: ") +
              (dialFailure.isEmpty() ? reason : dialFailure + QStringLiteral(". ") + reason));
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
