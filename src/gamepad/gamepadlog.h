// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

// Which devices were taken as game controllers and which were not, and why.
// Quiet but for warnings; QT_LOGGING_RULES="korvaloop.*=true" shows all.
Q_DECLARE_LOGGING_CATEGORY(lcGamepad)
