// SPDX-License-Identifier: MIT
// libnice and GIO first: GLib's headers use names Qt's keywords would take
// (the room builds with QT_NO_KEYWORDS as well).
#include <gio/gio.h>
#include <nice/agent.h>

#include "icelink.h"
#include "icelog.h"

#include <QAbstractEventDispatcher>
#include <QIODevice>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

namespace ice {

namespace {

constexpr guint Component = 1;
// The most handed to libnice in one call.
constexpr qint64 SendChunk = 64 * 1024;

NiceCandidateType niceType(Candidate::Type type)
{
    switch (type) {
    case Candidate::Type::Host:
        return NICE_CANDIDATE_TYPE_HOST;
    case Candidate::Type::ServerReflexive:
        return NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE;
    case Candidate::Type::Relayed:
        return NICE_CANDIDATE_TYPE_RELAYED;
    }
    return NICE_CANDIDATE_TYPE_HOST;
}

// RFC 8445's priority for a candidate the code carries without one: its
// type's preference, then its place in the code.
guint32 priorityOf(Candidate::Type type, qsizetype index)
{
    const guint32 typePreference = type == Candidate::Type::Host              ? 126
                                   : type == Candidate::Type::ServerReflexive ? 100
                                                                              : 0;
    return (typePreference << 24) | (guint32(65535 - index) << 8) | (256 - Component);
}

bool eventLoopRunsGlib()
{
    const QAbstractEventDispatcher* dispatcher =
        QAbstractEventDispatcher::instance(QThread::currentThread());
    return dispatcher && dispatcher->inherits("QEventDispatcherGlib");
}

QString noPathMessage()
{
    return QStringLiteral("No direct path was found between the two games: a router on the "
                          "way lets nothing through. A relay would carry the game: a TURN "
                          "server, set as turnServer in the [ice] group of "
                          "~/.config/korvaloop/korvaloop.conf or in KORVALOOP_TURN.");
}

} // namespace

// The stream as the game reads and writes it. Unbuffered: the link holds the
// bytes, bounded.
class IceStream : public QIODevice {
public:
    explicit IceStream(IceLink* link)
        : QIODevice(link)
        , link_(link)
    {
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return (link_ ? link_->input_.size() : 0) + QIODevice::bytesAvailable();
    }
    qint64 bytesToWrite() const override { return link_ ? link_->output_.size() : 0; }
    void close() override
    {
        if (!isOpen())
            return;
        QIODevice::close();
        if (link_)
            link_->close();
    }

protected:
    qint64 readData(char* data, qint64 max) override
    {
        return link_ ? link_->readInput(data, max) : -1;
    }
    qint64 writeData(const char* data, qint64 length) override
    {
        return link_ ? link_->queueOutput(data, length) : -1;
    }

private:
    // The connection that takes the stream may outlive the link, and the
    // other way round.
    const QPointer<IceLink> link_;
};

// libnice's callbacks. Each hands its news to the event loop, so the link
// reports from there only; the bytes received are copied at once, as
// libnice's buffer is lent for the call.
struct Glue {
    static void gatheringDone(NiceAgent*, guint, gpointer self)
    {
        static_cast<IceLink*>(self)->later(&IceLink::gatheringDone);
    }
    static void stateChanged(NiceAgent*, guint, guint, guint state, gpointer self)
    {
        auto* link = static_cast<IceLink*>(self);
        QMetaObject::invokeMethod(
            link, [link, state] { link->stateChanged(state); }, Qt::QueuedConnection);
    }
    static void selectedPair(NiceAgent*, guint, guint, NiceCandidate* local, NiceCandidate* remote,
                             gpointer self)
    {
        auto* link = static_cast<IceLink*>(self);
        link->path_ =
            local->type == NICE_CANDIDATE_TYPE_RELAYED ||
                    remote->type == NICE_CANDIDATE_TYPE_RELAYED
                ? IceLink::Path::Relay
            : local->type == NICE_CANDIDATE_TYPE_HOST && remote->type == NICE_CANDIDATE_TYPE_HOST
                ? IceLink::Path::Local
                : IceLink::Path::ThroughRouters;
        char address[NICE_ADDRESS_STRING_LEN] = {};
        nice_address_to_string(&remote->addr, address);
        link->remoteAddress_ = QString::fromLatin1(address);
    }
    static void writable(NiceAgent*, guint, guint, gpointer self)
    {
        static_cast<IceLink*>(self)->later(&IceLink::flush);
    }
    static gboolean readable(GObject*, gpointer self)
    {
        return static_cast<IceLink*>(self)->readable() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
    }
    static void discard(NiceAgent*, guint, guint, guint, gchar*, gpointer) {}
    static gboolean lingered(gpointer agent)
    {
        nice_agent_close_async(static_cast<NiceAgent*>(agent), Glue::closed, nullptr);
        return G_SOURCE_REMOVE;
    }
    static void closed(GObject* agent, GAsyncResult*, gpointer)
    {
        qCDebug(lcIce, "agent %p closed", static_cast<void*>(agent));
        g_object_unref(agent);
        --closing;
    }
    // Agents let go and not yet closed.
    static inline std::atomic<int> closing{0};
};

IceLink::IceLink(Role role, Options options, QObject* parent)
    : QObject(parent)
    , role_(role)
    , options_(std::move(options))
{
    for (QTimer* timer : {&gatherTimer_, &checkTimer_, &closeTimer_, &unreadTimer_})
        timer->setSingleShot(true);
    connect(&unreadTimer_, &QTimer::timeout, this, [this] {
        qCWarning(lcIce, "the other side sent more than %lld bytes the game did not read",
                  qlonglong(options_.bufferBytes));
        overflowed();
    });
    connect(&gatherTimer_, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("This computer's addresses could not be gathered in time."));
    });
    connect(&checkTimer_, &QTimer::timeout, this, [this] { fail(noPathMessage()); });
    connect(&closeTimer_, &QTimer::timeout, this, [this] {
        qCInfo(lcIce, "the other side did not acknowledge the end; closing anyway");
        end(QStringLiteral("closed"));
    });
}

