// SPDX-License-Identifier: MIT
#include "game.h"
#include "level.h"
#include "platform/platform.h"

// A climb is one move of the whole distance between two floors, and only from
// the exact floor height: in the air no ladder can be taken.
void Game::GoUp()
{
    for (const level::Ladder& ladder : level::Ladders) {
        if (guy.top() == ladder.lowerTop && ladder.covers(guy.left()))
            guy.setTop(ladder.upperTop);
    }
}

void Game::GoDown()
{
    for (const level::Ladder& ladder : level::Ladders) {
        if (guy.top() == ladder.upperTop && ladder.covers(guy.left()))
            guy.setTop(ladder.lowerTop);
    }
}

void Game::GoLeft()
{
    // The door reads the left-facing picture; it covers the whole band a jump
    // reaches on the top floor, so the door cannot be jumped past.
    const bool doorInTheWay = !doorOpen && guyl.top() <= level::DoorMaxTop &&
                              guyl.top() >= level::DoorMinTop && guyl.left() == level::DoorLeft;
    if (doorInTheWay || guy.left() == level::LeftWall) {
        m_platform.Beep();
        return;
    }
    guyl.setLeft(guy.left() - level::Step);
    guy.setVisible(false);
    guyl.setVisible(true);
    guy.setLeft(guy.left() - level::Step);
}

void Game::GoRight()
{
    if (guy.left() == level::RightWall) {
        m_platform.Beep();
        return;
    }
    guy.setLeft(guy.left() + level::Step);
    guyl.setVisible(false);
    guy.setVisible(true);
    guyl.setLeft(guy.left());
}
