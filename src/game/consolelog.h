// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <deque>

// The console's running record of game events and typed commands. It keeps
// the newest MaxLines lines and lets the oldest go, so a peer that makes the
// game log as fast as it can never makes it grow; an append costs the same
// at the millionth line as at the first.
class ConsoleLog final : public QObject {
    Q_OBJECT

public:
    // Hours of play; a log no one scrolls back through further.
    static constexpr int MaxLines = 5000;

    using QObject::QObject;

    void append(const QString& line);
    // Forgets every line: the console window they were shown in is gone.
    void clear() { m_lines.clear(); }
    // The lines kept, oldest first.
    const std::deque<QString>& lines() const { return m_lines; }
    // The lines kept, each followed by CR LF.
    QString text() const;

Q_SIGNALS:
    void lineAppended(const QString& line);

private:
    std::deque<QString> m_lines;
};
