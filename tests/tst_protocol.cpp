#include "net/protocol.h"

#include <QtTest>

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

    void charactersTravelAsSingleBytes()
    {
        QCOMPARE(toWire(QStringLiteral("caf\u00e9")), QByteArray("caf\xe9"));
        // One "?" a character, also for one outside the 16-bit range.
        QCOMPARE(toWire(QStringLiteral("a\u20acb\U0001F600c")), QByteArray("a?b?c"));
        std::vector<Message> out;
        MessageReader reader;
        reader.feed(QByteArray("chat|\xe9t\xe9|Zo\xeb"), out);
        QCOMPARE(describe(out), QStringList{QStringLiteral("chat|\u00e9t\u00e9|Zo\u00eb")});
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
        QTest::newRow("move, eighth field") << QByteArray("move|1|2|3|4|True|True|extra")
                                            << one(move(1, 2, 3, 4, true, true));
        QTest::newRow("chat") << QByteArray("chat|hello|P2") << one(chat("hello", "P2"));
        QTest::newRow("chat, empty line") << QByteArray("chat||Player") << one(chat("", "Player"));
        QTest::newRow("chat, bar in line") << QByteArray("chat|a|b|P2") << one(chat("a", "b"));
        QTest::newRow("chat, word in name") << QByteArray("chat|hoi|Edwin") << one(chat("hoi", "Edwin"));
        QTest::newRow("chat, words in line") << QByteArray("chat|die win gotkey|x")
                                             << one(chat("die win gotkey", "x"));
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
        QTest::newRow("move, fraction") << QByteArray("move|1.5|2|3|4|True|False");
        QTest::newRow("move, overflow") << QByteArray("move|2147483648|2|3|4|True|False");
        QTest::newRow("move, huge") << QByteArray("move|99999999999999999999999|2|3|4|True|False");
        QTest::newRow("move, truth") << QByteArray("move|1|2|3|4|true|False");
        QTest::newRow("move, yes") << QByteArray("move|1|2|3|4|Yes|False");
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
    }

    void messagesReadTogetherAreTakenApart_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("messages");
        const QString m = describe(move(444, 444, 0, 0, true, false));
        QTest::newRow("two moves") << QByteArray("move|444|444|0|0|True|Falsemove|444|444|0|0|True|False")
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
        QTest::newRow("chat then chat") << QByteArray("chat|a|Bochat|b|Cy")
                                        << QStringList{describe(chat("a", "Bo")),
                                                       describe(chat("b", "Cy"))};
        QTest::newRow("chat then word") << QByteArray("chat|a|Bogotkey")
                                        << QStringList{describe(chat("a", "Bogotkey"))};
        QTest::newRow("junk between") << QByteArray("xxmove|1|2|3|4|True|True|junk|gotkey")
                                      << QStringList{describe(move(1, 2, 3, 4, true, true)),
                                                     describe(Word::GotKey)};
        QTest::newRow("bad move then good") << QByteArray("move|x|move|1|2|3|4|False|False")
                                            << QStringList{describe(move(1, 2, 3, 4, false, false))};
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
        QCOMPARE(describe(read({"chat|hel", "lo|", "P2"})), QStringList{describe(chat("hello", "P2"))});
        QCOMPARE(describe(read({"gotkeymo", "ve|1|2|3|4|True|True"})),
                 (QStringList{describe(Word::GotKey), describe(move(1, 2, 3, 4, true, true))}));
        // A word counts at the end of a read; a name ends there.
        QCOMPARE(describe(read({"die", "|x"})), QStringList{describe(Word::Die)});
        QCOMPARE(describe(read({"chat|a|Ed", "win"})),
                 (QStringList{describe(chat("a", "Ed")), describe(Word::Win)}));
    }

    // However a stream of whole messages is cut into reads, the same messages
    // come out, so long as no cut falls inside a chat's name or inside the
    // "move|" or "chat|" that ends one: a name has no end mark, so a read that
    // ends there ends the name.
    void everySplitPointGivesTheSameMessages()
    {
        const QByteArray stream = "move|444|444|0|0|True|False" "gotkey" "chat|hallo daar|Edwin"
                                  "move|-12|7|624|616|False|True" "newgame" "die" "win"
                                  "chat||P2" "move|18|18|8|8|True|False";
        const QStringList expected = describe(read({stream}));
        QCOMPARE(expected.size(), 9);

        const QList<QPair<qsizetype, qsizetype>> names{{stream.indexOf("Edwin"), 5},
                                                       {stream.indexOf("P2"), 2}};
        const auto insideName = [&](qsizetype cut) {
            for (const auto& [at, length] : names)
                if (cut > at && cut < at + length + 5)
                    return true;
            return false;
        };
        for (qsizetype cut = 1; cut < stream.size(); ++cut) {
            if (insideName(cut))
                continue;
            QCOMPARE(describe(read({stream.left(cut), stream.mid(cut)})), expected);
        }
        // And byte by byte, for moves and words.
        const QByteArray noNames = "move|444|444|0|0|True|False" "gotkey" "move|-12|7|624|616|False|True"
                                   "newgame" "die" "win" "move|18|18|8|8|True|False";
        QList<QByteArray> bytes;
        for (char c : noNames)
            bytes.append(QByteArray(1, c));
        QCOMPARE(describe(read(bytes)).size(), 7);
        QCOMPARE(describe(read(bytes)), describe(read({noNames})));
    }

    void aPeerCannotMakeItHoardBytes()
    {
        MessageReader reader;
        std::vector<Message> out;
        // Ten megabytes with no message start in them are simply passed over.
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
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
