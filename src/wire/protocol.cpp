// SPDX-License-Identifier: MIT
#include "protocol.h"

#include <QStringList>

#include <array>
#include <limits>
#include <utility>

namespace protocol {

QString moveMessage(const Move& move)
{
    const auto truth = [](bool b) { return b ? QStringLiteral("True") : QStringLiteral("False"); };
    return QStringList{QStringLiteral("move"),
                       QString::number(move.T1),
                       QString::number(move.T2),
                       QString::number(move.L1),
                       QString::number(move.L2),
                       truth(move.V1),
                       truth(move.V2)}
        .join(QLatin1Char('|'));
}

QString chatMessage(const QString& line, const QString& name)
{
    return QStringLiteral("chat|") + line + QLatin1Char('|') + name;
}

namespace {

// Windows-1252's characters for the bytes 0x80 to 0x9F. The five bytes the
// code page leaves unassigned read as the control characters of the same
// value, as Windows reads them, so they go back out as they came in.
constexpr std::array<char16_t, 32> Bytes80To9F{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char wireByte(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return char(c);
    for (std::size_t i = 0; i < Bytes80To9F.size(); ++i) {
        if (Bytes80To9F[i] == c)
            return char(0x80 + i);
    }
    return '?';
}

} // namespace

QByteArray toWire(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const char32_t c : text.toUcs4())
        bytes.append(wireByte(c));
    return bytes;
}

QString fromWire(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        *out++ = QChar(b >= 0x80 && b < 0xA0 ? Bytes80To9F[b - 0x80] : char16_t(b));
    }
    return text;
}

namespace {

constexpr std::array<std::pair<QByteArrayView, Word>, 4> Words{{
    {"die", Word::Die},
    {"win", Word::Win},
    {"newgame", Word::NewGame},
    {"gotkey", Word::GotKey},
}};

constexpr QByteArrayView MoveStart = "move|";
constexpr QByteArrayView ChatStart = "chat|";

std::optional<Word> wordOf(QByteArrayView text)
{
    for (const auto& [word, meaning] : Words) {
        if (text == word)
            return meaning;
    }
    return std::nullopt;
}

// A short text is the first letters of a longer one, cut off by the end of a read.
bool cutOffFrom(QByteArrayView rest, QByteArrayView whole)
{
    return rest.size() < whole.size() && whole.startsWith(rest);
}

// The first fields of a text split at "|": a reader needs no more than eight
// to tell a move of exactly seven from one with fields to spare.
struct Fields {
    static constexpr qsizetype Most = 8;
    std::array<QByteArrayView, Most> at{};
    qsizetype count = 0; // Most means "Most or more"
};

Fields split(QByteArrayView text)
{
    Fields fields;
    qsizetype from = 0;
    while (fields.count < Fields::Most) {
        const qsizetype bar = text.indexOf('|', from);
        if (bar < 0) {
            fields.at[fields.count++] = text.sliced(from);
            break;
        }
        fields.at[fields.count++] = text.sliced(from, bar - from);
        from = bar + 1;
    }
    return fields;
}

enum class Outcome { Whole, CutOff, Invalid };

// Reads the fields of a move from a position, one piece at a time, so that a
// move cut off by the end of a read is told from one that can never be whole.
class MoveReader {
public:
    MoveReader(QByteArrayView text, qsizetype at)
        : m_text(text)
        , m_at(at)
    {
    }

    qsizetype at() const { return m_at; }

    Outcome read(Move& move)
    {
        Outcome outcome = Outcome::Whole;
        for (int* coordinate : {&move.T1, &move.T2, &move.L1, &move.L2}) {
            if ((outcome = number(*coordinate)) != Outcome::Whole ||
                (outcome = bar()) != Outcome::Whole)
                return outcome;
        }
        if ((outcome = truth(move.V1)) != Outcome::Whole || (outcome = bar()) != Outcome::Whole)
            return outcome;
        return truth(move.V2);
    }

private:
    bool atEnd() const { return m_at == m_text.size(); }

