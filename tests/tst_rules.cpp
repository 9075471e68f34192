// SPDX-License-Identifier: MIT
#include "gamefixture.h"

#include <QtTest>

class TestRules : public QObject {
    Q_OBJECT

private slots:
    // One step per period and one step timer at a time, from every floor.
    // A second space before the first step only enables it again; during the
    // arc canJump is off.
    void arc()
    {
        const int rise[10] = {2, 4, 6, 8, 9, 8, 6, 4, 2, 0};
        for (int floor : {444, 359, 267, 172, 82, 18}) {
            GameFixture f;
            f.place(0, floor);
            f.press(' ', 2);
            QCOMPARE(f.enabledSteps(), QList<int>{1});
            for (int step = 1; step <= 10; ++step) {
                QCOMPARE(f.tickSteps(), 1);
                QCOMPARE(f.guy.top(), floor - rise[step - 1]);
                QCOMPARE(f.guyl.top(), floor); // only guy moves; the game tick brings guyl
                QCOMPARE(f.game.canJump, step == 10);
                if (step < 10)
                    f.press(' ');
            }
            QVERIFY(f.enabledSteps().isEmpty());
        }
    }

    // The death's fall enters the chain at its sixth step and leaves canJump
    // as it was; the sunk figure stays until a new game. A new game during
    // the fall does not stop it: the last steps go on from the floor.
    void deathFall()
    {
        for (int newGameAfter : {5, 2}) {
            GameFixture f;
            f.place(208, 444);
            f.press('6');
            QCOMPARE(f.enabledSteps(), QList<int>{6});
            int top = 444;
            for (int fell : {1, 2, 2, 2, 2}) {
                QCOMPARE(f.tickSteps(), 1);
                top += fell;
                QCOMPARE(f.guy.top(), top);
                QVERIFY(f.game.canJump);
                if (--newGameAfter == 0) {
                    f.press('6');
                    QCOMPARE(f.guy.box().topLeft(), QPoint(208, top));
                    f.game.drukf2_Click();
                    top = 444;
                    QCOMPARE(f.guy.box().topLeft(), QPoint(0, top));
                }
            }
            QVERIFY(f.enabledSteps().isEmpty());
        }
    }

    // The word "jump" does not ask canJump: two steps into an arc it starts a
    // second chain two steps behind, and the two add up.
    void jumpWordDuringTheArc()
    {
        GameFixture f;
        f.press(' ');
        f.tickSteps();
        f.tickSteps();
        f.say("jump");
        QCOMPARE(f.enabledSteps(), QList<int>({1, 3}));
        for (int top : {436, 432, 429, 428, 429, 432, 436, 440}) {
            f.tickSteps();
            QCOMPARE(f.guy.top(), top);
        }
        // The first chain has landed, the second goes on.
        QVERIFY(f.game.canJump);
        QCOMPARE(f.enabledSteps(), QList<int>{9});
        f.land();
        QCOMPARE(f.guy.top(), 444);
    }

    // A new game puts back the figure, the door and the key, and nothing else.
    void newGame()
    {
        GameFixture f;
        f.place(384, 18);
        f.play({"4", "gotkey", "win", "die"});
        f.game.Jump();
        Q_EMIT f.game.jump1.ticked(); // an arc under way: canJump off, jump2 waiting
        f.game.drukf2_Click();

        QCOMPARE(f.describe(),
                 QStringLiteral("0,444 facingLeft step2 step6 [door open; key picked up; "
                                "game played out: Game over; player is dead: Game over; "
                                "door closed; New game initialized]"));
        QVERIFY(!f.game.canJump);
        QCOMPARE(f.guyl.left(), 376); // the next game tick brings it over
    }

