#pragma once

#include <QObject>
#include <QString>

// The console's running record of game events and typed commands. Each line
// ends in CR LF; lines are never changed or removed. Appending is cheap
// however long the log grows: only the new line travels to the view.
class ConsoleLog final : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    void append(const QString& line);
    // The whole log, every line followed by CR LF.
    const QString& text() const { return m_text; }

signals:
    void lineAppended(const QString& line);

private:
    QString m_text;
};
