// SPDX-License-Identifier: MIT
// What the controllers' room reads without a controller: where a stick
// points, and which devices are controllers at all.
#include "gamepad/direction.h"
#include "gamepad/keybitmap.h"

#include <QtTest>

namespace {

// A key bitmap as the kernel writes it, with the given button codes set:
// hexadecimal words of a long, the highest first, with no leading zero words.
QByteArray bitmapOf(std::initializer_list<int> codes)
{
    constexpr int WordBits = int(sizeof(long)) * 8;
    QList<quint64> words;
    for (int code : codes) {
        while (words.size() <= code / WordBits)
            words.append(0);
        words[code / WordBits] |= quint64(1) << (code % WordBits);
    }
    QByteArrayList text;
    for (qsizetype i = words.size() - 1; i >= 0; --i)
        text.append(QByteArray::number(words[i], 16));
    return text.join(' ') + '\n';
}

} // namespace

Q_DECLARE_METATYPE(Direction)

class TestPadReading : public QObject {
    Q_OBJECT

private slots:
    // Full travel is 32767 each way (-32768 up and left).
    void theStickPointsAlongItsLargerAxis_data()
    {
        QTest::addColumn<Direction>("before");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<Direction>("expected");
        QTest::newRow("at rest") << Direction::None << 0 << 0 << Direction::None;
        QTest::newRow("pushed right") << Direction::None << 32767 << 0 << Direction::Right;
        QTest::newRow("pushed left to the end")
            << Direction::None << -32768 << 0 << Direction::Left;
        QTest::newRow("pushed up") << Direction::None << 0 << -32768 << Direction::Up;
        QTest::newRow("pushed down") << Direction::None << 0 << 32767 << Direction::Down;
        QTest::newRow("less than half: nothing")
            << Direction::None << 16000 << 0 << Direction::None;
        QTest::newRow("down more than right")
            << Direction::None << 20000 << 30000 << Direction::Down;
        QTest::newRow("left more than up")
            << Direction::None << -30000 << -20000 << Direction::Left;
    }

    void theStickPointsAlongItsLargerAxis()
    {
        QFETCH(Direction, before);
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(Direction, expected);
        QCOMPARE(stickDirection(before, x, y), expected);
    }

    // A stick that rests near half its travel, or near the diagonal, must
    // not press its keys over and over: it keeps pointing until it falls
    // back below a quarter, or the other axis clearly takes over.
    void aStickNearAThresholdDoesNotFlutter()
    {
        Direction direction = Direction::None;
        int presses = 0;
        // Wobbling around half of its travel, to the right.
        for (int i = 0; i < 100; ++i) {
            const Direction now = stickDirection(direction, i % 2 ? 17000 : 15500, 300);
            presses += now != direction && now != Direction::None;
            direction = now;
        }
        QCOMPARE(presses, 1);
        QCOMPARE(direction, Direction::Right);
        // Wobbling around the diagonal, down and right.
        for (int i = 0; i < 100; ++i) {
            const Direction now = stickDirection(direction, 24000 + (i % 2 ? 500 : -500),
                                                 24000 - (i % 2 ? 500 : -500));
            presses += now != direction;
            direction = now;
        }
        QCOMPARE(presses, 1);
        // Clearly down now; then let go.
        QCOMPARE(stickDirection(direction, 10000, 30000), Direction::Down);
        QCOMPARE(stickDirection(Direction::Down, 0, 9000), Direction::Down);
        QCOMPARE(stickDirection(Direction::Down, 0, 7000), Direction::None);
        QCOMPARE(stickDirection(Direction::Down, 0, -32768), Direction::Up);
    }

    void eachDirectionHasTheGamesKey()
    {
        QCOMPARE(keyOf(Direction::Up), int('8'));
        QCOMPARE(keyOf(Direction::Down), int('2'));
        QCOMPARE(keyOf(Direction::Left), int('4'));
        QCOMPARE(keyOf(Direction::Right), int('6'));
        QCOMPARE(keyOf(Direction::None), 0);
    }

    // Only a device with a button that only controllers have is followed:
    // keyboards, mice, touchpads and power buttons are not, whatever the
    // device folder writes.
    void onlyControllersHaveControllerButtons_data()
    {
        QTest::addColumn<QByteArray>("bitmap");
        QTest::addColumn<bool>("controller");
        QTest::newRow("a gamepad: BTN_SOUTH") << bitmapOf({0x130, 0x131, 0x13b}) << true;
        QTest::newRow("a joystick: BTN_TRIGGER") << bitmapOf({0x120}) << true;
        QTest::newRow("D-pad buttons only") << bitmapOf({0x220, 0x223}) << true;
        QTest::newRow("a dance pad's last button") << bitmapOf({0x2e7}) << true;
        QTest::newRow("a keyboard") << bitmapOf({1, 2, 30, 57, 113, 0x74}) << false;
        QTest::newRow("a mouse: BTN_LEFT") << bitmapOf({0x110, 0x111, 0x112}) << false;
        QTest::newRow("a touchpad: BTN_TOUCH, BTN_TOOL_FINGER")
            << bitmapOf({0x14a, 0x145}) << false;
        QTest::newRow("just past the ranges") << bitmapOf({0x11f, 0x13f, 0x224, 0x2e8}) << false;
        QTest::newRow("a power button") << QByteArray("10000000000000 0\n") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("only zeros") << QByteArray("0 0 0 0 0 0") << false;
        QTest::newRow("words that are no numbers")
            << QByteArray("zz 1000000000000 -1 0 0 0 0") << false;
        QTest::newRow("a word too long for a long")
            << QByteArray("1" + QByteArray(40, '0') + " 0 0 0 0") << false;
        QTest::newRow("a thousand words") << QByteArray("ffffffffffffffff ").repeated(1000) << true;
    }

    void onlyControllersHaveControllerButtons()
    {
        QFETCH(QByteArray, bitmap);
        QFETCH(bool, controller);
        QCOMPARE(hasControllerButton(bitmap), controller);
    }
};

QTEST_GUILESS_MAIN(TestPadReading)
#include "tst_padreading.moc"
