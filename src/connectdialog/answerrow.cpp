// SPDX-License-Identifier: MIT
#include "answerrow.h"

#include "session/session.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

AnswerRow::AnswerRow(Session& session, QWidget* parent)
    : QWidget(parent)
    , label(new QLabel(QStringLiteral("&Answer:"), this))
    , answer(new QLineEdit(this))
    , cmdCopyAnswer(new QPushButton(QStringLiteral("C&opy"), this))
    , m_session(session)
{
    label->setGeometry(8, 5, 52, 17);
    label->setBuddy(answer);
    answer->setGeometry(60, 3, 140, 21);
    answer->setMaxLength(1024); // a code is some 60 to 320 characters
    cmdCopyAnswer->setGeometry(204, 2, 49, 23);
    cmdCopyAnswer->setAutoDefault(false);
    cmdCopyAnswer->setToolTip(QStringLiteral("Copy your answer again, to send it to the host"));
    hide();

    connect(cmdCopyAnswer, &QPushButton::clicked, this, &AnswerRow::copyAnswer);
    connect(answer, &QLineEdit::textChanged, this, [this] {
        if (m_mode == Mode::Waiting)
            Q_EMIT typedAnswerChanged();
    });
    connect(&m_session, &Session::reachChanged, this, &AnswerRow::follow);
    connect(&m_session, &Session::answerChanged, this, &AnswerRow::follow);
    connect(&m_session, &Session::stateChanged, this, &AnswerRow::follow);
    follow();
}

bool AnswerRow::hasTypedAnswer() const
{
    return m_mode == Mode::Waiting && answer->isEnabled() && !answer->text().trimmed().isEmpty();
}

bool AnswerRow::takeTypedAnswer()
{
    if (!hasTypedAnswer() || !m_session.takeAnswer(answer->text()))
        return false;
    answer->setEnabled(false);
    Q_EMIT typedAnswerChanged();
    return true;
}

void AnswerRow::follow()
{
    const QString invitation = m_session.reach().invitation;
    const Mode mode = !invitation.isEmpty()           ? Mode::Waiting
                      : !m_session.answer().isEmpty() ? Mode::Answering
                                                      : Mode::Hidden;
    if (mode == Mode::Waiting && (m_mode != Mode::Waiting || invitation != m_invitation)) {
        // A new invitation waits for its own answer.
        m_invitation = invitation;
        answer->clear();
        answer->setReadOnly(false);
        answer->setEnabled(true);
        answer->setPlaceholderText(QStringLiteral("your friend's answer"));
        answer->setToolTip(QStringLiteral(
            "Paste the answer your friend's game made from your invitation, then press Return"));
        cmdCopyAnswer->hide();
        answer->setFocus();
    } else if (mode == Mode::Answering &&
               (m_mode != Mode::Answering || answer->text() != m_session.answer())) {
        answer->setText(m_session.answer());
        answer->setReadOnly(true);
        answer->setEnabled(true);
        answer->setPlaceholderText({});
        answer->setToolTip(QStringLiteral("Your answer: send it to the host, whose game "
                                          "opens the path when it is pasted there"));
        answer->setCursorPosition(0);
        cmdCopyAnswer->show();
        copyAnswer();
    }
    if (mode == m_mode)
        return;
    m_mode = mode;
    setVisible(mode != Mode::Hidden);
    Q_EMIT visibilityChanged(mode != Mode::Hidden);
}

void AnswerRow::copyAnswer()
{
    if (!m_session.answer().isEmpty())
        QGuiApplication::clipboard()->setText(m_session.answer());
}
