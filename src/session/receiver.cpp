// SPDX-License-Identifier: MIT
#include "receiver.h"

#include "game/consolelog.h"
#include "game/game.h"
#include "platform/appinfo.h"
#include "platform/platform.h"

#include <algorithm>

namespace {

// Positions are shown as they come, but no farther out than this: a figure
// a million pixels away is as invisible as one at a billion, and the scene's
// arithmetic never overflows.
constexpr int FarAway = 1'000'000;

int reasonable(int coordinate)
{
    return std::clamp(coordinate, -FarAway, FarAway);
}

} // namespace

Receiver::Receiver(Game& game, Platform& platform, QObject* parent)
    : QObject(parent)
    , m_game(game)
    , m_platform(platform)
{
    connect(&m_game.wischatgr, &GameTimer::ticked, this, &Receiver::wischatgr_Timer);
    m_box.setSingleShot(true);
    m_box.setInterval(0);
    connect(&m_box, &QTimer::timeout, this, &Receiver::showBox);
}

bool Receiver::receive(QByteArrayView data)
{
    std::vector<protocol::Message> messages;
    const bool withinBounds = m_reader.feed(data, messages);
    for (protocol::Message& message : messages)
        take(std::move(message));
    return withinBounds;
}

void Receiver::take(protocol::Message message)
{
    if (m_holding) {
        m_held.add(std::move(message));
        return;
    }
    if (const auto* word = std::get_if<protocol::Word>(&message);
        word && (*word == protocol::Word::Die || *word == protocol::Word::Win)) {
        m_boxText = *word == protocol::Word::Die ? QStringLiteral("Other player died, u win")
                                                 : QStringLiteral("Other player won");
        m_holding = true;
        m_box.start();
        return;
    }
    apply(message);
}

void Receiver::showBox()
{
    m_platform.MsgBox(m_boxText, appinfo::Title);
    m_holding = false;
    for (const protocol::Message& message : m_held.takeAll())
        apply(message);
}

void Receiver::apply(const protocol::Message& message)
{
    using protocol::Word;
    if (const auto* move = std::get_if<protocol::Move>(&message)) {
        MoveRemotePlayer(*move);
        return;
    }
    if (const auto* chat = std::get_if<protocol::Chat>(&message)) {
        ShowRemoteChat(*chat);
        return;
    }
    switch (std::get<Word>(message)) {
    case Word::NewGame:
        m_game.drukf2_Click();
        break;
    case Word::GotKey:
        RemoteGotKey();
        break;
    case Word::Die:
    case Word::Win:
        break; // announced by a box, from the event loop (take())
    }
}

void Receiver::MoveRemotePlayer(const protocol::Move& move)
{
    Scene& scene = m_game.scene;
    scene.guyrm.setTop(reasonable(move.T1));
    scene.guylm.setTop(reasonable(move.T2));
    scene.guyrm.setLeft(reasonable(move.L1));
    scene.guylm.setLeft(reasonable(move.L2));
    scene.guyrm.setVisible(move.V1);
    scene.guylm.setVisible(move.V2);
}

void Receiver::ShowRemoteChat(const protocol::Chat& chat)
{
    m_peerName = chat.name;
    m_game.scene.greenchat.setCaption(chat.name + QStringLiteral(": ") + chat.line);
    // Every line gets its full five seconds, also one that follows another.
    m_game.wischatgr.restart();
}

void Receiver::wischatgr_Timer()
{
    m_game.scene.greenchat.setCaption(m_peerName);
    m_game.wischatgr.setEnabled(false);
}

// The peer took the key: the same as taking it here, but nothing goes back,
// and the log has it the other way round.
void Receiver::RemoteGotKey()
{
    m_game.scene.key.setVisible(false);
    m_game.log(QStringLiteral("key picked up"));
    m_game.OpenDoor();
}
