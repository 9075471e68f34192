// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

// The connection's states and the status lines the player is shown. Quiet
// but for warnings; QT_LOGGING_RULES="korvaloop.*=true" shows all.
Q_DECLARE_LOGGING_CATEGORY(lcSession)
