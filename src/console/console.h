#pragma once

#include <QPlainTextEdit>
#include <QWidget>

class ConsoleLog;
class PeerLink;
class QLineEdit;
class QPushButton;

// The log area. It never keeps the keyboard: a click or tab into it hands the
// focus straight back to the command line.
class LogView final : public QPlainTextEdit {
    Q_OBJECT

public:
    using QPlainTextEdit::QPlainTextEdit;

signals:
    void rtb_GotFocus();

protected:
    void focusInEvent(QFocusEvent* event) override;
};

// The console window: the log of game events and a command line that knows
// the thirteen command words.
class Console final : public QWidget {
    Q_OBJECT

public:
    // Shows the log's lines so far and every line from now on.
    Console(ConsoleLog& log, QWidget* parent = nullptr);

    void setPeer(PeerLink* peer) { m_peer = peer; }

    void ExecuteCommand();
    void ReportUnknownCommand();
    void Command1_Click();

    LogView* rtb;
    QLineEdit* command;
    QPushButton* Command1;

signals:
    // A recognised word, to be carried out by the local game as well.
    void commandRecognised(const QString& word);

protected:
    void showEvent(QShowEvent* event) override;

private:
    ConsoleLog& m_log;
    PeerLink* m_peer = nullptr;
    bool m_placed = false;
};
