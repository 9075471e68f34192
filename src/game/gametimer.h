// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTimer>

// A named timer with the two properties the game speaks of: Enabled and
// Interval. Interval 0 never ticks, even while enabled. Enabling a timer that
// is already enabled leaves its count running; restart() starts it afresh.
// Its tick handler is whatever listens to ticked(): the game for its own
// step timers, the two-player session for the position and chat timers.
class GameTimer final : public QObject {
    Q_OBJECT

public:
    static constexpr int MaxInterval = 65535;

    GameTimer(int interval, QObject* parent = nullptr);

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int interval() const { return m_interval; }
    // Clamped into 0..MaxInterval. A new interval starts the count anew.
    void setInterval(int ms);
    void restart();

    // True while a tick is actually due: enabled with an interval above 0.
    bool isTicking() const { return m_qtimer.isActive(); }

Q_SIGNALS:
    void ticked();

private:
    void sync();

    QTimer m_qtimer;
    int m_interval;
    bool m_enabled = false;
};
