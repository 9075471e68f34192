// SPDX-License-Identifier: MIT
#include "game.h"
#include "platform/platform.h"

#include <QScopedValueRollback>

void Game::just_Timer()
{
    // The chat labels are 500 wide with centred text, so this centres the
    // text on the sprite's left edge, 12 pixels above its head.
    scene.redchat.setTop(guy.top() - 12);
    scene.redchat.setLeft(guy.left() - 250);
    scene.greenchat.setTop(scene.guylm.top() - 12);
    scene.greenchat.setLeft(scene.guylm.left() - 250);

    // Climbs and jump steps move guy alone; the left-facing picture catches up
    // here.
    guyl.setTop(guy.top());
    guyl.setLeft(guy.left());

    if (Text1.text.isEmpty() && !m_pendingCommands.empty()) {
        Text1.text = m_pendingCommands.front();
        m_pendingCommands.pop_front();
    }
    if (!Text1.text.isEmpty())
        RunCommand();
}

void Game::queueCommand(const QString& word)
{
    if (m_pendingCommands.size() == MaxWaitingCommands)
        m_pendingCommands.back() = word;
    else
        m_pendingCommands.push_back(word);
}

// Every word is tested, in this order, even after a match. The words act
// without any of the keyboard's checks: after a win or a death too, and
// "jump" whether or not a jump is running. The inbox holds only words typed
// in the console, which has sent them to the peer itself: running them here
// sends nothing more.
void Game::RunCommand()
{
    const QScopedValueRollback inbox(m_runningInbox, true);
    const QString& word = Text1.text;
    if (word == QLatin1String("die"))
        val();
    if (word == QLatin1String("win"))
        Win();
    if (word == QLatin1String("gotkey"))
        GotKey();
    if (word == QLatin1String("newgame"))
        drukf2_Click();
    if (word == QLatin1String("exit"))
        Q_EMIT exitRequested();
    if (word == QLatin1String("quit"))
        m_platform.End();
    if (word == QLatin1String("opendoor"))
        OpenDoor();
    if (word == QLatin1String("closedoor"))
        CloseDoor();
    if (word == QLatin1String("goright"))
        GoRight();
    if (word == QLatin1String("goleft"))
        GoLeft();
    if (word == QLatin1String("goup"))
        GoUp();
    if (word == QLatin1String("godown"))
        GoDown();
    if (word == QLatin1String("jump"))
        Jump();
    Text1.text.clear();
}