IceLink::~IceLink()
{
    // Gone at once while connected: the end of the stream is still sent, and
    // the agent lingers on GLib's side for closeTimeout to see it through.
    const bool linger = stage_ == Stage::Connected || stage_ == Stage::Closing;
    if (linger)
        shutdownWrite();
    releaseAgent(linger);
    if (context_)
        g_main_context_unref(context_);
}

int IceLink::agentsClosing()
{
    return Glue::closing;
}

QIODevice* IceLink::device() const
{
    return device_;
}

void IceLink::later(void (IceLink::*step)())
{
    QMetaObject::invokeMethod(this, step, Qt::QueuedConnection);
}

void IceLink::start()
{
    if (stage_ != Stage::Idle)
        return;
    routeLibraryLog();
    stage_ = Stage::Gathering;
    if (!eventLoopRunsGlib()) {
        fail(QStringLiteral("Invitations are unavailable: this copy of the game runs without "
                            "GLib's event loop (QT_NO_GLIB is set)."));
        return;
    }
    if (!context_)
        context_ = g_main_context_ref_thread_default();
    agent_ = nice_agent_new_full(
        context_, NICE_COMPATIBILITY_RFC5245,
        NiceAgentOption(NICE_AGENT_OPTION_RELIABLE | NICE_AGENT_OPTION_CONSENT_FRESHNESS));
    if (!agent_) {
        fail(QStringLiteral("libnice could not make an ICE agent."));
        return;
    }
    // UDP only, as the codes carry; the home router is the router room's.
    g_object_set(agent_, "controlling-mode", gboolean(role_ == Role::Host), "ice-tcp", FALSE,
                 nullptr);
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(agent_), "upnp"))
        g_object_set(agent_, "upnp", FALSE, nullptr);
    if (stunIndex_ < options_.stunServers.size()) {
        const StunServer& stun = options_.stunServers.at(stunIndex_);
        // A server that does not answer is given up on within about 3 s,
        // so that the next one is asked well within gatherTimeout.
        g_object_set(agent_, "stun-server", stun.host.toUtf8().constData(), "stun-server-port",
                     guint(stun.port), "stun-initial-timeout", guint(200),
                     "stun-max-retransmissions", guint(3), nullptr);
        qCInfo(lcIce) << "STUN server" << stun.host << stun.port;
    }
    for (const QHostAddress& address : options_.localAddresses) {
        NiceAddress nice;
        nice_address_init(&nice);
        if (nice_address_set_from_string(&nice, address.toString().toLatin1().constData()))
            nice_agent_add_local_address(agent_, &nice);
    }
    g_signal_connect(agent_, "candidate-gathering-done", G_CALLBACK(Glue::gatheringDone), this);
    g_signal_connect(agent_, "component-state-changed", G_CALLBACK(Glue::stateChanged), this);
    g_signal_connect(agent_, "new-selected-pair-full", G_CALLBACK(Glue::selectedPair), this);
    g_signal_connect(agent_, "reliable-transport-writable", G_CALLBACK(Glue::writable), this);
    stream_ = nice_agent_add_stream(agent_, 1);
    if (stream_ == 0) {
        fail(QStringLiteral("libnice could not add a stream."));
        return;
    }
    local_ =
        Code::withNewCredentials(role_ == Role::Host ? CodeKind::Invitation : CodeKind::Answer);
    nice_agent_set_local_credentials(agent_, stream_, local_.userFragmentText().constData(),
                                     local_.passwordText().constData());
    if (options_.turnServer) {
        const TurnServer& turn = *options_.turnServer;
        if (!nice_agent_set_relay_info(agent_, stream_, Component, turn.host.toUtf8().constData(),
                                       turn.port, turn.user.toUtf8().constData(),
                                       turn.password.toUtf8().constData(),
                                       NICE_RELAY_TYPE_TURN_UDP))
            qCWarning(lcIce) << "libnice refused the TURN server" << turn.host << turn.port;
        else
            qCInfo(lcIce) << "TURN server" << turn.host << turn.port;
    }
    // Read through libnice's GIO stream, whose pollable source is on this
    // context from the start and for the agent's whole life: libnice reads
    // its sockets (checks, consent, the stream) only while it is, and the
    // stream's end shows only as a read of nothing.
    stream_io_ = nice_agent_get_io_stream(agent_, stream_, Component);
    if (!stream_io_) {
        fail(QStringLiteral("libnice could not open its stream."));
        return;
    }
    attachInput();
    gatherTimer_.start(options_.gatherTimeout);
    tryGather();
}

