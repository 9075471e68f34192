// SPDX-License-Identifier: MIT
#pragma once

#include "platform/platform.h"

#include <QList>
#include <QPair>
#include <QStringList>

#include <functional>

// Records what the game asks of the platform instead of blocking on a box or
// ending the test program.
class RecordingPlatform final : public Platform {
public:
    void MsgBox(const QString& text, const QString& title) override
    {
        boxes.append({text, title});
        if (onMsgBox)
            onMsgBox();
    }
    QString InputBox(const QString& prompt, const QString& title) override
    {
        inputs.append({prompt, title});
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    void Beep() override { ++beeps; }
    void End() override { ++ends; }

    QList<QPair<QString, QString>> boxes;  // text, title
    QList<QPair<QString, QString>> inputs; // prompt, title
    QStringList answers;                   // what the input box answers, in turn
    std::function<void()> onMsgBox;        // runs while a box would be open
    int beeps = 0;
    int ends = 0;
};
