// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <variant>
#include <vector>

// The messages two copies of the game send each other. Fields are separated
// by "|"; there is no framing of any kind: each message is written whole, and
// the other copy takes each read it makes as one message. docs/protocol.md
// has the bytes and the reading rule for anyone writing a compatible peer.
namespace protocol {

struct Move {
    int T1;  // Top of the right-facing sprite
    int T2;  // Top of the left-facing sprite
    int L1;  // Left of the right-facing sprite
    int L2;  // Left of the left-facing sprite
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

// Characters travel as single bytes of the Windows-1252 code page: Latin-1
// plus the curly quotes, dashes, euro sign and the rest of 0x80..0x9F. A
// character with no byte there goes as "?".
QByteArray toWire(const QString& text);
QString fromWire(QByteArrayView bytes);

// How the other copy reads one whole read: split at "|"; the whole text is
// one of the four words, or field 0 is "move" or "chat" and the fields after
// it are read, extra fields unread. Anything else is no message.
std::optional<Message> readAsOneText(QByteArrayView text);

class MessageReader {
public:
    // A message still waiting for its end may hold this much; a peer that
    // sends more than that in one unfinished message is not playing the game.
    static constexpr qsizetype MaxPending = 64 * 1024;

    // Takes one read off the stream and appends every message it completes
    // to `out`. Returns false once an unfinished message outgrows MaxPending;
    // the reader is then empty again.
    bool feed(QByteArrayView read, std::vector<Message>& out);

    // Forgets an unfinished message: the connection it came on is gone.
    void reset() { m_pending.clear(); }
    qsizetype pending() const { return m_pending.size(); }

private:
    bool take(QByteArrayView text, std::vector<Message>& out);

    QByteArray m_pending;
};

} // namespace protocol