void IceLink::attachInput()
{
    input_source_ = g_pollable_input_stream_create_source(
        G_POLLABLE_INPUT_STREAM(g_io_stream_get_input_stream(stream_io_)), nullptr);
    g_source_set_callback(input_source_, G_SOURCE_FUNC(Glue::readable), this, nullptr);
    g_source_attach(input_source_, context_);
    g_source_unref(input_source_); // the context holds it while attached
}

void IceLink::tryGather()
{
    if (stage_ != Stage::Gathering || !agent_)
        return;
    if (nice_agent_gather_candidates(agent_, stream_))
        return;
    if (++gatherTries_ < options_.gatherTries) {
        qCInfo(lcIce, "gathering failed (no interface up?); trying again");
        QTimer::singleShot(options_.gatherRetry, this, &IceLink::tryGather);
        return;
    }
    fail(QStringLiteral("No network is up on this computer."));
}

void IceLink::gatheringDone()
{
    if (stage_ != Stage::Gathering || !agent_)
        return;
    gatherTimer_.stop();
    QList<Candidate> hosts, reflexive, relayed;
    GSList* list = nice_agent_get_local_candidates(agent_, stream_, Component);
    for (GSList* item = list; item; item = item->next) {
        const auto* nice = static_cast<const NiceCandidate*>(item->data);
        if (nice->transport != NICE_CANDIDATE_TRANSPORT_UDP)
            continue;
        char text[NICE_ADDRESS_STRING_LEN];
        nice_address_to_string(&nice->addr, text);
        Candidate candidate;
        candidate.address = QHostAddress(QString::fromLatin1(text));
        candidate.port = quint16(nice_address_get_port(&nice->addr));
        QList<Candidate>* into = nullptr;
        switch (nice->type) {
        case NICE_CANDIDATE_TYPE_HOST:
            into = &hosts;
            candidate.type = Candidate::Type::Host;
            break;
        case NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE:
            into = &reflexive;
            candidate.type = Candidate::Type::ServerReflexive;
            break;
        case NICE_CANDIDATE_TYPE_RELAYED:
            into = &relayed;
            candidate.type = Candidate::Type::Relayed;
            break;
        default:
            break;
        }
        qCInfo(lcIce) << "gathered" << text << candidate.port << "type" << int(nice->type);
        if (into && candidate.port != 0 &&
            isAddressForPlayers(candidate.address, options_.allowLoopback) &&
            !into->contains(candidate))
            into->append(candidate);
    }
    g_slist_free_full(list, reinterpret_cast<GDestroyNotify>(nice_candidate_free));
    // A STUN server that gave no public address makes way for the next, with
    // an agent of its own.
    if (reflexive.isEmpty() && stunIndex_ + 1 < options_.stunServers.size()) {
        qCInfo(lcIce) << "no public address from" << options_.stunServers.at(stunIndex_).host
                      << "; asking" << options_.stunServers.at(stunIndex_ + 1).host;
        releaseAgent();
        ++stunIndex_;
        gatherTries_ = 0;
        stage_ = Stage::Idle;
        start();
        return;
    }
    // The public and relayed addresses first, so that a computer with many
    // interfaces still offers them; the code lists them after the hosts.
    const qsizetype relays = std::min<qsizetype>(relayed.size(), 2);
    const qsizetype publics = std::min<qsizetype>(reflexive.size(), 2);
    const qsizetype locals =
        std::min<qsizetype>(hosts.size(), Code::MaxCandidates - relays - publics);
    const QList<Candidate> chosen =
        hosts.first(locals) + reflexive.first(publics) + relayed.first(relays);
    if (chosen.isEmpty()) {
        fail(QStringLiteral("This computer has no address another player could reach."));
        return;
    }
    local_.candidates = chosen;
    localText_ = encodeCode(local_);
    stage_ = Stage::Gathered;
    qCInfo(lcIce) << "local code" << localText_;
    Q_EMIT gathered(localText_);
    if (remote_ && stage_ == Stage::Gathered)
        applyRemote();
}

