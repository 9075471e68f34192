// SPDX-License-Identifier: MIT
#include "gametimer.h"

#include <algorithm>

GameTimer::GameTimer(int interval, QObject* parent)
    : QObject(parent)
    , m_interval(std::clamp(interval, 0, MaxInterval))
{
    m_qtimer.setTimerType(Qt::PreciseTimer);
    connect(&m_qtimer, &QTimer::timeout, this, &GameTimer::ticked);
}

void GameTimer::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    sync();
}

void GameTimer::setInterval(int ms)
{
    m_interval = std::clamp(ms, 0, MaxInterval);
    m_qtimer.stop();
    sync();
}

void GameTimer::restart()
{
    m_enabled = true;
    m_qtimer.stop();
    sync();
}

void GameTimer::sync()
{
    if (m_enabled && m_interval > 0) {
        if (!m_qtimer.isActive())
            m_qtimer.start(m_interval);
    } else {
        m_qtimer.stop();
    }
}
