// SPDX-License-Identifier: MIT
#pragma once

#include "gametimer.h"
#include "scene.h"

#include <QObject>
#include <QString>

#include <deque>

class ConsoleLog;
class PeerLink;
class Platform;

// The rules of the game: the scene, the four rule flags, the fourteen timers,
// and the procedures that walk, jump, take the key, open the door, win, die
// and start anew. No widgets here: the main window shows the scene and hands
// its key presses in.
class Game final : public QObject {
    Q_OBJECT

public:
    Game(ConsoleLog& log, Platform& platform, QObject* parent = nullptr);

    Scene scene;

    // The rule flags.
    bool canJump = false;
    bool gameOver = false;
    bool doorOpen = false;
    bool hasPlayed = false;

    GameTimer just{100};
    GameTimer jump1{100}, jump2{100}, jump3{100}, jump4{100}, jump5{100};
    GameTimer Timer1{100}, Timer2{100}, Timer3{100}, Timer4{100}, Timer5{100};
    // Heard by the two-player session: on each tick of mul it sends our
    // position, and it keeps mul enabled exactly while a connection is up;
    // wischatr and wischatgr put the name tags back 5 s after a chat line.
    GameTimer mul{100};
    GameTimer wischatr{5000};
    GameTimer wischatgr{5000};

    // The connection to the other player, or none.
    void setPeer(PeerLink* peer) { m_peer = peer; }

    // Appends a line to the console log.
    void log(const QString& line);

    // The status entry of the menu bar.
    const QString& scoreid() const { return m_scoreid; }

    // Keyboard
    void Form_KeyPress(int KeyAscii);

    // Walking and ladders
    void GoUp();
    void GoDown();
    void GoLeft();
    void GoRight();

    // The jump: five rise steps (jump1..jump5) and five fall steps
    // (Timer1..Timer5), one 100 ms timer each.
    void Jump();

    // Game events
    void GotKey();
    void OpenDoor();
    void Win();
    void drukf2_Click();

    // The command inbox, which the game tick (just) reads.
    // Words typed in the console wait here and go into the inbox one per
    // tick. At most a second's worth wait: a word beyond that takes the place
    // of the last one waiting, so a held-down Enter stops when it is let go.
    static constexpr std::size_t MaxWaitingCommands = 10;
    void queueCommand(const QString& word);

Q_SIGNALS:
    void scoreidChanged(const QString& caption);
    // The command word "exit": hide the console.
    void exitRequested();

private:
    // The timers' ticks.
    void jump1_Timer();
    void jump2_Timer();
    void jump3_Timer();
    void jump4_Timer();
    void jump5_Timer();
    void Timer1_Timer();
    void Timer2_Timer();
    void Timer3_Timer();
    void Timer4_Timer();
    void Timer5_Timer();
    void just_Timer();

    void CloseDoor();
    // The player dies.
    void val();
    void RunCommand();
    // Sends only while a link exists; whether to send at all is the caller's rule.
    void sendToPeer(const QString& text);
    // Whether a procedure tells the peer what it did: only while connected,
    // and not for a word from the inbox, which the console has sent already.
    bool tellsPeer() const { return mul.isEnabled() && !m_runningInbox; }
    void step(GameTimer& self, int dy, GameTimer* next);
    void setScoreid(const QString& caption);

    // The scene objects the rules speak of, by their own names.
    SceneObject& guy = scene.guy;
    SceneObject& guyl = scene.guyl;
    SceneObject& key = scene.key;
    SceneObject& Shape2 = scene.Shape2;
    SceneObject& Shape3 = scene.Shape3;
    SceneObject& goed = scene.goed;
    SceneObject& dood = scene.dood;
    TextBox& Text1 = scene.Text1;

    ConsoleLog& m_log;
    Platform& m_platform;
    PeerLink* m_peer = nullptr;
    QString m_scoreid = QStringLiteral("Frimsel gepakt: Nee");
    std::deque<QString> m_pendingCommands;
    bool m_runningInbox = false;
};
