// SPDX-License-Identifier: MIT
#include "console.h"

#include "game/commandwords.h"
#include "game/consolelog.h"
#include "game/peerlink.h"
#include "platform/uifont.h"
#include "platform/window.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include <limits>

LogView::LogView(QWidget* parent)
    : QPlainTextEdit(parent)
{
    setMaximumBlockCount(ConsoleLog::MaxLines);
    m_show.setSingleShot(true);
    m_show.setInterval(0);
    connect(&m_show, &QTimer::timeout, this, &LogView::showWaitingLines);
}

void LogView::addLine(const QString& line)
{
    m_waiting.append(line);
    // The view would drop the older ones at once anyway.
    if (m_waiting.size() > ConsoleLog::MaxLines)
        m_waiting.removeFirst();
    m_show.start();
}

void LogView::showWaitingLines()
{
    m_show.stop();
    if (m_waiting.isEmpty())
        return;
    appendPlainText(m_waiting.join(QLatin1Char('\n')));
    m_waiting.clear();
}

void LogView::focusInEvent(QFocusEvent* event)
{
    QPlainTextEdit::focusInEvent(event);
    Q_EMIT rtb_GotFocus();
}

Console::Console(ConsoleLog& log, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , rtb(new LogView(this))
    , command(new QLineEdit(this))
    , Command1(new QPushButton(QStringLiteral("Ok"), this))
    , m_log(log)
{
    rtb->setObjectName(QStringLiteral("rtb"));
    command->setObjectName(QStringLiteral("command"));
    Command1->setObjectName(QStringLiteral("Command1"));
    setWindowTitle(QStringLiteral("Korvaloop Console"));
    setFixedSize(403, 481);

    rtb->setGeometry(1, 0, 401, 453);
    rtb->setFont(uiFont(8.25));
    rtb->setReadOnly(true);
    rtb->setUndoRedoEnabled(false);
    rtb->setTabChangesFocus(true);
    // The log may hold lines from before this window was made.
    QStringList earlier;
    for (const QString& line : log.lines())
        earlier.append(line);
    rtb->setPlainText(earlier.join(QLatin1Char('\n')));

    command->setGeometry(2, 456, 329, 22);
    command->setMaxLength(std::numeric_limits<int>::max()); // a pasted page is echoed whole
    command->setStyleSheet(QStringLiteral("QLineEdit { background: rgb(224, 224, 224); }"));

    Command1->setGeometry(336, 456, 64, 22);
    Command1->setToolTip(QStringLiteral("(Enter)"));
    Command1->setAutoDefault(false);
    Command1->installEventFilter(this);

    setTabOrder(rtb, command);
    setTabOrder(command, Command1);
    // Focus given to the window itself goes on to the command line.
    setFocusProxy(command);

    connect(&log, &ConsoleLog::lineAppended, rtb, &LogView::addLine);
    connect(command, &QLineEdit::returnPressed, this, &Console::ExecuteCommand);
    connect(Command1, &QPushButton::clicked, this, &Console::Command1_Click);
    connect(rtb, &LogView::rtb_GotFocus, this, [this] { command->setFocus(); });
}

void Console::ExecuteCommand()
{
    const QString text = command->text();
    if (text.isEmpty())
        return;
    m_log.append(text);
    if (!isCommandWord(text)) {
        ReportUnknownCommand();
        return;
    }
    if (m_peer && m_peer->state() == ConnectionState::Connected)
        m_peer->SendData(text);
    Q_EMIT commandRecognised(text);
}

void Console::ReportUnknownCommand()
{
    m_log.append(QLatin1Char('\'') + command->text() +
                 QLatin1String("' is not recognized as an internal command"));
    command->clear();
}

void Console::Command1_Click()
{
    ExecuteCommand();
    command->setFocus();
}

void Console::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_placed) {
        centreOnScreen(this);
        m_placed = true;
    }
    command->setFocus();
}

void Console::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    m_log.clear();
    Q_EMIT discarded();
}

bool Console::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Command1 && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            Command1->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
