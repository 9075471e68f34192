// SPDX-License-Identifier: MIT
#include "direction.h"

#include <cstdlib>

namespace {

constexpr int Half = 16384;
constexpr int Quarter = 8192;
constexpr int Margin = 4096;

// How far the stick is pushed the way of a direction (negative: the other way).
int along(Direction direction, int x, int y)
{
    switch (direction) {
    case Direction::Right:
        return x;
    case Direction::Left:
        return -x;
    case Direction::Down:
        return y;
    case Direction::Up:
        return -y;
    case Direction::None:
        break;
    }
    return 0;
}

Direction larger(int x, int y)
{
    if (std::abs(x) >= std::abs(y))
        return x < 0 ? Direction::Left : Direction::Right;
    return y < 0 ? Direction::Up : Direction::Down;
}

} // namespace

int keyOf(Direction direction)
{
    switch (direction) {
    case Direction::Up:
        return '8';
    case Direction::Down:
        return '2';
    case Direction::Left:
        return '4';
    case Direction::Right:
        return '6';
    case Direction::None:
        break;
    }
    return 0;
}

Direction stickDirection(Direction before, int x, int y)
{
    const Direction now = larger(x, y);
    if (along(now, x, y) <= Half)
        return before != Direction::None && along(before, x, y) >= Quarter ? before
                                                                           : Direction::None;
    if (before == Direction::None || before == now)
        return now;
    return along(now, x, y) > along(before, x, y) + Margin ? now : before;
}