QString IceLink::takeRemoteCode(const QString& text)
{
    const CodeKind expected = role_ == Role::Host ? CodeKind::Answer : CodeKind::Invitation;
    const Decoded decoded = decodeCode(text, expected, {options_.allowLoopback});
    if (!decoded.code) {
        qCInfo(lcIce) << "code refused:" << decoded.message;
        return decoded.message;
    }
    if (stage_ == Stage::Failed || stage_ == Stage::Ended || stage_ == Stage::Closing)
        return QStringLiteral("This attempt has ended: start again for a new code.");
    if (remote_)
        return QStringLiteral("Your friend's code is already in.");
    if (decoded.dropped)
        qCInfo(lcIce, "left out %d of the code's candidates", decoded.dropped);
    remote_ = decoded.code;
    if (stage_ == Stage::Gathered)
        applyRemote();
    return {};
}

void IceLink::applyRemote()
{
    nice_agent_set_remote_credentials(agent_, stream_, remote_->userFragmentText().constData(),
                                      remote_->passwordText().constData());
    GSList* list = nullptr;
    for (qsizetype i = 0; i < remote_->candidates.size(); ++i) {
        const Candidate& candidate = remote_->candidates[i];
        NiceCandidate* nice = nice_candidate_new(niceType(candidate.type));
        nice->stream_id = stream_;
        nice->component_id = Component;
        nice->transport = NICE_CANDIDATE_TRANSPORT_UDP;
        nice->priority = priorityOf(candidate.type, i);
        nice_address_set_from_string(&nice->addr,
                                     candidate.address.toString().toLatin1().constData());
        nice_address_set_port(&nice->addr, candidate.port);
        const QByteArray foundation = QByteArray::number(i + 1);
        std::strncpy(nice->foundation, foundation.constData(), NICE_CANDIDATE_MAX_FOUNDATION - 1);
        list = g_slist_append(list, nice);
    }
    const int added = nice_agent_set_remote_candidates(agent_, stream_, Component, list);
    g_slist_free_full(list, reinterpret_cast<GDestroyNotify>(nice_candidate_free));
    qCInfo(lcIce, "checking %d of the other side's candidates", added);
    if (added <= 0) {
        fail(noPathMessage());
        return;
    }
    stage_ = Stage::Checking;
    if (role_ == Role::Join) {
        // The host starts its checks only once its player has pasted the
        // answer, some time from now. Meanwhile this side's checks go on,
        // further and further apart, so that its router keeps the way
        // open for the host's (Linux forgets an unanswered flow after 30 s):
        // 7 retransmissions reach about a minute.
        g_object_set(agent_, "stun-max-retransmissions", guint(7), nullptr);
        checkTimer_.start(options_.answerWait);
    } else {
        checkTimer_.start(options_.checkTimeout);
    }
}

