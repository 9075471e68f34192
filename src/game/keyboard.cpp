// SPDX-License-Identifier: MIT
#include "game.h"
#include "level.h"

namespace {

bool inHazard(const SceneObject& guy)
{
    return guy.top() == level::HazardTop && level::HazardMinLeft <= guy.left() &&
           guy.left() <= level::HazardMaxLeft;
}

bool onKeySpot(const SceneObject& guy)
{
    return guy.left() == level::KeySpotLeft && guy.top() == level::KeySpotTop;
}

bool atGoal(const SceneObject& guy)
{
    return guy.top() == level::GoalTop && guy.left() == level::GoalLeft;
}

} // namespace

// The hazard and the key spot look at where the player stood before the key's
// action, the goal at where it stands after. So walking into the hazard does
// not kill yet, the next key press there does; and the key is taken at the
// press after stepping onto its spot.
void Game::Form_KeyPress(int KeyAscii)
{
    hasPlayed = true;
    if (gameOver)
        return;

    if (inHazard(guy)) {
        val();
        return;
    }
    if (onKeySpot(guy))
        GotKey();

    switch (KeyAscii) {
    case ' ':
        if (canJump)
            Jump();
        break;
    case '8':
        GoUp();
        break;
    case '2':
        GoDown();
        break;
    case '6':
        GoRight();
        break;
    case '4':
        GoLeft();
        break;
    default:
        break;
    }

    if (atGoal(guy))
        Win();

    setScoreid(doorOpen ? QStringLiteral("Frimsel gepakt: Ja")
                        : QStringLiteral("Frimsel gepakt: Nee"));
}
