// SPDX-License-Identifier: MIT
#pragma once

// What the user interface's event loop is held for while something runs:
// the longest single event the program handles (TimedApplication), and the
// longest gap between the ticks of a timer that asks to tick every
// millisecond (StallWatch), which also counts the machine's own pauses.
#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <vector>

class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        QElapsedTimer clock;
        clock.start();
        // Read before: the event may delete its receiver.
        const int type = event->type();
        const char* className = receiver ? receiver->metaObject()->className() : "nothing";
        const bool handled = QApplication::notify(receiver, event);
        const qint64 took = clock.nsecsElapsed();
        if (QThread::currentThread() == thread() && took > longestEvent) {
            longestEvent = took;
            longestWhat = QStringLiteral("%1, event %2").arg(QLatin1String(className)).arg(type);
        }
        return handled;
    }

    qint64 longestEvent = 0;
    // Whose event that was, and its type.
    QString longestWhat;
};

// Runs the event loop until `done` or `patienceMs`.
class StallWatch {
public:
    explicit StallWatch(qint64 patienceMs)
        : m_patienceMs(patienceMs)
    {
        m_tick.setTimerType(Qt::PreciseTimer);
        m_tick.setInterval(1);
        QObject::connect(&m_tick, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, m_sinceTick.nsecsElapsed());
            m_sinceTick.restart();
        });
    }

    // `action` runs inside the watch: its own time counts.
    bool run(const std::function<void()>& action, const std::function<bool()>& done)
    {
        auto* app = dynamic_cast<TimedApplication*>(QCoreApplication::instance());
        const qint64 eventsBefore = app ? std::exchange(app->longestEvent, 0) : 0;
        m_sinceTick.start();
        m_tick.start();
        QElapsedTimer clock;
        clock.start();
        action();
        m_longestAction = std::max(m_longestAction, clock.nsecsElapsed());
        QElapsedTimer waited;
        waited.start();
        while (!done() && waited.elapsed() < m_patienceMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        m_tick.stop();
        m_watched += waited.elapsed();
        if (app) {
            m_longestEvent = std::max(m_longestEvent, app->longestEvent);
            app->longestEvent = std::max(app->longestEvent, eventsBefore);
        }
        return done();
    }

    void idle(qint64 ms)
    {
        QElapsedTimer waited;
        waited.start();
        run([] {}, [&] { return waited.elapsed() >= ms; });
    }

    // The longest gap between ticks, the longest action, the longest event
    // handled while it watched.
    double longestMs() const { return double(m_longest) / 1e6; }
    double longestActionMs() const { return double(m_longestAction) / 1e6; }
    double longestEventMs() const { return double(m_longestEvent) / 1e6; }
    qint64 watchedMs() const { return m_watched; }

private:
    qint64 m_patienceMs;
    QTimer m_tick;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
    qint64 m_longestAction = 0;
    qint64 m_longestEvent = 0;
    qint64 m_watched = 0;
};

// -1 when there is nothing to take the middle of.
inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1.0 : values[values.size() / 2];
}
