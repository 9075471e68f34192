// SPDX-License-Identifier: MIT
#pragma once

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <cstdio>

// For the start-up benchmark only: writes "painted" to standard output once
// the widget has painted its first frame.
inline void reportFirstFrame(QWidget* widget)
{
    struct Watcher final : QObject {
        using QObject::QObject;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Paint) {
                // Reported once the paint event has been handled.
                QTimer::singleShot(0, [] {
                    std::puts("painted");
                    std::fflush(stdout);
                });
                deleteLater();
            }
            return false;
        }
    };
    widget->installEventFilter(new Watcher(widget));
}
