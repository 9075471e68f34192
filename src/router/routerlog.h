// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

// What the router was asked and what came back, with the libraries' own
// error texts. Quiet by default; a player who wants to see it starts the game
// with QT_LOGGING_RULES="korvaloop.router.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcRouter)
