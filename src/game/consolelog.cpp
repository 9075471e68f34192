// SPDX-License-Identifier: MIT
#include "consolelog.h"

void ConsoleLog::append(const QString& line)
{
    m_lines.push_back(line);
    if (m_lines.size() > MaxLines)
        m_lines.pop_front();
    Q_EMIT lineAppended(line);
}

QString ConsoleLog::text() const
{
    QString text;
    for (const QString& line : m_lines)
        text += line + QLatin1String("\r\n");
    return text;
}