    Outcome bar()
    {
        if (atEnd())
            return Outcome::CutOff;
        return m_text[m_at++] == '|' ? Outcome::Whole : Outcome::Invalid;
    }

    // An optional minus and the digits of a number that fits an int.
    Outcome number(int& value)
    {
        const bool negative = !atEnd() && m_text[m_at] == '-';
        if (negative)
            ++m_at;
        qint64 magnitude = 0;
        qsizetype digits = 0;
        for (; !atEnd() && m_text[m_at] >= '0' && m_text[m_at] <= '9'; ++m_at, ++digits) {
            magnitude = magnitude * 10 + (m_text[m_at] - '0');
            if (magnitude > qint64(std::numeric_limits<int>::max()) + (negative ? 1 : 0))
                return Outcome::Invalid;
        }
        if (atEnd())
            return Outcome::CutOff;
        if (digits == 0)
            return Outcome::Invalid;
        value = int(negative ? -magnitude : magnitude);
        return Outcome::Whole;
    }

    Outcome truth(bool& value)
    {
        const QByteArrayView rest = m_text.sliced(m_at);
        for (const auto& [text, meaning] :
             {std::pair{QByteArrayView("True"), true}, std::pair{QByteArrayView("False"), false}}) {
            if (rest.startsWith(text)) {
                m_at += text.size();
                value = meaning;
                return Outcome::Whole;
            }
            if (cutOffFrom(rest, text))
                return Outcome::CutOff;
        }
        return Outcome::Invalid;
    }

    QByteArrayView m_text;
    qsizetype m_at;
};

// The move in fields 1 to 6 of a text that starts "move|", when they hold one.
std::optional<Move> moveFrom(QByteArrayView text, const Fields& fields)
{
    const qsizetype end = fields.at[6].data() - text.data() + fields.at[6].size();
    MoveReader reader(text, MoveStart.size());
    Move move{};
    if (reader.read(move) != Outcome::Whole || reader.at() != end)
        return std::nullopt;
    return move;
}

Chat chatFrom(const Fields& fields)
{
    return Chat{fromWire(fields.at[1]), fromWire(fields.at[2])};
}

// Exactly one message as a copy of the game sends it: a word alone, a move of
// exactly seven fields, a chat of exactly three, whatever its line and name.
std::optional<Message> wholeMessage(QByteArrayView text)
{
    if (const auto word = wordOf(text))
        return *word;
    const Fields fields = split(text);
    if (fields.at[0] == "move" && fields.count == 7) {
        if (const auto move = moveFrom(text, fields))
            return *move;
    }
    if (fields.at[0] == "chat" && fields.count == 3)
        return chatFrom(fields);
    return std::nullopt;
}

// Takes a text apart into whole messages standing one right after the other.
// A chat's name has no end mark: it ends at a "|", where a move or a chat
// begins (whole, or cut off by the end of the text), or where the text ends.
class StreamReader {
public:
    explicit StreamReader(QByteArrayView text)
        : m_text(text)
    {
    }

    // False unless the whole text is whole messages and at most one
    // unfinished message at its end, which then starts at unfinished().
    bool read(std::vector<Message>& out)
    {
        qsizetype at = 0;
        while (at < m_text.size()) {
            const QByteArrayView rest = m_text.sliced(at);
            if (const auto word = wordAtStartOf(rest)) {
                out.emplace_back(word->second);
                at += word->first.size();
                continue;
            }
            Outcome outcome = Outcome::Invalid;
            if (rest.startsWith(MoveStart))
                outcome = readMove(at, out);
            else if (rest.startsWith(ChatStart))
                outcome = readChat(at, out);
            else if (beginsAMessage(rest))
                outcome = Outcome::CutOff;
            if (outcome == Outcome::Invalid)
                return false;
            if (outcome == Outcome::CutOff) {
                m_unfinished = at;
                return true;
            }
        }
        m_unfinished = at;
        return true;
    }