void IceLink::stateChanged(unsigned state)
{
    if (!agent_)
        return;
    qCInfo(lcIce, "component state: %s", nice_component_state_to_string(NiceComponentState(state)));
    // Connected as soon as a nominated pair works: libnice goes on to
    // "ready" only once every pair of higher priority has answered or timed
    // out, as a home address of the other player's LAN does only after about
    // two seconds, and the stream runs on the nominated pair already.
    if ((state == NICE_COMPONENT_STATE_CONNECTED || state == NICE_COMPONENT_STATE_READY) &&
        stage_ == Stage::Checking) {
        checkTimer_.stop();
        stage_ = Stage::Connected;
        device_ = new IceStream(this);
        device_->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
        qCInfo(lcIce, "connected%s", path_ == Path::Relay ? " over a relay" : " directly");
        Q_EMIT connected(device_);
        if (!input_.isEmpty() && device_)
            Q_EMIT device_->readyRead();
        flush();
    } else if (state == NICE_COMPONENT_STATE_FAILED) {
        // A joining side's checks that found nothing before the host's began
        // come back to life when the host's arrive: libnice answers them.
        if (stage_ == Stage::Checking && role_ == Role::Join)
            qCInfo(lcIce, "no answer to the checks yet; waiting for the host's");
        else if (stage_ == Stage::Checking)
            fail(noPathMessage());
        else if (stage_ == Stage::Connected)
            end(QStringLiteral("The path to the other player was lost or closed."));
        else if (stage_ == Stage::Closing)
            end(QStringLiteral("closed"));
    }
}

bool IceLink::readable()
{
    if (!stream_io_)
        return false;
    auto* input = G_POLLABLE_INPUT_STREAM(g_io_stream_get_input_stream(stream_io_));
    char buffer[SendChunk];
    bool arrived = false;
    // At most a few chunks a wake-up, so that a flood cannot hold the loop,
    // and never past the bound.
    for (int chunk = 0; chunk < 16; ++chunk) {
        const qint64 room = options_.bufferBytes - input_.size();
        if (room <= 0) {
            // Full: the stream is left unread, and so the other side held
            // back, until the game reads. libnice reads its sockets only
            // while its stream is read, so the path's own checks wait too:
            // a game that has not read within unreadTimeout ends the path.
            qCDebug(lcIce, "the game holds %lld unread bytes: reading paused",
                    qlonglong(input_.size()));
            unreadTimer_.start(options_.unreadTimeout);
            input_source_ = nullptr;
            queueReadyRead();
            return false;
        }
        GError* error = nullptr;
        const gssize count = g_pollable_input_stream_read_nonblocking(
            input, buffer, gsize(std::min<qint64>(room, sizeof buffer)), nullptr, &error);
        if (count < 0) {
            const bool wouldBlock = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK);
            const QString message = QString::fromUtf8(error->message);
            g_error_free(error);
            if (wouldBlock)
                break;
            qCInfo(lcIce) << "libnice's stream:" << message;
            if (stage_ != Stage::Connected && stage_ != Stage::Closing)
                break;
            later(&IceLink::lost);
            input_source_ = nullptr;
            return false;
        }
        if (count == 0) {
            // The other side's end of the stream.
            if (stage_ == Stage::Connected || stage_ == Stage::Closing) {
                later(&IceLink::closedByPeer);
                input_source_ = nullptr;
                return false;
            }
            break;
        }
        input_.append(buffer, count);
        arrived = true;
    }
    if (arrived)
        queueReadyRead();
    return true;
}

void IceLink::queueReadyRead()
{
    if (device_ && !readyReadQueued_) {
        readyReadQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                readyReadQueued_ = false;
                if (device_ && !input_.isEmpty())
                    Q_EMIT device_->readyRead();
            },
            Qt::QueuedConnection);
    }
}

void IceLink::closedByPeer()
{
    if (stage_ == Stage::Closing) {
        end(QStringLiteral("closed"));
        return;
    }
    // Answered with this side's end, so the other side finishes at once,
    // and the agent closed at once: once both ends have passed, libnice
    // drops the TURN allocation's refresh without releasing it, and the
    // relay would hold it until its lifetime ran out.
    shutdownWrite();
    end(QStringLiteral("The other player closed the path."));
}

void IceLink::lost()
{
    end(QStringLiteral("The path to the other player was lost."));
}

void IceLink::overflowed()
{
    shutdownWrite();
    end(QStringLiteral("The other player sent more than the game could take."), true);
}

