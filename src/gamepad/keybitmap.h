// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>

// Whether an input device's key bitmap, as the kernel writes it in
// /sys/class/input/eventN/device/capabilities/key (hexadecimal words of a
// long, the highest first), holds a button only joysticks and gamepads have.
// Anything else in it (a word that is no number, a bitmap cut short) counts
// for nothing.
bool hasControllerButton(const QByteArray& bitmap);
