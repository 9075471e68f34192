// SPDX-License-Identifier: MIT
#include "wire/protocol.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <climits>

using namespace protocol;

namespace {

Message move(int t1, int t2, int l1, int l2, bool v1, bool v2)
{
    return Move{t1, t2, l1, l2, v1, v2};
}

Message chat(const char* line, const char* name)
{
    return Chat{QString::fromLatin1(line), QString::fromLatin1(name)};
}

QString describe(const Message& message)
{
    return std::visit(
        [](const auto& m) -> QString {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Move>)
                return moveMessage(m);
            else if constexpr (std::is_same_v<T, Chat>)
                return chatMessage(m.line, m.name);
            else
                return QStringLiteral("word %1").arg(int(m));
        },
        message);
}

QStringList describe(const std::vector<Message>& messages)
{
    QStringList result;
    for (const Message& message : messages)
        result.append(describe(message));
    return result;
}

std::vector<Message> read(const QList<QByteArray>& reads)
{
    MessageReader reader;
    std::vector<Message> out;
    for (const QByteArray& bytes : reads)
        reader.feed(bytes, out);
    return out;
}

// How the other copy reads a read: split at every "|", then six tests in
// their order. Written here on its own, the plain way, to hold the reader to.
std::vector<Message> reference(const QByteArray& text)
{
    if (text == "die")
        return {Word::Die};
    if (text == "win")
        return {Word::Win};
    if (text == "newgame")
        return {Word::NewGame};
    if (text == "gotkey")
        return {Word::GotKey};
    const QList<QByteArray> fields = text.split('|');
    if (fields[0] == "move" && fields.size() >= 7) {
        static const QRegularExpression wholeNumber(QStringLiteral("^-?[0-9]+$"));
        Move m{};
        int* coordinates[] = {&m.T1, &m.T2, &m.L1, &m.L2};
        for (int i = 0; i < 4; ++i) {
            bool ok = false;
            const qlonglong n = fields[i + 1].toLongLong(&ok);
            if (!wholeNumber.match(QString::fromLatin1(fields[i + 1])).hasMatch() || !ok ||
                n < INT_MIN || n > INT_MAX)
                return {};
            *coordinates[i] = int(n);
        }
        for (const auto& [field, value] : {std::pair{fields[5], &m.V1}, {fields[6], &m.V2}}) {
            if (field != "True" && field != "False")
                return {};
            *value = field == "True";
        }
        return {m};
    }
    if (fields[0] == "chat" && fields.size() >= 3)
        return {Chat{fromWire(fields[1]), fromWire(fields[2])}};
    return {};
}

// Messages as a copy of the game sends them.
class Sender {
public:
    explicit Sender(quint32 seed)
        : m_random(seed)
    {
    }

    bool chance(int percent) { return int(m_random.bounded(100)) < percent; }

    QByteArray move()
    {
        const auto coordinate = [this] {
            static constexpr int Edges[] = {0, 444, 18, -1, INT_MIN, INT_MAX};
            return chance(30) ? Edges[m_random.bounded(6)] : int(m_random.bounded(-1000, 100000));
        };
        return toWire(moveMessage(
            {coordinate(), coordinate(), coordinate(), coordinate(), chance(50), chance(50)}));
    }

    QByteArray word()
    {
        static const QByteArray Words[] = {"die", "win", "newgame", "gotkey"};
        return Words[m_random.bounded(4)];
    }

    // A line or a name typed by a player: any byte, now and then a "|",
    // sometimes empty, often ending in a message's name.
    QByteArray typed(bool bars)
    {
        QByteArray text;
        if (chance(10))
            return text;
        const int length = int(m_random.bounded(12));
        for (int i = 0; i < length; ++i) {
            char byte = char(m_random.bounded(256));
            if (bars && chance(12))
                byte = '|';
            if (byte != '|' || bars)
                text.append(byte);
        }
        if (chance(30))
            text += word();
        return text;
    }

    QByteArray chat(bool bars) { return "chat|" + typed(bars) + '|' + typed(bars); }

    QByteArray any(bool bars)
    {
        switch (m_random.bounded(3)) {
        case 0:
            return move();
        case 1:
            return word();
        default:
            return chat(bars);
        }
    }

    QRandomGenerator& random() { return m_random; }

private:
    QRandomGenerator m_random;
};

