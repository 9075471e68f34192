// SPDX-License-Identifier: MIT
#pragma once

#include <QFont>

// The game's texts were laid out for a small bitmap sans-serif; on Linux the
// closest installed face at the same point size stands in for it.
QFont uiFont(qreal pointSize, bool bold = false, bool underline = false);
