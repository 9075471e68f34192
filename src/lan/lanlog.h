// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

// What the network room did and why: the games found and announced, with
// Avahi's own error texts; each address a join tried and how it ended; why a
// connection ended. Quiet but for warnings; QT_LOGGING_RULES="korvaloop.*=true"
// shows all.
Q_DECLARE_LOGGING_CATEGORY(lcLan)
