// SPDX-License-Identifier: MIT
#pragma once

#include "game/consolelog.h"
#include "game/game.h"
#include "recordingpeer.h"
#include "recordingplatform.h"

#include <QList>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>

#include <algorithm>

// The ten step timers in chain order; a test ticks one by emitting its ticked().
inline constexpr GameTimer Game::*StepTimers[10] = {
    &Game::jump1,  &Game::jump2,  &Game::jump3,  &Game::jump4,  &Game::jump5,
    &Game::Timer1, &Game::Timer2, &Game::Timer3, &Game::Timer4, &Game::Timer5,
};

inline QStringList lines(std::initializer_list<const char*> texts)
{
    QStringList list;
    for (const char* text : texts)
        list << QString::fromLatin1(text);
    return list;
}

// Rows of a table test: where the figure starts, what is played, and what a
// player then sees (GameFixture::describe()).
inline void scriptColumns()
{
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("after");
}

inline void scriptRow(const char* name, QPoint at, std::initializer_list<const char*> script,
                      const char* after)
{
    QTest::newRow(name) << at << lines(script) << QString::fromLatin1(after);
}

// A game as the main window has it right after start-up, with a peer attached
// that only hears anything once game.mul is enabled.
struct GameFixture {
    ConsoleLog log;
    RecordingPlatform platform;
    RecordingPeer peer;
    Game game{log, platform};
    Scene& scene = game.scene;
    const SceneObject& guy = game.scene.guy;
    const SceneObject& guyl = game.scene.guyl;
    QSignalSpy exits{&game, &Game::exitRequested};

    GameFixture()
    {
        game.canJump = true;
        game.setPeer(&peer);
    }

    // Puts both pictures on the spot, as a game tick would after getting there.
    void place(int left, int top)
    {
        for (SceneObject* picture : {&scene.guy, &scene.guyl}) {
            picture->setLeft(left);
            picture->setTop(top);
        }
    }

    void press(int code, int times = 1)
    {
        for (int i = 0; i < times; ++i)
            game.Form_KeyPress(code);
    }

    // Writes a word into the command inbox and lets the game tick take it.
    void say(const QString& word)
    {
        scene.Text1.text = word;
        Q_EMIT game.just.ticked();
    }

    // A one-character entry is a key press, "F2" the menu's new game and "mul"
    // the link to the peer coming up; anything else goes through the inbox.
    void play(const QStringList& script)
    {
        for (const QString& entry : script) {
            if (entry.size() == 1)
                press(entry.at(0).unicode());
            else if (entry == QLatin1String("F2"))
                game.drukf2_Click();
            else if (entry == QLatin1String("mul"))
                game.mul.setEnabled(true);
            else
                say(entry);
        }
    }

    QStringList logLines() const
    {
        QStringList list = log.text().split(QStringLiteral("\r\n"));
        list.removeLast(); // every line ends in CR LF, so the last piece is empty
        return list;
    }

    // What a player would notice of the game, in one line, to compare whole.
    QString describe() const
    {
        QStringList parts{QStringLiteral("%1,%2").arg(guy.left()).arg(guy.top())};
        auto flag = [&parts](const char* name, bool on) {
            if (on)
                parts << QString::fromLatin1(name);
        };
        flag("facingLeft", guyl.isVisible());
        flag("doorOpen", game.doorOpen);
        flag("barsAmiss", scene.Shape2.isVisible() == scene.Shape3.isVisible() ||
                              scene.Shape3.isVisible() != game.doorOpen);
        flag("keyTaken", !scene.key.isVisible());
        flag("Ja", game.scoreid() == QLatin1String("Frimsel gepakt: Ja"));
        flag("gameOver", game.gameOver);
        flag("goed", scene.goed.isVisible());
        flag("dood", scene.dood.isVisible());
        for (int step : enabledSteps())
            parts << QStringLiteral("step%1").arg(step);
        if (platform.beeps > 0)
            parts << QStringLiteral("beeps:%1").arg(platform.beeps);
        flag("end", platform.ends > 0);
        flag("exit", exits.count() > 0);
        if (!logLines().isEmpty())
            parts << QLatin1Char('[') + logLines().join(QLatin1String("; ")) + QLatin1Char(']');
        if (!peer.sent.isEmpty())
            parts << QLatin1String("sent:") + peer.sent.join(QLatin1Char(','));
        return parts.join(QLatin1Char(' '));
    }

    // Step numbers 1..10 whose timers are enabled.
    QList<int> enabledSteps() const
    {
        QList<int> steps;
        for (int i = 0; i < 10; ++i) {
            if ((game.*StepTimers[i]).isEnabled())
                steps.append(i + 1);
        }
        return steps;
    }

    // One 100 ms period of the step timers: every enabled one fires once, and
    // one enabled during the period waits for the next. Two chains never stand
    // on the same step; the one started later is behind and fires later in
    // the period, so the steps fire from the last backwards.
    int tickSteps()
    {
        QList<int> due = enabledSteps();
        std::reverse(due.begin(), due.end());
        for (int step : due) {
            GameTimer& timer = game.*StepTimers[step - 1];
            Q_EMIT timer.ticked();
        }
        return int(due.size());
    }

    // Runs the step timers until none is left.
    void land()
    {
        for (int periods = 0; periods < 100 && tickSteps() > 0; ++periods) {
        }
    }
};

// Plays the current row of a scriptColumns() table on a fresh game and checks
// what it shows; the game is left for further checks.
inline void playRow(GameFixture& f)
{
    QFETCH(QPoint, at);
    QFETCH(QStringList, script);
    QFETCH(QString, after);
    f.place(at.x(), at.y());
    f.play(script);
    QCOMPARE(f.describe(), after);
}
