// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

#include "invitationcode.h"

class QIODevice;
typedef struct _NiceAgent NiceAgent;
typedef struct _GMainContext GMainContext;
typedef struct _GIOStream GIOStream;
typedef struct _GSource GSource;

namespace ice {

class IceStream;
struct Glue;

struct StunServer {
    QString host; // a name or an address; libnice looks names up itself
    quint16 port = 3478;
    friend bool operator==(const StunServer&, const StunServer&) = default;
};

struct TurnServer {
    QString host;
    quint16 port = 3478;
    QString user;
    QString password;
    friend bool operator==(const TurnServer&, const TurnServer&) = default;
};

// Public STUN servers that answer the classic binding request libnice sends,
// tried in turn: asked only while a player hosts with the Internet box on or
// answers an invitation.
inline constexpr QLatin1StringView DefaultStunServers{
    "stun.l.google.com:19302 stun1.l.google.com:19302 stun2.l.google.com:19302 "
    "stun.sipgate.net:3478 stun.nextcloud.com:3478"};

// "host:port host:port ...", as KORVALOOP_STUN holds it; a missing port is
// STUN's 3478, an IPv6 address is written [v6]:port. Entries that are no
// server are left out (and logged); at most MaxStunServers are kept.
inline constexpr int MaxStunServers = 8;
QList<StunServer> readStunServers(QStringView text);
// "turn:USER:PASSWORD@HOST:PORT", as KORVALOOP_TURN holds it.
std::optional<TurnServer> readTurnServer(QStringView text);

// One ICE path to one other player, through libnice: gathers this side's
// candidates (through the STUN servers and the TURN relay given) into a code,
// takes the other player's code, runs the checks and, once a pair works,
// hands up a QIODevice over libnice's reliable stream (pseudo-TCP: ordered,
// retransmitted). The hosting player's link writes an invitation and takes
// an answer; the joining player's the other way round. The two codes do not
// depend on each other.
//
// Lives on an event loop that runs GLib (Qt's on Linux, QEventDispatcherGlib):
// libnice works on that thread's GLib context, and nothing ever waits. Without
// it (QT_NO_GLIB=1) start() fails at once, saying so, rather than stall.
//
// Reports only from the event loop, never from inside a call: gathered() with
// this side's code, then connected() or failed(); after connected(), ended()
// when the path goes (the other player closed it, or it stopped answering:
// ICE consent freshness notices that within about 15 s). Each direction holds
// at most Options::bufferBytes: write() takes no more until the bytes are
// sent, and reading stops, holding the other side back, while that much is
// unread; a game that has not read within Options::unreadTimeout ends the
// path (libnice reads its sockets only while it may hand the bytes on, so
// holding the other side back stalls the path's checks too). Every ending,
// the destructor included, lets
// libnice close its sockets and release a TURN allocation without waiting.
class IceLink : public QObject {
    Q_OBJECT
public:
    enum class Role { Host, Join };
    enum class Stage { Idle, Gathering, Gathered, Checking, Connected, Closing, Ended, Failed };
    // What the working pair goes through: the home network alone, both
    // routers (a public address each side learnt from STUN), or a relay.
    enum class Path { Local, ThroughRouters, Relay };

    struct Options {
        // Asked in turn, until one gives a public address.
        QList<StunServer> stunServers;
        std::optional<TurnServer> turnServer;
        // Empty: every interface libnice finds (loopback aside).
        QList<QHostAddress> localAddresses;
        // Loopback candidates taken and offered, for links on one machine.
        bool allowLoopback = false;
        std::chrono::milliseconds gatherTimeout{8000};
        // From the other player's code taken to a working pair.
        std::chrono::milliseconds checkTimeout{10000};
        // A joining side takes the invitation long before the host takes its
        // answer (a player sends it, the other pastes it): it looks for a
        // path this long.
        std::chrono::milliseconds answerWait{60000};
        // From close() to the other side's acknowledgement of the end.
        std::chrono::milliseconds closeTimeout{3000};
        // Gathering fails while no interface is up, as in the second after
        // a network comes up: tried again this often, this many times.
        std::chrono::milliseconds gatherRetry{1000};
        int gatherTries = 3;
        qint64 bufferBytes = 256 * 1024;
        // How long the game may leave bufferBytes unread.
        std::chrono::milliseconds unreadTimeout{2000};

