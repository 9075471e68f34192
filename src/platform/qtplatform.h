// SPDX-License-Identifier: MIT
#pragma once

#include "platform.h"

class QtPlatform final : public Platform {
public:
    void MsgBox(const QString& text, const QString& title) override;
    QString InputBox(const QString& prompt, const QString& title) override;
    void Beep() override;
    [[noreturn]] void End() override;
};
