// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

// What the network room tried on the LAN and why it failed, with the
// libraries' own error texts. Quiet by default; a player who wants to see it
// starts the game with QT_LOGGING_RULES="korvaloop.lan.info=true".
Q_DECLARE_LOGGING_CATEGORY(lcLan)
