// SPDX-License-Identifier: MIT
#pragma once

// Where a pad points: one of the four ways the figure goes, or nowhere.
enum class Direction { None, Up, Down, Left, Right };

// The game's key for a direction: "8", "2", "4", "6".
int keyOf(Direction direction);

// Where the left stick points, given where it pointed before. It points
// once it is past half its travel, along its larger axis only, and keeps
// pointing until it falls back below a quarter or the other axis clearly
// takes over: a stick that rests near a threshold or near the diagonal must
// not press its keys over and over.
Direction stickDirection(Direction before, int x, int y);