// A stream of whole messages, and where a read may not end: a chat's name
// has no end mark, so a read that ends inside it (or right after the "|"
// before it, or inside the "move|" or "chat|" that ends it) ends the name.
struct Stream {
    QByteArray bytes;
    QStringList messages;
    QList<QPair<qsizetype, qsizetype>> names; // start, end of each chat's name

    void add(const QByteArray& message)
    {
        if (message.startsWith("chat|")) {
            const qsizetype nameStart = bytes.size() + message.indexOf('|', 5) + 1;
            names.append({nameStart, bytes.size() + message.size()});
        }
        bytes += message;
        messages += describe(reference(message));
    }

    bool mayEndARead(qsizetype cut) const
    {
        for (const auto& [start, end] : names) {
            if (cut >= start && cut <= end + 4 && cut != end)
                return false;
        }
        return true;
    }

    QList<QByteArray> cutAt(QList<qsizetype> cuts) const
    {
        std::sort(cuts.begin(), cuts.end());
        QList<QByteArray> reads;
        qsizetype from = 0;
        for (qsizetype cut : cuts) {
            reads.append(bytes.mid(from, cut - from));
            from = cut;
        }
        reads.append(bytes.mid(from));
        return reads;
    }
};

} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void messagesAreWrittenAsThePeerExpects()
    {
        QCOMPARE(moveMessage({444, 444, 0, 0, true, false}),
                 QStringLiteral("move|444|444|0|0|True|False"));
        QCOMPARE(chatMessage(QStringLiteral("hello"), QStringLiteral("P2")),
                 QStringLiteral("chat|hello|P2"));
        QCOMPARE(chatMessage(QString(), QStringLiteral("Player")), QStringLiteral("chat||Player"));
    }

    void charactersTravelAsWindows1252Bytes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("latin-1") << QStringLiteral("caf\u00e9 \u00ff\u00a0")
                                 << QByteArray("caf\xe9 \xff\xa0");
        QTest::newRow("euro") << QStringLiteral("\u20ac5")
                              << QByteArray("\x80"
                                            "5");
        QTest::newRow("quotes") << QStringLiteral("\u2018a\u2019 \u201cb\u201d")
                                << QByteArray("\x91"
                                              "a\x92 \x93"
                                              "b\x94");
        QTest::newRow("dashes") << QStringLiteral("\u2013\u2014\u2026")
                                << QByteArray("\x96\x97\x85");
        QTest::newRow("letters") << QStringLiteral(
                                        "\u0160\u0161\u017d\u017e\u0152\u0153\u0178\u0192")
                                 << QByteArray("\x8a\x9a\x8e\x9e\x8c\x9c\x9f\x83");
        QTest::newRow("no byte for it")
            << QStringLiteral("a\u0080b\U0001F600c\u0645") << QByteArray("a?b?c?");
    }

    void charactersTravelAsWindows1252Bytes()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(toWire(text), bytes);
        if (!bytes.contains('?'))
            QCOMPARE(fromWire(bytes), text);
    }

    // Every byte reads as one character and that character goes back out as
    // the same byte, the five the code page leaves unassigned too.
    void everyByteComesBackAsItWent()
    {
        QByteArray all(256, Qt::Uninitialized);
        for (int b = 0; b < 256; ++b)
            all[b] = char(b);
        const QString text = fromWire(all);
        QCOMPARE(text.size(), 256);
        QCOMPARE(toWire(text), all);
        QCOMPARE(describe(read({"chat|\x93hoi\x94|Zo\xeb"})),
                 QStringList{QStringLiteral("chat|\u201choi\u201d|Zo\u00eb")});
    }

    void oneReadOneMessage_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("messages");
        const auto one = [](const Message& m) { return QStringList{describe(m)}; };
        QTest::newRow("move") << QByteArray("move|10|20|30|40|True|False")
                              << one(move(10, 20, 30, 40, true, false));
        QTest::newRow("move, negative") << QByteArray("move|-9|0|-2147483648|2147483647|False|True")
                                        << one(move(-9, 0, INT_MIN, INT_MAX, false, true));
        QTest::newRow("move, eighth field")
            << QByteArray("move|1|2|3|4|True|True|extra") << one(move(1, 2, 3, 4, true, true));
        QTest::newRow("move, eighth field a word")
            << QByteArray("move|1|2|3|4|True|True|win") << one(move(1, 2, 3, 4, true, true));
        QTest::newRow("chat") << QByteArray("chat|hello|P2") << one(chat("hello", "P2"));
        QTest::newRow("chat, empty line") << QByteArray("chat||Player") << one(chat("", "Player"));
        QTest::newRow("chat, empty name") << QByteArray("chat|hello|") << one(chat("hello", ""));
        QTest::newRow("chat, all empty") << QByteArray("chat||") << one(chat("", ""));
        QTest::newRow("chat, bar in line") << QByteArray("chat|a|b|P2") << one(chat("a", "b"));
        QTest::newRow("chat, bar in line, Edwin")
            << QByteArray("chat|a|b|Edwin") << one(chat("a", "b"));
        QTest::newRow("chat, bar in line, Eddie")
            << QByteArray("chat|a|b|Eddie") << one(chat("a", "b"));
        QTest::newRow("chat, word after a bar")
            << QByteArray("chat|a|b|gotkey") << one(chat("a", "b"));
        QTest::newRow("chat, move in a name")
            << QByteArray("chat|a|remove|P") << one(chat("a", "remove"));
        QTest::newRow("chat, word in name")
            << QByteArray("chat|hoi|Edwin") << one(chat("hoi", "Edwin"));
        QTest::newRow("chat, name is a word")
            << QByteArray("chat|hoi|newgame") << one(chat("hoi", "newgame"));
        QTest::newRow("chat, name ends a word")
            << QByteArray("chat|a|Bogotkey") << one(chat("a", "Bogotkey"));
        QTest::newRow("chat, words in line")
            << QByteArray("chat|die win gotkey|x") << one(chat("die win gotkey", "x"));
        QTest::newRow("gotkey") << QByteArray("gotkey") << one(Word::GotKey);
        QTest::newRow("newgame") << QByteArray("newgame") << one(Word::NewGame);
        QTest::newRow("die") << QByteArray("die") << one(Word::Die);
        QTest::newRow("win") << QByteArray("win") << one(Word::Win);
    }

    void oneReadOneMessage()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, messages);
        QCOMPARE(describe(read({bytes})), messages);
        QCOMPARE(describe(reference(bytes)), messages);
    }

    void whatIsNoMessageIsIgnored_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("capital") << QByteArray("Die");
        QTest::newRow("blank after word") << QByteArray("die ");
        QTest::newRow("field after word") << QByteArray("die|x");
        QTest::newRow("gotkey with field") << QByteArray("gotkey|1");
        QTest::newRow("console word") << QByteArray("jump");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("move, letters") << QByteArray("move|a|2|3|4|True|False");
        QTest::newRow("move, empty number") << QByteArray("move||2|3|4|True|False");
        QTest::newRow("move, plus") << QByteArray("move|+1|2|3|4|True|False");
        QTest::newRow("move, blank") << QByteArray("move| 1|2|3|4|True|False");
        QTest::newRow("move, fraction") << QByteArray("move|1.5|2|3|4|True|False");
        QTest::newRow("move, overflow") << QByteArray("move|2147483648|2|3|4|True|False");
        QTest::newRow("move, huge") << QByteArray("move|99999999999999999999999|2|3|4|True|False");
        QTest::newRow("move, truth") << QByteArray("move|1|2|3|4|true|False");
        QTest::newRow("move, yes") << QByteArray("move|1|2|3|4|Yes|False");
        QTest::newRow("move, six fields") << QByteArray("move|1|2|3|4|True"); // may yet end
        QTest::newRow("chat, two fields") << QByteArray("chat|hello");        // may yet end
        QTest::newRow("junk before") << QByteArray("xxmove|1|2|3|4|True|True|junk|gotkey");
        QTest::newRow("bad move, then good") << QByteArray("move|x|move|1|2|3|4|False|False");
        QTest::newRow("binary") << QByteArray("\x00\xff\x01|\x7f|||", 8);
        QTest::newRow("only bars") << QByteArray(1000, '|');
    }

    void whatIsNoMessageIsIgnored()
    {
        QFETCH(QByteArray, bytes);
        MessageReader reader;
        std::vector<Message> out;
        QVERIFY(reader.feed(bytes, out));
        QCOMPARE(describe(out), QStringList());
        QCOMPARE(describe(reference(bytes)), QStringList());
    }

    void messagesReadTogetherAreTakenApart_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("messages");
        const QString m = describe(move(444, 444, 0, 0, true, false));
        QTest::newRow("two moves")
            << QByteArray("move|444|444|0|0|True|Falsemove|444|444|0|0|True|False")
            << QStringList{m, m};
        QTest::newRow("word then move") << QByteArray("gotkeymove|444|444|0|0|True|False")
                                        << QStringList{describe(Word::GotKey), m};
        QTest::newRow("move then word") << QByteArray("move|444|444|0|0|True|Falsenewgame")
                                        << QStringList{m, describe(Word::NewGame)};
        QTest::newRow("words") << QByteArray("diewinnewgamegotkey")
                               << QStringList{describe(Word::Die), describe(Word::Win),
                                              describe(Word::NewGame), describe(Word::GotKey)};
        QTest::newRow("chat then move") << QByteArray("chat|hi|Edwinmove|444|444|0|0|True|False")
                                        << QStringList{describe(chat("hi", "Edwin")), m};
        QTest::newRow("chat, empty name, then move")
            << QByteArray("chat|hi|move|444|444|0|0|True|False")
            << QStringList{describe(chat("hi", "")), m};
        QTest::newRow("chat then chat")
            << QByteArray("chat|a|Bochat|b|Cy")
            << QStringList{describe(chat("a", "Bo")), describe(chat("b", "Cy"))};
        QTest::newRow("name with move, then move")
            << QByteArray("chat|a|Xmovemove|444|444|0|0|True|False")
            << QStringList{describe(chat("a", "Xmove")), m};
        QTest::newRow("word, chat, move, word")
            << QByteArray("winchat|x|Ymove|444|444|0|0|True|Falsedie")
            << QStringList{describe(Word::Win), describe(chat("x", "Y")), m, describe(Word::Die)};
    }

    void messagesReadTogetherAreTakenApart()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, messages);
        QCOMPARE(describe(read({bytes})), messages);
    }

    void splitReadsWaitForTheirRest()
    {
        QCOMPARE(describe(read({"move|444|4", "44|0|0|Tr", "ue|False"})),
                 QStringList{describe(move(444, 444, 0, 0, true, false))});
        QCOMPARE(describe(read({"new", "game"})), QStringList{describe(Word::NewGame)});
        QCOMPARE(describe(read({"chat|hel", "lo|P2"})), QStringList{describe(chat("hello", "P2"))});
        QCOMPARE(describe(read({"gotkeymo", "ve|1|2|3|4|True|True"})),
                 (QStringList{describe(Word::GotKey), describe(move(1, 2, 3, 4, true, true))}));
        QCOMPARE(describe(read({"chat|a|Bomove|1|2", "|3|4|True|True"})),
                 (QStringList{describe(chat("a", "Bo")), describe(move(1, 2, 3, 4, true, true))}));
        // A name ends at the end of a read, an empty one too.
        QCOMPARE(describe(read({"chat|hello|", "gotkey"})),
                 (QStringList{describe(chat("hello", "")), describe(Word::GotKey)}));
        QCOMPARE(describe(read({"chat|a|Ed", "win"})),
                 (QStringList{describe(chat("a", "Ed")), describe(Word::Win)}));
        // What does not come apart is read as one text, and nothing of it waits.
        QCOMPARE(describe(read({"move|1|2", "junk", "win"})), QStringList{describe(Word::Win)});
    }

    // Every message a copy of the game can send, alone in one read, is read
    // exactly as the other copy reads it: lines and names of any bytes, with
    // "|" in them, empty, or ending in a message's name.
    void aSingleMessageReadsAsTheOtherCopyReadsIt()
    {
        Sender sender(20261208);
        for (int i = 0; i < 20000; ++i) {
            const QByteArray message = sender.any(true);
            const QStringList got = describe(read({message}));
            const QStringList expected = describe(reference(message));
            if (got != expected)
                QFAIL(qPrintable(QStringLiteral("%1: read %2, expected %3")
                                     .arg(QString::fromLatin1(message.toPercentEncoding()),
                                          got.join(QLatin1Char(',')),
                                          expected.join(QLatin1Char(',')))));
        }
    }

    // A stream of moves, words and chats without "|" in them loses nothing
    // and gives every message once, in order, however it is cut into reads,
    // so long as no read ends inside a chat's name. A word right behind a
    // chat's name is part of the name, so the sender below never glues one.
    void streamsLoseNothingWhereverTheReadsEnd()
    {
        Sender sender(7);
        int checked = 0;
        for (int round = 0; round < 3000; ++round) {
            Stream stream;
            bool afterChat = false;
            const int count = 1 + int(sender.random().bounded(12));
            for (int i = 0; i < count; ++i) {
                QByteArray message = sender.any(false);
                while (afterChat && !message.startsWith("chat|") && !message.startsWith("move|"))
                    message = sender.any(false);
                afterChat = message.startsWith("chat|");
                stream.add(message);
            }
            QList<qsizetype> cuts;
            const int reads = int(sender.random().bounded(6));
            for (int tries = 0; cuts.size() < reads && tries < 100; ++tries) {
                const qsizetype cut = 1 + sender.random().bounded(stream.bytes.size());
                if (cut < stream.bytes.size() && stream.mayEndARead(cut) && !cuts.contains(cut))
                    cuts.append(cut);
            }
            const QList<QByteArray> pieces = stream.cutAt(cuts);
            const QStringList got = describe(read(pieces));
            if (got != stream.messages) {
                QStringList shown;
                for (const QByteArray& piece : pieces)
                    shown.append(QString::fromLatin1(piece.toPercentEncoding()));
                QFAIL(qPrintable(QStringLiteral("reads %1 gave %2, sent %3")
                                     .arg(shown.join(QLatin1String(" / ")),
                                          got.join(QLatin1Char(',')),
                                          stream.messages.join(QLatin1Char(',')))));
            }
            checked += int(stream.messages.size());
        }
        QVERIFY(checked > 15000);
    }

    // One stream cut at every place a read may end, and fed a byte at a time.
    void everySplitPointGivesTheSameMessages()
    {
        Stream stream;
        for (const char* message :
             {"move|444|444|0|0|True|False", "gotkey", "chat|hallo daar|Edwin",
              "move|-12|7|624|616|False|True", "newgame", "die", "win", "chat||P2",
              "chat|\x93|\x80", "move|18|18|8|8|True|False"})
            stream.add(message);
        QCOMPARE(stream.messages.size(), 10);
        QCOMPARE(describe(read({stream.bytes})), stream.messages);
        for (qsizetype cut = 1; cut < stream.bytes.size(); ++cut) {
            if (stream.mayEndARead(cut))
                QCOMPARE(describe(read(stream.cutAt({cut}))), stream.messages);
        }

        Stream noNames;
        for (const char* message :
             {"move|444|444|0|0|True|False", "gotkey", "move|-12|7|624|616|False|True", "newgame",
              "die", "win", "move|18|18|8|8|True|False"})
            noNames.add(message);
        QList<QByteArray> bytes;
        for (char c : noNames.bytes)
            bytes.append(QByteArray(1, c));
        QCOMPARE(describe(read(bytes)), noNames.messages);
    }

    void aPeerCannotMakeItHoardBytes()
    {
        MessageReader reader;
        std::vector<Message> out;
        // Ten megabytes with no message in them are simply passed over.
        QVERIFY(reader.feed(QByteArray(10 * 1024 * 1024, 'A'), out));
        QVERIFY(reader.feed(QByteArray(10 * 1024 * 1024, '|'), out));
        QCOMPARE(reader.pending(), 0);

        // An unfinished message may not outgrow the bound.
        QVERIFY(reader.feed("chat|", out));
        for (int i = 0; i < 15; ++i)
            QVERIFY(reader.feed(QByteArray(4096, 'x'), out));
        QVERIFY(!reader.feed(QByteArray(4096, 'x'), out));
        QCOMPARE(reader.pending(), 0);
        QVERIFY(out.empty());

        // After that the reader goes on as new.
        QVERIFY(reader.feed("win", out));
        QCOMPARE(describe(out), QStringList{describe(Word::Win)});
    }

    void whatWaitsIsForgottenWithItsConnection()
    {
        MessageReader reader;
        std::vector<Message> out;
        QVERIFY(reader.feed("move|1|2|3", out));
        QVERIFY(reader.pending() > 0);
        reader.reset();
        QVERIFY(reader.feed("gotkey", out));
        QCOMPARE(describe(out), QStringList{describe(Word::GotKey)});
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
