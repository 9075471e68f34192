// SPDX-License-Identifier: MIT
#include "gamefixture.h"

#include <QtTest>

class TestLevel : public QObject {
    Q_OBJECT

private slots:
    void oneStep_data()
    {
        QTest::addColumn<QPoint>("at");
        QTest::addColumn<bool>("doorOpen");
        QTest::addColumn<char>("key");
        QTest::addColumn<int>("newLeft");

        QTest::newRow("left wall") << QPoint(0, 444) << false << '4' << 0;
        QTest::newRow("8 to 0") << QPoint(8, 444) << false << '4' << 0;
        QTest::newRow("right wall") << QPoint(624, 444) << false << '6' << 624;
        QTest::newRow("616 to 624") << QPoint(616, 444) << false << '6' << 624;
        QTest::newRow("closed door, 88 to 80") << QPoint(88, 18) << false << '4' << 80;
        QTest::newRow("closed door at 80") << QPoint(80, 18) << false << '4' << 80;
        QTest::newRow("closed door, top of its band") << QPoint(80, 0) << false << '4' << 80;
        for (int top : {9, 13, 17})
            QTest::addRow("closed door, in the air at %d", top)
                << QPoint(80, top) << false << '4' << 80;
        QTest::newRow("open door, 80 to 72") << QPoint(80, 18) << true << '4' << 72;
        QTest::newRow("no door on floor 5") << QPoint(80, 82) << false << '4' << 72;
        QTest::newRow("closed door, right 72 to 80") << QPoint(72, 18) << false << '6' << 80;
        QTest::newRow("closed door, right 80 to 88") << QPoint(80, 18) << false << '6' << 88;
    }

    // A step moves both pictures 8 and turns the figure; a refused one beeps
    // and leaves position and facing alone. The height never changes.
    void oneStep()
    {
        QFETCH(QPoint, at);
        QFETCH(bool, doorOpen);
        QFETCH(char, key);
        QFETCH(int, newLeft);

        GameFixture f;
        f.place(at.x(), at.y());
        f.game.doorOpen = doorOpen;
        // Face the other way first, so a turn (or its absence) shows.
        f.scene.guy.setVisible(key == '4');
        f.scene.guyl.setVisible(key == '6');

        key == '4' ? f.game.GoLeft() : f.game.GoRight();

        const bool refused = newLeft == at.x();
        QCOMPARE(f.guy.box().topLeft(), QPoint(newLeft, at.y()));
        QCOMPARE(f.guyl.left(), newLeft);
        QCOMPARE(f.platform.beeps, refused ? 1 : 0);
        QCOMPARE(f.guyl.isVisible(), (key == '4') != refused);
        QCOMPARE(f.guy.isVisible(), !f.guyl.isVisible());
    }

    // Every column at every height a figure can have: a climb moves exactly
    // one floor, only from the exact floor height inside a ladder's stretch.
    // Column 384 stands on ladders 1 and 5: from floor 1 it leads to floor 2
    // only, from floor 5 to floor 6.
    void climbEverywhere()
    {
        struct Ladder {
            int lowerTop;
            int upperTop;
            QList<int> columns;
        };
        // Written out from the level drawing, not taken from the game's own table.
        const Ladder ladders[] = {{444, 359, {368, 376, 384}},
                                  {359, 267, {120, 128, 136}},
                                  {267, 172, {536, 544, 552}},
                                  {172, 82, {208, 216}},
                                  {82, 18, {384, 392}}};
        auto where = [](int left, int top, int up, int down) {
            return QString::asprintf("at %d,%d up to %d, down to %d", left, top, up, down);
        };
        GameFixture f;
        for (int top = 9; top <= 453; ++top) {
            for (int left = 0; left <= 624; left += 8) {
                int up = top;
                int down = top;
                for (const Ladder& ladder : ladders) {
                    if (ladder.lowerTop == top && ladder.columns.contains(left))
                        up = ladder.upperTop;
                    if (ladder.upperTop == top && ladder.columns.contains(left))
                        down = ladder.lowerTop;
                }
                f.place(left, top);
                f.game.GoUp();
                const int afterUp = f.guy.top();
                f.place(left, top);
                f.game.GoDown();
                QCOMPARE(where(f.guy.left(), top, afterUp, f.guy.top()),
                         where(left, top, up, down));
            }
        }
        QCOMPARE(f.platform.beeps, 0);
    }

