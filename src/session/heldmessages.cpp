// SPDX-License-Identifier: MIT
#include "heldmessages.h"

#include <algorithm>

qsizetype HeldMessages::cost(const protocol::Message& message)
{
    qsizetype bytes = qsizetype(sizeof(Held));
    if (const auto* chat = std::get_if<protocol::Chat>(&message))
        bytes += (chat->line.size() + chat->name.size()) * qsizetype(sizeof(QChar));
    return bytes;
}

void HeldMessages::add(protocol::Message message)
{
    if (const auto* move = std::get_if<protocol::Move>(&message)) {
        m_move = *move;
        return;
    }
    if (const auto* word = std::get_if<protocol::Word>(&message);
        word && (*word == protocol::Word::Die || *word == protocol::Word::Win))
        return;
    m_bytes += cost(message);
    auto& queue = std::holds_alternative<protocol::Chat>(message) ? m_chats : m_words;
    queue.push_back({m_next++, std::move(message)});
    keepWithinBound();
}

void HeldMessages::keepWithinBound()
{
    while (m_bytes > MaxBytes && !m_chats.empty()) {
        m_bytes -= cost(m_chats.front().message);
        m_chats.pop_front();
    }
    if (m_bytes > MaxBytes)
        collapseWords();
}

// A run of key pickups and new games ends where its last of each leaves the
// game: the rest only repeat what those two do.
void HeldMessages::collapseWords()
{
    std::deque<Held> kept;
    for (auto it = m_words.rbegin(); it != m_words.rend(); ++it) {
        if (std::none_of(kept.begin(), kept.end(),
                         [&](const Held& held) { return held.message == it->message; }))
            kept.push_front(*it);
    }
    for (const Held& held : m_words)
        m_bytes -= cost(held.message);
    for (const Held& held : kept)
        m_bytes += cost(held.message);
    m_words = std::move(kept);
}

std::vector<protocol::Message> HeldMessages::takeAll()
{
    std::vector<protocol::Message> all;
    all.reserve(m_chats.size() + m_words.size() + 1);
    auto chat = m_chats.begin();
    auto word = m_words.begin();
    while (chat != m_chats.end() || word != m_words.end()) {
        const bool chatFirst =
            word == m_words.end() || (chat != m_chats.end() && chat->order < word->order);
        all.push_back(std::move((chatFirst ? chat++ : word++)->message));
    }
    // A position only says where the figure is now.
    if (m_move)
        all.emplace_back(*m_move);
    *this = HeldMessages();
    return all;
}
