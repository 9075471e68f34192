// SPDX-License-Identifier: MIT
#include "game.h"

#include "game/consolelog.h"
#include "peerlink.h"

Game::Game(ConsoleLog& log, Platform& platform, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_platform(platform)
{
    just.onTick([this] { just_Timer(); });
    jump1.onTick([this] { jump1_Timer(); });
    jump2.onTick([this] { jump2_Timer(); });
    jump3.onTick([this] { jump3_Timer(); });
    jump4.onTick([this] { jump4_Timer(); });
    jump5.onTick([this] { jump5_Timer(); });
    Timer1.onTick([this] { Timer1_Timer(); });
    Timer2.onTick([this] { Timer2_Timer(); });
    Timer3.onTick([this] { Timer3_Timer(); });
    Timer4.onTick([this] { Timer4_Timer(); });
    Timer5.onTick([this] { Timer5_Timer(); });
    just.setEnabled(true);
}

void Game::sendToPeer(const QString& text)
{
    if (m_peer)
        m_peer->SendData(text);
}

void Game::log(const QString& line)
{
    m_log.append(line);
}

void Game::setScoreid(const QString& caption)
{
    if (caption == m_scoreid)
        return;
    m_scoreid = caption;
    emit scoreidChanged(caption);
}
