// SPDX-License-Identifier: MIT
#pragma once

#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class ConsoleLog;
class PeerLink;
class QLineEdit;
class QPushButton;

// The log area. It never keeps the keyboard: a click or tab into it hands the
// focus straight back to the command line. It shows as many lines as the log
// keeps, and lines that come in a burst are laid out together once the burst
// is over, so a flood of them costs one layout, not one each.
class LogView final : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit LogView(QWidget* parent = nullptr);

    void addLine(const QString& line);

Q_SIGNALS:
    void rtb_GotFocus();

protected:
    void focusInEvent(QFocusEvent* event) override;

private:
    // Shows the lines added since the last time; runs by itself when the
    // event loop is next free.
    void showWaitingLines();

    QStringList m_waiting;
    QTimer m_show;
};

// The console window: the log of game events and a command line that knows
// the thirteen command words.
class Console final : public QWidget {
    Q_OBJECT

public:
    // Shows the log's lines so far and every line from now on.
    Console(ConsoleLog& log, QWidget* parent = nullptr);

    void setPeer(PeerLink* peer) { m_peer = peer; }

Q_SIGNALS:
    // A recognised word, to be carried out by the local game as well.
    void commandRecognised(const QString& word);
    // The close box was used: the window and its log are done with; the
    // next line or F1 starts a new, empty one.
    void discarded();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Enter on the focused button presses it, as Space does.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ExecuteCommand();
    void ReportUnknownCommand();
    void Command1_Click();

    // Each control has its name here as its object name too.
    LogView* rtb;
    QLineEdit* command;
    QPushButton* Command1;
    ConsoleLog& m_log;
    PeerLink* m_peer = nullptr;
    bool m_placed = false;
};
