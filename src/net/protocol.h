#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <variant>
#include <vector>

// The messages two copies of the game send each other. Fields are separated
// by "|"; there is no framing of any kind, so the reader below takes the
// stream apart by the message names alone.
namespace protocol {

struct Move {
    int T1; // Top of the right-facing sprite
    int T2; // Top of the left-facing sprite
    int L1; // Left of the right-facing sprite
    int L2; // Left of the left-facing sprite
    bool V1; // the right-facing sprite is shown
    bool V2; // the left-facing sprite is shown
    friend bool operator==(const Move&, const Move&) = default;
};

struct Chat {
    QString line;
    QString name;
    friend bool operator==(const Chat&, const Chat&) = default;
};

enum class Word { Die, Win, NewGame, GotKey };

using Message = std::variant<Move, Chat, Word>;

QString moveMessage(const Move& move);
QString chatMessage(const QString& line, const QString& name);

// Characters travel as single bytes; one that has no Latin-1 byte goes as "?".
QByteArray toWire(const QString& text);

class MessageReader {
public:
    // A message still waiting for its end may hold this much; a peer that
    // sends more than that in one unfinished message is not playing the game.
    static constexpr qsizetype MaxPending = 64 * 1024;

    // Takes one read off the stream and appends every message it completes
    // to `out`. Returns false once an unfinished message outgrows MaxPending;
    // the reader is then empty again.
    bool feed(QByteArrayView read, std::vector<Message>& out);

    qsizetype pending() const { return m_pending.size(); }

private:
    QByteArray m_pending;
};

} // namespace protocol
