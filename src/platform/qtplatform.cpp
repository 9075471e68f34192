// SPDX-License-Identifier: MIT
#include "qtplatform.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

void QtPlatform::MsgBox(const QString& text, const QString& title)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    // Lines are separated by CR LF; a lone CR would show as a glyph here.
    box.setText(QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")));
    box.exec();
}

QString QtPlatform::InputBox(const QString& prompt, const QString& title)
{
    QInputDialog box(QApplication::activeWindow());
    box.setWindowTitle(title);
    box.setLabelText(prompt);
    box.setInputMode(QInputDialog::TextInput);
    // Only the text is wanted; Cancel answers with an empty line.
    return box.exec() == QDialog::Accepted ? box.textValue() : QString();
}

void QtPlatform::Beep()
{
    QApplication::beep();
}

void QtPlatform::End()
{
    // "quit" ends the game on the spot, the way a crashed-out arcade cabinet
    // would: no close handlers, no unload. The kernel closes the socket; what
    // lives outside the process is put right first.
    if (m_lastWords)
        m_lastWords();
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}
