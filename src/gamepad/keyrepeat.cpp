// SPDX-License-Identifier: MIT
#include "keyrepeat.h"

#include <algorithm>

KeyRepeat::KeyRepeat(QObject* parent)
    : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &KeyRepeat::repeat);
}

void KeyRepeat::setTiming(int delayMs, int intervalMs)
{
    m_delay = std::max(delayMs, 0);
    m_interval = std::max(intervalMs, 1);
}

void KeyRepeat::press(int input, int key)
{
    m_input = input;
    m_key = key;
    m_timer.start(m_delay);
    Q_EMIT keyPressed(key);
}

void KeyRepeat::release(int input)
{
    if (input == m_input)
        stop();
}

void KeyRepeat::stop()
{
    m_timer.stop();
    m_input = -1;
}

void KeyRepeat::repeat()
{
    if (m_timer.interval() != m_interval)
        m_timer.start(m_interval);
    Q_EMIT keyPressed(m_key);
}
