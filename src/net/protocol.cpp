#include "protocol.h"

#include <QStringList>

#include <array>
#include <limits>
#include <optional>

namespace protocol {

QString moveMessage(const Move& move)
{
    const auto truth = [](bool b) { return b ? QStringLiteral("True") : QStringLiteral("False"); };
    return QStringList{QStringLiteral("move"), QString::number(move.T1), QString::number(move.T2),
                       QString::number(move.L1), QString::number(move.L2), truth(move.V1),
                       truth(move.V2)}
        .join(QLatin1Char('|'));
}

QString chatMessage(const QString& line, const QString& name)
{
    return QStringLiteral("chat|") + line + QLatin1Char('|') + name;
}

QByteArray toWire(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const char32_t c : text.toUcs4())
        bytes.append(c <= 0xFF ? char(c) : '?');
    return bytes;
}

// How a read is taken apart.
//
// A message starts with "move|", "chat|", or one of the words "gotkey",
// "newgame", "die", "win". Text before a message start can be no message and
// is skipped.
//   - A move is complete after its seventh field: four whole numbers, then
//     "True" or "False" twice. Whatever follows is read as the stream goes
//     on, so an eighth field is skipped and "...|Falsemove|..." gives two
//     moves.
//   - A word counts only when the end of the read or another message start
//     follows it: "die|x" and "die " are no message, "gotkeymove|..." is two.
//   - A chat has its line up to the next "|" and its name up to the next "|",
//     the start of a following "move|" or "chat|", or the end of the read.
//     A name is never cut to find a word in it: Edwin stays Edwin. A name
//     split over two reads is cut at the first read's end, since a name has
//     no end mark of its own.
//   - A read that ends inside a move, inside a chat whose name has not begun,
//     or inside the first letters of a message start waits for the next read.
namespace {

enum class Start { Move, Chat, GotKey, NewGame, Die, Win };

struct Token {
    QByteArrayView text;
    Start start;
};

constexpr std::array<Token, 6> Starts{{
    {"move|", Start::Move},
    {"chat|", Start::Chat},
    {"gotkey", Start::GotKey},
    {"newgame", Start::NewGame},
    {"die", Start::Die},
    {"win", Start::Win},
}};

// What stands at a position of the buffer.
struct Found {
    qsizetype at;
    std::optional<Start> start; // empty: the buffer ends in the first letters of a start
};

// The message start at `at`, whole, or cut short by the end of the buffer.
std::optional<Found> startAt(QByteArrayView buffer, qsizetype at)
{
    const QByteArrayView rest = buffer.sliced(at);
    for (const Token& token : Starts) {
        if (rest.startsWith(token.text))
            return Found{at, token.start};
        if (rest.size() < token.text.size() && token.text.startsWith(rest))
            return Found{at, std::nullopt};
    }
    return std::nullopt;
}

std::optional<Found> nextStart(QByteArrayView buffer, qsizetype from)
{
    for (qsizetype at = from; at < buffer.size(); ++at) {
        switch (buffer[at]) {
        case 'm': case 'c': case 'g': case 'n': case 'd': case 'w':
            if (auto found = startAt(buffer, at))
                return found;
            break;
        default:
            break;
        }
    }
    return std::nullopt;
}

enum class Outcome { Complete, Incomplete, Invalid };

// Reads the fields of one message from a position, advancing it.
class FieldReader {
public:
    FieldReader(QByteArrayView buffer, qsizetype at)
        : m_buffer(buffer)
        , m_at(at)
    {
    }

    qsizetype at() const { return m_at; }
    bool atEnd() const { return m_at == m_buffer.size(); }

    Outcome bar()
    {
        if (atEnd())
            return Outcome::Incomplete;
        return m_buffer[m_at++] == '|' ? Outcome::Complete : Outcome::Invalid;
    }

    // A whole number that fits an int, ended by "|".
    Outcome number(int& value)
    {
        bool negative = false;
        if (!atEnd() && m_buffer[m_at] == '-') {
            negative = true;
            ++m_at;
        }
        qint64 magnitude = 0;
        qsizetype digits = 0;
        while (!atEnd() && m_buffer[m_at] >= '0' && m_buffer[m_at] <= '9') {
            magnitude = magnitude * 10 + (m_buffer[m_at] - '0');
            if (magnitude > qint64(std::numeric_limits<int>::max()) + 1)
                return Outcome::Invalid;
            ++m_at;
            ++digits;
        }
        if (atEnd())
            return Outcome::Incomplete;
        if (digits == 0 || m_buffer[m_at] != '|')
            return Outcome::Invalid;
        const qint64 signedValue = negative ? -magnitude : magnitude;
        if (signedValue > std::numeric_limits<int>::max())
            return Outcome::Invalid;
        value = int(signedValue);
        ++m_at;
        return Outcome::Complete;
    }

