#include "consolelog.h"

void ConsoleLog::append(const QString& line)
{
    m_text += line;
    m_text += QLatin1String("\r\n");
    emit lineAppended(line);
}
