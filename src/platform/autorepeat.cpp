// SPDX-License-Identifier: MIT
#include "autorepeat.h"

#include <QGuiApplication>
#include <QStyleHints>

#include <X11/XKBlib.h>

AutoRepeat desktopAutoRepeat()
{
    // Qt knows no delay, and on X11 its rate is a fixed default rather
    // than the desktop's.
    if (const auto* x11 =
            qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        unsigned delay = 0;
        unsigned interval = 0;
        if (x11->display() &&
            XkbGetAutoRepeatRate(x11->display(), XkbUseCoreKbd, &delay, &interval) && interval > 0)
            return {int(delay), int(interval)};
    }
    // Repeats a second, a fraction from Qt 6.5 on; under one is taken as
    // unknown.
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    const qreal rate = QGuiApplication::styleHints()->keyboardAutoRepeatRateF();
#else
    const qreal rate = QGuiApplication::styleHints()->keyboardAutoRepeatRate();
#endif
    return {500, rate >= 1 ? int(1000 / rate) : 33};
}