    qsizetype unfinished() const { return m_unfinished; }

private:
    static std::optional<std::pair<QByteArrayView, Word>> wordAtStartOf(QByteArrayView rest)
    {
        for (const auto& word : Words) {
            if (rest.startsWith(word.first))
                return word;
        }
        return std::nullopt;
    }

    // The first letters of a message, cut off by the end of the text.
    static bool beginsAMessage(QByteArrayView rest)
    {
        for (const auto& [word, meaning] : Words) {
            if (cutOffFrom(rest, word))
                return true;
        }
        return cutOffFrom(rest, MoveStart) || cutOffFrom(rest, ChatStart);
    }

    // A move or chat starts here, whole or cut off: a name before it ends.
    bool endsAName(qsizetype at) const
    {
        const QByteArrayView rest = m_text.sliced(at);
        if (rest.startsWith(ChatStart))
            return true; // a chat is whole, or cut off, from its "chat|" on
        if (!rest.startsWith(MoveStart))
            return false;
        Move move{};
        return MoveReader(m_text, at + MoveStart.size()).read(move) != Outcome::Invalid;
    }

    Outcome readMove(qsizetype& at, std::vector<Message>& out) const
    {
        MoveReader reader(m_text, at + MoveStart.size());
        Move move{};
        const Outcome outcome = reader.read(move);
        if (outcome == Outcome::Whole) {
            out.emplace_back(move);
            at = reader.at();
        }
        return outcome;
    }

    Outcome readChat(qsizetype& at, std::vector<Message>& out) const
    {
        const qsizetype lineStart = at + ChatStart.size();
        const qsizetype lineEnd = m_text.indexOf('|', lineStart);
        if (lineEnd < 0)
            return Outcome::CutOff;
        qsizetype nameEnd = lineEnd + 1;
        while (nameEnd < m_text.size() && m_text[nameEnd] != '|' && !endsAName(nameEnd))
            ++nameEnd;
        out.emplace_back(Chat{fromWire(m_text.sliced(lineStart, lineEnd - lineStart)),
                              fromWire(m_text.sliced(lineEnd + 1, nameEnd - lineEnd - 1))});
        at = nameEnd;
        return Outcome::Whole;
    }

    QByteArrayView m_text;
    qsizetype m_unfinished = 0;
};

} // namespace

std::optional<Message> readAsOneText(QByteArrayView text)
{
    if (const auto word = wordOf(text))
        return *word;
    const Fields fields = split(text);
    if (fields.at[0] == "move" && fields.count >= 7) {
        if (const auto move = moveFrom(text, fields))
            return *move;
    }
    if (fields.at[0] == "chat" && fields.count >= 3)
        return chatFrom(fields);
    return std::nullopt;
}

// A read is the unit the other copy works in, so a read that holds exactly
// one message is that message and nothing else. Only a read that is not one
// message is taken apart into messages glued together or cut in two; one that
// does not come apart cleanly is read the way the other copy reads it.
bool MessageReader::feed(QByteArrayView read, std::vector<Message>& out)
{
    if (m_pending.isEmpty())
        return take(read, out);
    QByteArray text = std::exchange(m_pending, QByteArray());
    text.append(read);
    return take(text, out);
}

bool MessageReader::take(QByteArrayView text, std::vector<Message>& out)
{
    if (auto message = wholeMessage(text)) {
        out.push_back(std::move(*message));
        return true;
    }
    std::vector<Message> messages;
    StreamReader stream(text);
    if (!stream.read(messages)) {
        if (auto message = readAsOneText(text))
            out.push_back(std::move(*message));
        return true;
    }
    out.insert(out.end(), std::make_move_iterator(messages.begin()),
               std::make_move_iterator(messages.end()));
    const QByteArrayView unfinished = text.sliced(stream.unfinished());
    if (unfinished.size() > MaxPending)
        return false;
    m_pending = unfinished.toByteArray();
    return true;
}

} // namespace protocol