    Outcome truth(bool& value)
    {
        for (const auto& [text, meaning] : {std::pair{QByteArrayView("True"), true},
                                            std::pair{QByteArrayView("False"), false}}) {
            const QByteArrayView rest = m_buffer.sliced(m_at);
            if (rest.startsWith(text)) {
                m_at += text.size();
                value = meaning;
                return Outcome::Complete;
            }
            if (rest.size() < text.size() && text.startsWith(rest))
                return Outcome::Incomplete;
        }
        return Outcome::Invalid;
    }

private:
    QByteArrayView m_buffer;
    qsizetype m_at;
};

Outcome readMove(FieldReader& fields, Move& move)
{
    Outcome outcome = fields.number(move.T1);
    if (outcome == Outcome::Complete)
        outcome = fields.number(move.T2);
    if (outcome == Outcome::Complete)
        outcome = fields.number(move.L1);
    if (outcome == Outcome::Complete)
        outcome = fields.number(move.L2);
    if (outcome == Outcome::Complete)
        outcome = fields.truth(move.V1);
    if (outcome == Outcome::Complete)
        outcome = fields.bar();
    if (outcome == Outcome::Complete)
        outcome = fields.truth(move.V2);
    return outcome;
}

Outcome readChat(QByteArrayView buffer, qsizetype& at, Chat& chat)
{
    const qsizetype lineEnd = buffer.indexOf('|', at);
    if (lineEnd < 0 || lineEnd + 1 == buffer.size())
        return Outcome::Incomplete; // the name has not begun
    qsizetype nameEnd = lineEnd + 1;
    while (nameEnd < buffer.size() && buffer[nameEnd] != '|') {
        const QByteArrayView rest = buffer.sliced(nameEnd);
        if (rest.startsWith("move|") || rest.startsWith("chat|"))
            break;
        ++nameEnd;
    }
    chat.line = QString::fromLatin1(buffer.sliced(at, lineEnd - at));
    chat.name = QString::fromLatin1(buffer.sliced(lineEnd + 1, nameEnd - lineEnd - 1));
    at = nameEnd;
    return Outcome::Complete;
}

// A word is a message only where the read ends or another message starts.
Outcome wordEnds(QByteArrayView buffer, qsizetype at)
{
    if (at == buffer.size())
        return Outcome::Complete;
    const auto found = startAt(buffer, at);
    if (!found)
        return Outcome::Invalid;
    return found->start ? Outcome::Complete : Outcome::Incomplete;
}

// Reads the message whose start is at `at`; on Complete, `at` moves past it.
Outcome readMessage(QByteArrayView buffer, Start start, qsizetype& at, Message& message)
{
    const auto word = [&](Word w, qsizetype length) {
        const Outcome outcome = wordEnds(buffer, at + length);
        if (outcome == Outcome::Complete) {
            message = w;
            at += length;
        }
        return outcome;
    };
    switch (start) {
    case Start::Move: {
        FieldReader fields(buffer, at + 5);
        Move move{};
        const Outcome outcome = readMove(fields, move);
        if (outcome == Outcome::Complete) {
            message = move;
            at = fields.at();
        }
        return outcome;
    }
    case Start::Chat: {
        qsizetype end = at + 5;
        Chat chat;
        const Outcome outcome = readChat(buffer, end, chat);
        if (outcome == Outcome::Complete) {
            message = std::move(chat);
            at = end;
        }
        return outcome;
    }
    case Start::GotKey:
        return word(Word::GotKey, 6);
    case Start::NewGame:
        return word(Word::NewGame, 7);
    case Start::Die:
        return word(Word::Die, 3);
    case Start::Win:
        return word(Word::Win, 3);
    }
    return Outcome::Invalid;
}

} // namespace

bool MessageReader::feed(QByteArrayView read, std::vector<Message>& out)
{
    m_pending.append(read);
    const QByteArrayView buffer(m_pending);

    qsizetype at = 0;
    qsizetype keepFrom = buffer.size(); // nothing waits unless a message is unfinished
    while (at < buffer.size()) {
        const auto found = nextStart(buffer, at);
        if (!found)
            break;
        at = found->at;
        if (!found->start) {
            keepFrom = at;
            break;
        }
        Message message;
        const Outcome outcome = readMessage(buffer, *found->start, at, message);
        if (outcome == Outcome::Complete) {
            out.push_back(std::move(message));
        } else if (outcome == Outcome::Incomplete) {
            keepFrom = at;
            break;
        } else {
            ++at; // not a message after all; look for the next start past this one
        }
    }

    m_pending.remove(0, keepFrom);
    if (m_pending.size() > MaxPending) {
        m_pending.clear();
        return false;
    }
    return true;
}

} // namespace protocol
