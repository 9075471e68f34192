// SPDX-License-Identifier: MIT
#include "game.h"

// A jump is a chain of one-shot steps: each step timer moves the figure,
// switches itself off and switches the next one on. Nothing else stops a
// chain, so it runs to its end across a death or a new game.

void Game::Jump()
{
    jump1.setEnabled(true);
}

void Game::step(GameTimer& self, int dy, GameTimer* next)
{
    guy.setTop(guy.top() + dy);
    self.setEnabled(false);
    if (next)
        next->setEnabled(true);
}

void Game::jump1_Timer()
{
    canJump = false;
    step(jump1, -2, &jump2);
}

// One step of the jump a line each: the chain reads as a table.
// clang-format off
void Game::jump2_Timer() { step(jump2, -2, &jump3); }
void Game::jump3_Timer() { step(jump3, -2, &jump4); }
void Game::jump4_Timer() { step(jump4, -2, &jump5); }
void Game::jump5_Timer() { step(jump5, -1, &Timer1); }

void Game::Timer1_Timer() { step(Timer1, +1, &Timer2); }
void Game::Timer2_Timer() { step(Timer2, +2, &Timer3); }
void Game::Timer3_Timer() { step(Timer3, +2, &Timer4); }
void Game::Timer4_Timer() { step(Timer4, +2, &Timer5); }
// clang-format on

void Game::Timer5_Timer()
{
    step(Timer5, +2, nullptr);
    canJump = true;
}
