// SPDX-License-Identifier: MIT
#include "game.h"
#include "level.h"

void Game::OpenDoor()
{
    doorOpen = true;
    Shape2.setVisible(false);
    Shape3.setVisible(true);
    log(QStringLiteral("door open"));
}

void Game::CloseDoor()
{
    doorOpen = false;
    Shape3.setVisible(false);
    Shape2.setVisible(true);
    log(QStringLiteral("door closed"));
}

// Taking the key again repeats everything, the message to the peer included.
void Game::GotKey()
{
    if (tellsPeer())
        sendToPeer(QStringLiteral("gotkey"));
    OpenDoor();
    key.setVisible(false);
    log(QStringLiteral("key picked up"));
}

void Game::Win()
{
    goed.setVisible(true);
    gameOver = true;
    log(QStringLiteral("game played out: Game over"));
}

// The player dies: the figure sinks through the floor on the fall steps of a
// jump.
void Game::val()
{
    Timer1.setEnabled(true);
    dood.setVisible(true);
    gameOver = true;
    log(QStringLiteral("player is dead: Game over"));
}

// A new game is passed on only by a player who has played since the last one,
// so the peer's answer to our "newgame" does not bounce back and forth.
void Game::drukf2_Click()
{
    if (tellsPeer() && hasPlayed)
        sendToPeer(QStringLiteral("newgame"));
    dood.setVisible(false);
    goed.setVisible(false);
    guy.setTop(level::StartTop);
    guy.setLeft(level::StartLeft);
    gameOver = false;
    CloseDoor();
    key.setVisible(true);
    log(QStringLiteral("New game initialized"));
    hasPlayed = false;
}
