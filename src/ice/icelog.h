// SPDX-License-Identifier: MIT
#pragma once

#include <QLoggingCategory>

// The ICE path: gathering, the codes, the checks, the stream and its end, with
// libnice's and GLib's own texts (their log for libnice's domains is routed
// here). Quiet but for warnings; QT_LOGGING_RULES="korvaloop.*=true" shows it.
Q_DECLARE_LOGGING_CATEGORY(lcIce)

namespace ice {
// Sends GLib's log for libnice's domains into lcIce, and turns libnice's own
// debug output on exactly when lcIce's debug level is, so nothing of it goes
// to stdout. Idempotent.
void routeLibraryLog();
} // namespace ice
