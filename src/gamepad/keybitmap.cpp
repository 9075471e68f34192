// SPDX-License-Identifier: MIT
#include "keybitmap.h"

#include <QList>

#include <climits>

namespace {

// Button codes of <linux/input-event-codes.h> that only joysticks and
// gamepads have: BTN_JOYSTICK to BTN_DEAD, BTN_SOUTH to BTN_THUMBR, the
// D-pad buttons and the extra buttons of dance pads and arcade sticks.
struct Range {
    int first, last;
};
constexpr Range ControllerButtons[] = {
    {0x120, 0x12f}, {0x130, 0x13e}, {0x220, 0x223}, {0x2c0, 0x2e7}};

} // namespace

bool hasControllerButton(const QByteArray& bitmap)
{
    constexpr int WordBits = int(sizeof(long)) * CHAR_BIT;
    const QList<QByteArray> words = bitmap.trimmed().split(' ');
    for (qsizetype i = 0; i < words.size(); ++i) {
        bool ok = false;
        const qulonglong word = words[words.size() - 1 - i].toULongLong(&ok, 16);
        if (!ok || word == 0)
            continue;
        for (int bit = 0; bit < WordBits; ++bit) {
            if (!(word >> bit & 1))
                continue;
            const int code = int(i) * WordBits + bit;
            for (const Range& range : ControllerButtons)
                if (range.first <= code && code <= range.last)
                    return true;
        }
    }
    return false;
}
