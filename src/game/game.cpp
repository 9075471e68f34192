// SPDX-License-Identifier: MIT
#include "game.h"

#include "game/consolelog.h"
#include "peerlink.h"

Game::Game(ConsoleLog& log, Platform& platform, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_platform(platform)
{
    connect(&just, &GameTimer::ticked, this, &Game::just_Timer);
    connect(&jump1, &GameTimer::ticked, this, &Game::jump1_Timer);
    connect(&jump2, &GameTimer::ticked, this, &Game::jump2_Timer);
    connect(&jump3, &GameTimer::ticked, this, &Game::jump3_Timer);
    connect(&jump4, &GameTimer::ticked, this, &Game::jump4_Timer);
    connect(&jump5, &GameTimer::ticked, this, &Game::jump5_Timer);
    connect(&Timer1, &GameTimer::ticked, this, &Game::Timer1_Timer);
    connect(&Timer2, &GameTimer::ticked, this, &Game::Timer2_Timer);
    connect(&Timer3, &GameTimer::ticked, this, &Game::Timer3_Timer);
    connect(&Timer4, &GameTimer::ticked, this, &Game::Timer4_Timer);
    connect(&Timer5, &GameTimer::ticked, this, &Game::Timer5_Timer);
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
    Q_EMIT scoreidChanged(caption);
}
