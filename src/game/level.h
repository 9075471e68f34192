// SPDX-License-Identifier: MIT
#pragma once

#include <array>

// The whole level is these numbers: the player's sprite position (its Left
// and Top) is matched against them exactly. The background picture is drawn
// to agree with them; nothing reads the picture.
namespace level {

inline constexpr int Step = 8; // one walking step, in pixels

// Top of a sprite standing on each floor, bottom floor first.
inline constexpr int Floor1 = 444;
inline constexpr int Floor2 = 359;
inline constexpr int Floor3 = 267;
inline constexpr int Floor4 = 172;
inline constexpr int Floor5 = 82;
inline constexpr int Floor6 = 18;

struct Ladder {
    int lowerTop;
    int upperTop;
    int minLeft; // the stretch of guy.Left that stands on it, both ends included
    int maxLeft;

    constexpr bool covers(int left) const { return minLeft <= left && left <= maxLeft; }
};

// In the order the climbs test them; with these stretches no climb can match
// two ladders in a row.
inline constexpr std::array<Ladder, 5> Ladders{{
    {Floor1, Floor2, 367, 386},
    {Floor2, Floor3, 119, 139},
    {Floor3, Floor4, 533, 553},
    {Floor4, Floor5, 202, 222},
    {Floor5, Floor6, 379, 399},
}};

inline constexpr int LeftWall = 0;    // a step left from here is refused
inline constexpr int RightWall = 624; // a step right from here is refused

// The door on the top floor refuses a step left from its column while it is
// closed, for the whole band of heights a jump can reach up there.
inline constexpr int DoorLeft = 80;
inline constexpr int DoorMinTop = 0;
inline constexpr int DoorMaxTop = 18;

inline constexpr int HazardTop = Floor1;
inline constexpr int HazardMinLeft = 200;
inline constexpr int HazardMaxLeft = 230;

inline constexpr int KeySpotLeft = 16;
inline constexpr int KeySpotTop = Floor4;

inline constexpr int GoalLeft = 8;
inline constexpr int GoalTop = Floor6;

inline constexpr int StartLeft = 0;
inline constexpr int StartTop = Floor1;

} // namespace level
