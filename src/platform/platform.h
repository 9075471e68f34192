// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Everything that would block a test or end its process goes through here: the
// program uses QtPlatform, tests use a recording double.
class Platform {
public:
    virtual ~Platform() = default;

    // A modal box with an OK button only; returns when it is dismissed.
    virtual void MsgBox(const QString& text, const QString& title) = 0;
    // A modal input box with an empty default; Cancel gives an empty text.
    virtual QString InputBox(const QString& prompt, const QString& title) = 0;
    virtual void Beep() = 0;
    // Ends the program at once: no window gets to close or unload first.
    virtual void End() = 0;
};