        // The servers from KORVALOOP_STUN and KORVALOOP_TURN alone.
        static Options fromEnvironment();
        // The servers a player's game asks: KORVALOOP_STUN and KORVALOOP_TURN
        // where set (an empty KORVALOOP_STUN asks none), else the settings'
        // ice/stunServers and ice/turnServer, else DefaultStunServers and no
        // relay.
        static Options fromSettings();
    };

    IceLink(Role role, Options options, QObject* parent = nullptr);
    ~IceLink() override;
    Q_DISABLE_COPY_MOVE(IceLink)

    // Starts gathering. Once only.
    void start();
    // Takes the other player's code; an empty string when taken, else the
    // player's words for what is wrong with it, at once. A code taken before
    // gathering ends is used when it ends.
    QString takeRemoteCode(const QString& text);
    // Ends the path: sends what write() took, tells the other side, and
    // frees libnice's agent once the other side acknowledges or after
    // closeTimeout. Never waits.
    void close();

    Stage stage() const { return stage_; }
    Role role() const { return role_; }
    // This side's code, once gathered.
    QString localCode() const { return localText_; }
    // The stream, once connected; owned by the link.
    QIODevice* device() const;
    // What the working pair goes through, and the other side's address on
    // it, once connected.
    Path path() const { return path_; }
    bool isRelayed() const { return path_ == Path::Relay; }
    QString remoteAddress() const { return remoteAddress_; }

    // Links let go whose agents are still closing: sending the stream's end
    // (for up to closeTimeout), releasing a TURN allocation. Closing needs
    // the event loop: a program that exits before this is zero leaves the
    // relay holding the allocation until its lifetime runs out (ten
    // minutes), so it runs its loop until then, or a few seconds at most.
    static int agentsClosing();

Q_SIGNALS:
    void gathered(const QString& code);
    void connected(QIODevice* device);
    void failed(const QString& reason);
    void ended(const QString& reason);

private:
    friend struct Glue;
    friend class IceStream;

    void fail(const QString& reason);
    void end(const QString& reason, bool linger = false);
    bool readable();
    void attachInput();
    void queueReadyRead();
    void closedByPeer();
    void lost();
    void overflowed();
    void tryGather();
    void gatheringDone();
    void applyRemote();
    void stateChanged(unsigned state);
    void flush();
    void shutdownWrite();
    void releaseAgent(bool linger = false);
    qint64 readInput(char* data, qint64 max);
    qint64 queueOutput(const char* data, qint64 length);
    void later(void (IceLink::*step)());

    const Role role_;
    const Options options_;
    Stage stage_ = Stage::Idle;
    GMainContext* context_ = nullptr;
    NiceAgent* agent_ = nullptr;
    unsigned stream_ = 0;
    GIOStream* stream_io_ = nullptr;
    GSource* input_source_ = nullptr;
    Code local_;
    QString localText_;
    std::optional<Code> remote_;
    // Handed to the connection, which may outlive the link.
    QPointer<IceStream> device_;
    QByteArray input_;
    QByteArray output_;
    bool readyReadQueued_ = false;
    bool flushQueued_ = false;
    bool writeShut_ = false;
    Path path_ = Path::Local;
    QString remoteAddress_;
    int gatherTries_ = 0;
    qsizetype stunIndex_ = 0; // the STUN server asked now
    QTimer gatherTimer_;
    QTimer checkTimer_;
    QTimer closeTimer_;
    QTimer unreadTimer_;
};

} // namespace ice