    void words_data()
    {
        scriptColumns();
        const auto row = scriptRow;
        const QPoint start(0, 444);
        row("die", start, {"die"}, "0,444 gameOver dood step6 [player is dead: Game over]");
        row("win", start, {"win"}, "0,444 gameOver goed [game played out: Game over]");
        row("gotkey", start, {"gotkey"}, "0,444 doorOpen keyTaken [door open; key picked up]");
        row("newgame", {376, 359}, {"gotkey", "win", "newgame"},
            "0,444 [door open; key picked up; game played out: Game over; door closed; "
            "New game initialized]");
        row("exit", start, {"exit"}, "0,444 exit");
        row("quit", start, {"quit"}, "0,444 end");
        row("opendoor", start, {"opendoor"}, "0,444 doorOpen [door open]");
        row("closedoor", start, {"closedoor"}, "0,444 [door closed]");
        row("goright", start, {"goright"}, "8,444");
        row("goleft", {16, 444}, {"goleft"}, "8,444 facingLeft");
        row("goup", {376, 444}, {"goup"}, "376,359");
        row("godown", {376, 359}, {"godown"}, "376,444");
        row("jump", start, {"jump"}, "0,444 step1");
        row("neither case, blanks nor parts of words", start,
            {"mul", "x", "Jump", "DIE", "jump ", " jump", "newgame\r\n", "go", "fly"}, "0,444");

        row("each door call repeats its line", start,
            {"opendoor", "opendoor", "closedoor", "closedoor"},
            "0,444 [door open; door open; door closed; door closed]");
        // A word in the inbox was typed in the console, which sent it to the
        // peer: running it tells the peer nothing more.
        row("the key again, told by the console", start, {"mul", "gotkey", "gotkey"},
            "0,444 doorOpen keyTaken [door open; key picked up; door open; key picked up]");
        row("win, then die", start, {"mul", "win", "die"},
            "0,444 gameOver goed dood step6 "
            "[game played out: Game over; player is dead: Game over]");
        row("die, then win", start, {"mul", "die", "win"},
            "0,444 gameOver goed dood step6 "
            "[player is dead: Game over; game played out: Game over]");

        // Unlike keys, words pass the hazard, the key spot, the goal and the end.
        row("through the hazard", {200, 444}, {"goright", "goright"}, "216,444");
        row("off the key spot", {16, 172}, {"goright"}, "24,172");
        row("onto the goal", {16, 18}, {"opendoor", "goleft"},
            "8,18 facingLeft doorOpen [door open]");
        row("after a death", start, {"die", "goright"},
            "8,444 gameOver dood step6 [player is dead: Game over]");

        // Only a player who pressed a key since the last new game passes one
        // on, so two copies never answer each other's "newgame" for ever.
        const char* twoNewGames =
            "0,444 [door closed; New game initialized; door closed; New game initialized]";
        row("not told of a new game alone", start, {"x", "F2", "x", "newgame"}, twoNewGames);
        row("not told without a press", start, {"mul", "F2", "newgame"}, twoNewGames);
        row("told once after a press", start, {"mul", "x", "F2", "x", "F2"},
            "0,444 [door closed; New game initialized; door closed; New game initialized] "
            "sent:newgame,newgame");
        row("the word leaves the telling to the console", start,
            {"mul", "x", "newgame", "6", "newgame", "F2"},
            "0,444 [door closed; New game initialized; door closed; New game initialized; "
            "door closed; New game initialized]");
    }

    void words()
    {
        GameFixture f;
        playRow(f);
        QCOMPARE(f.scene.Text1.text, QString());
    }

    // The labels and guyl follow even a hidden sprite, and are placed before
    // the word runs, so they show its move one tick later.
    void tickFollowsTheSprites()
    {
        GameFixture f;
        f.scene.guy.setLeft(536);
        f.scene.guy.setTop(267);
        f.scene.guy.setVisible(false);
        f.scene.guylm.setLeft(120);
        f.scene.guylm.setTop(82);

        f.say("goup");
        QCOMPARE(f.scene.redchat.box().topLeft(), QPoint(286, 255));
        QCOMPARE(f.scene.greenchat.box().topLeft(), QPoint(-130, 70));
        QCOMPARE(f.guyl.box().topLeft(), QPoint(536, 267));
        QCOMPARE(f.guy.top(), 172);
        QVERIFY(!f.guyl.isVisible());

        Q_EMIT f.game.just.ticked();
        QCOMPARE(f.guyl.top(), 172);
        QCOMPARE(f.scene.redchat.top(), 160);
    }

    // Queued words reach the inbox one per tick, in order, after a word that
    // is already there.
    void queuedWords()
    {
        GameFixture f;
        f.scene.Text1.text = QStringLiteral("goright");
        f.game.queueCommand(QStringLiteral("opendoor"));
        f.game.queueCommand(QStringLiteral("closedoor"));
        const char* const states[] = {"8,444", "8,444 doorOpen [door open]",
                                      "8,444 [door open; door closed]",
                                      "8,444 [door open; door closed]"};
        for (const char* state : states) {
            Q_EMIT f.game.just.ticked();
            QCOMPARE(f.describe(), QString::fromLatin1(state));
        }
    }

    // A second's worth of words wait; a word beyond that takes the last
    // place, so a held-down Enter stops soon after it is let go.
    void waitingWordsAreBounded()
    {
        GameFixture f;
        for (int i = 0; i < 100; ++i)
            f.game.queueCommand(QStringLiteral("goright"));
        f.game.queueCommand(QStringLiteral("opendoor"));
        for (int tick = 0; tick < 20; ++tick)
            Q_EMIT f.game.just.ticked();
        QCOMPARE(f.describe(), QStringLiteral("72,444 doorOpen [door open]"));
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
