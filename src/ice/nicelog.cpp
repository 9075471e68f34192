// SPDX-License-Identifier: MIT
#include <nice/debug.h> // libnice, before Qt

#include "icelog.h"

#include <glib.h>

#include <mutex>

namespace {

void toCategory(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer)
{
    const char* from = domain ? domain : "glib";
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
        qCWarning(lcIce, "%s: %s", from, message);
    else if (level & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO))
        qCInfo(lcIce, "%s: %s", from, message);
    else
        qCDebug(lcIce, "%s: %s", from, message);
}

} // namespace

namespace ice {

void routeLibraryLog()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const auto levels =
            GLogLevelFlags(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
        for (const char* domain : {"libnice", "libnice-stun", "libnice-pseudotcp",
                                   "libnice-pseudotcp-verbose", "libnice-socket", "GLib-GIO"})
            g_log_set_handler(domain, levels, toCategory, nullptr);
        if (lcIce().isDebugEnabled())
            nice_debug_enable(TRUE);
        else
            nice_debug_disable(TRUE);
    });
}

} // namespace ice