qint64 IceLink::readInput(char* data, qint64 max)
{
    const qint64 count = std::min<qint64>(max, input_.size());
    std::memcpy(data, input_.constData(), size_t(count));
    input_.remove(0, count);
    // Room again: reading goes on.
    if (count > 0 && unreadTimer_.isActive()) {
        unreadTimer_.stop();
        if (stream_io_ && !input_source_)
            attachInput();
    }
    if (count == 0 && stage_ != Stage::Connected)
        return -1;
    return count;
}

qint64 IceLink::queueOutput(const char* data, qint64 length)
{
    if (stage_ != Stage::Connected)
        return -1;
    const qint64 count = std::min<qint64>(length, options_.bufferBytes - output_.size());
    if (count <= 0)
        return 0;
    output_.append(data, count);
    if (!flushQueued_) {
        flushQueued_ = true;
        later(&IceLink::flush);
    }
    return count;
}

void IceLink::flush()
{
    flushQueued_ = false;
    if (!agent_ || (stage_ != Stage::Connected && stage_ != Stage::Closing))
        return;
    qint64 sent = 0;
    while (!output_.isEmpty()) {
        const gint taken = nice_agent_send(agent_, stream_, Component,
                                           guint(std::min<qint64>(output_.size(), SendChunk)),
                                           output_.constData());
        if (taken <= 0 || !agent_)
            break;
        output_.remove(0, taken);
        sent += taken;
    }
    if (sent > 0 && device_)
        Q_EMIT device_->bytesWritten(sent);
    if (stage_ == Stage::Closing && output_.isEmpty())
        shutdownWrite();
}

void IceLink::close()
{
    if (stage_ == Stage::Connected) {
        stage_ = Stage::Closing;
        if (device_ && device_->isOpen())
            device_->close();
        closeTimer_.start(options_.closeTimeout);
        flush();
        return;
    }
    if (stage_ == Stage::Closing || stage_ == Stage::Ended || stage_ == Stage::Failed)
        return;
    releaseAgent();
    stage_ = Stage::Ended;
}

// The end of this side's writing, as the stream's own FIN: libnice offers it
// only through its GIO stream's output side, asked for here alone.
void IceLink::shutdownWrite()
{
    if (writeShut_ || !agent_)
        return;
    writeShut_ = true;
    if (stream_io_)
        g_output_stream_close(g_io_stream_get_output_stream(stream_io_), nullptr, nullptr);
}

void IceLink::releaseAgent(bool linger)
{
    gatherTimer_.stop();
    checkTimer_.stop();
    closeTimer_.stop();
    unreadTimer_.stop();
    if (!agent_)
        return;
    NiceAgent* agent = agent_;
    agent_ = nullptr;
    ++Glue::closing;
    g_signal_handlers_disconnect_by_data(agent, this);
    if (input_source_) {
        g_source_destroy(input_source_);
        input_source_ = nullptr;
    }
    // Nothing of libnice's GIO stream is held past here: the agent closes it.
    GIOStream* io = std::exchange(stream_io_, nullptr);
    // A receiver that drops what comes: libnice reads its sockets, and so
    // answers the TURN server and the other side's end, only while one is
    // attached (and GLib's source for an unread socket would spin).
    if (stream_)
        nice_agent_attach_recv(agent, stream_, Component, context_, Glue::discard, nullptr);
    if (io)
        g_object_unref(io);
    // Frees the TURN allocation and refreshes first; the sockets go when the
    // agent does, in Glue::closed.
    if (!linger) {
        nice_agent_close_async(agent, Glue::closed, nullptr);
        return;
    }
    GSource* source = g_timeout_source_new(guint(options_.closeTimeout.count()));
    g_source_set_callback(source, Glue::lingered, agent, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
}

void IceLink::fail(const QString& reason)
{
    if (stage_ == Stage::Failed || stage_ == Stage::Ended)
        return;
    stage_ = Stage::Failed;
    releaseAgent();
    qCInfo(lcIce) << "failed:" << reason;
    QMetaObject::invokeMethod(
        this, [this, reason] { Q_EMIT failed(reason); }, Qt::QueuedConnection);
}

void IceLink::end(const QString& reason, bool linger)
{
    if (stage_ == Stage::Ended || stage_ == Stage::Failed)
        return;
    const bool wasClosing = stage_ == Stage::Closing;
    stage_ = Stage::Ended;
    releaseAgent(linger);
    qCInfo(lcIce) << "ended:" << reason;
    if (wasClosing)
        return;
    if (device_)
        Q_EMIT device_->readChannelFinished();
    Q_EMIT ended(reason);
}

} // namespace ice
