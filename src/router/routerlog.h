// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

// What the router was asked and what came back, with the libraries' own
// error texts. Quiet but for warnings; a player who wants to see it starts the
// game with QT_LOGGING_RULES="korvaloop.*=true", as for every room's log.
Q_DECLARE_LOGGING_CATEGORY(lcRouter)
