// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class Session;

// The row of the invitation's answer, below the router's. While this copy
// hosts with an invitation out, a field for the friend's answer, which has
// the keyboard focus: Return or OK takes what is pasted there. While a join
// answers an invitation, this copy's answer, put on the clipboard as soon as
// it is made, with a button that copies it again. Hidden otherwise.
class AnswerRow final : public QWidget {
    Q_OBJECT

public:
    AnswerRow(Session& session, QWidget* parent);

    // Whether the field waits for the friend's answer and holds some text.
    bool hasTypedAnswer() const;
    // Hands what the field holds to the session; false when it was refused
    // (the status says why) and the text stays to be mended.
    bool takeTypedAnswer();

    QLabel* label;
    QLineEdit* answer;
    QPushButton* cmdCopyAnswer;

Q_SIGNALS:
    // Shown or hidden: the dialog grows or shrinks by the row.
    void visibilityChanged(bool visible);
    // The field's text changed while it waits for an answer.
    void typedAnswerChanged();

private:
    enum class Mode { Hidden, Waiting, Answering };
    void follow();
    void copyAnswer();

    Session& m_session;
    Mode m_mode = Mode::Hidden;
    QString m_invitation; // the one the field waits to see answered
};
