// SPDX-License-Identifier: MIT
#pragma once

#include "platform.h"

#include <functional>

class QtPlatform final : public Platform {
public:
    void MsgBox(const QString& text, const QString& title) override;
    QString InputBox(const QString& prompt, const QString& title) override;
    void Beep() override;
    [[noreturn]] void End() override;

    // What must still happen when End() cuts everything short: things the
    // game left outside the process, such as a forward on the home router.
    // Bounded in time by whoever gives it.
    void setLastWords(std::function<void()> lastWords) { m_lastWords = std::move(lastWords); }

private:
    std::function<void()> m_lastWords;
};
