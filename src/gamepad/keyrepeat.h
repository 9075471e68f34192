// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTimer>

// A held direction repeats as a held key does: pressed at once, again after
// the desktop's auto-repeat delay, then at its rate. One input repeats at a
// time, the one pressed last; letting go of it stops the repeat, letting go
// of another does not, as on a keyboard.
class KeyRepeat final : public QObject {
    Q_OBJECT

public:
    explicit KeyRepeat(QObject* parent = nullptr);

    void setTiming(int delayMs, int intervalMs);

    // `input` names what is held (which pad, which control), `key` what it types.
    void press(int input, int key);
    void release(int input);
    void stop();

Q_SIGNALS:
    void keyPressed(int key);

private:
    void repeat();

    QTimer m_timer;
    int m_delay = 500;
    int m_interval = 33;
    int m_input = -1;
    int m_key = 0;
};