    void keyboard_data()
    {
        scriptColumns();
        const auto row = scriptRow;
        // The hazard looks at the spot before the key's action; a death ends
        // the press there, without moving, jumping or refreshing the status.
        row("walking into the hazard is harmless", {192, 444}, {"6"}, "200,444");
        row("the next press there kills", {192, 444}, {"6", "x"},
            "200,444 gameOver dood step6 [player is dead: Game over]");
        row("a step out of it kills", {208, 444}, {"opendoor", "6"},
            "208,444 doorOpen gameOver dood step6 [door open; player is dead: Game over]");
        row("a jump out of it kills", {216, 444}, {" "},
            "216,444 gameOver dood step6 [player is dead: Game over]");
        row("224 is in it", {224, 444}, {"4"},
            "224,444 gameOver dood step6 [player is dead: Game over]");
        row("232 is not", {232, 444}, {"6", "6"}, "248,444");
        row("not on floor 2", {208, 359}, {"6", "6"}, "224,359");
        row("not in the air", {208, 442}, {"6", "6"}, "224,442");

        // The key spot too looks before the action, at every press there.
        row("stepping onto the key spot takes nothing", {24, 172}, {"4"}, "16,172 facingLeft");
        row("the next press takes the key", {24, 172}, {"4", "x"},
            "16,172 facingLeft doorOpen keyTaken Ja [door open; key picked up]");
        row("and so does every press there", {16, 172}, {"mul", "x", "6"},
            "24,172 doorOpen keyTaken Ja [door open; key picked up; door open; key picked up] "
            "sent:gotkey,gotkey");
        row("no key on floor 5", {16, 82}, {"x"}, "16,82");

        // The goal looks after the action.
        row("the step onto the goal wins", {16, 18}, {"opendoor", "4"},
            "8,18 facingLeft doorOpen Ja gameOver goed [door open; game played out: Game over]");
        row("no goal on floor 5", {16, 82}, {"4"}, "8,82 facingLeft");
        row("no goal in the air", {16, 10}, {"4"}, "8,10 facingLeft");

        row("no key once dead", {16, 172}, {"opendoor", "die", "6", " "},
            "16,172 doorOpen gameOver dood step6 [door open; player is dead: Game over]");
        row("no hazard once won", {208, 444}, {"win", "x", "4"},
            "208,444 gameOver goed [game played out: Game over]");
        row("a press after the end still counts as played", {0, 444}, {"mul", "win", "4", "F2"},
            "0,444 [game played out: Game over; door closed; New game initialized] sent:newgame");

        row("the status waits for a press", {0, 444}, {"opendoor"}, "0,444 doorOpen [door open]");
        row("and keeps through a new game", {0, 444}, {"opendoor", "x", "F2"},
            "0,444 Ja [door open; door closed; New game initialized]");
        row("until the next press", {0, 444}, {"opendoor", "x", "F2", "x"},
            "0,444 [door open; door closed; New game initialized]");
    }

    void keyboard()
    {
        GameFixture f;
        playRow(f);
    }

    // A whole game by keyboard, from a new game to the win.
    void wholeGame()
    {
        struct Leg {
            char key;
            int times;
            int left;
            int top;
        };
        const Leg route[] = {
            {'6', 24, 192, 444}, {' ', 1, 232, 444}, {'6', 17, 368, 444}, {'8', 1, 368, 359},
            {'4', 30, 128, 359}, {'8', 1, 128, 267}, {'6', 51, 536, 267}, {'8', 1, 536, 172},
            {'4', 65, 16, 172},  {'6', 1, 24, 172},  {'6', 23, 208, 172}, {'8', 1, 208, 82},
            {'6', 22, 384, 82},  {'8', 1, 384, 18},  {'4', 46, 16, 18},   {'4', 1, 8, 18}};
        GameFixture f;
        f.game.drukf2_Click();
        for (const Leg& leg : route) {
            f.press(leg.key, leg.times);
            if (leg.key == ' ') { // over the hazard in the air, where no test looks
                for (int i = 0; i < 5; ++i) {
                    f.tickSteps();
                    f.press('6');
                }
                f.land();
            }
            auto where = [&leg](int left, int top) {
                return QString::asprintf("'%c' x%d to %d,%d", leg.key, leg.times, left, top);
            };
            QCOMPARE(where(f.guy.left(), f.guy.top()), where(leg.left, leg.top));
        }
        QCOMPARE(f.describe(), QStringLiteral("8,18 facingLeft doorOpen keyTaken Ja gameOver goed "
                                              "[door closed; New game initialized; door open; "
                                              "key picked up; game played out: Game over]"));
        QCOMPARE(f.scene.goed.caption(), QStringLiteral("Goed Gedaan!"));
    }
};

QTEST_GUILESS_MAIN(TestLevel)
#include "tst_level.moc"
