// SPDX-License-Identifier: MIT
#pragma once

#include "wire/protocol.h"

#include <QtGlobal>

#include <deque>
#include <optional>
#include <vector>

// What the peer sends while a "die" or "win" box is up, kept until the box is
// dismissed. The connection is read on all the while, so a peer that keeps
// sending is never left waiting long enough to give up on us; what is kept
// stays within a bound in bytes instead:
//  - of the positions only the newest, which is all a position is good for;
//  - chat lines and words in the order they came, within MaxBytes in all,
//    letting the oldest chat lines go first;
//  - a key pickup or a new game is never lost: once only words are left and
//    they outgrow the bound, they are kept as what they come to, the last
//    "gotkey" and the last "newgame" in the order they came.
// A "die" or "win" is not kept: the player is looking at the box already.
class HeldMessages {
public:
    static constexpr qsizetype MaxBytes = 1024 * 1024;

    void add(protocol::Message message);
    // Everything kept, in the order it is to be applied; empties the store.
    std::vector<protocol::Message> takeAll();

    // The memory the kept messages take, as the bound counts it.
    qsizetype bytes() const { return m_bytes; }
    bool isEmpty() const { return m_chats.empty() && m_words.empty() && !m_move; }

private:
    struct Held {
        quint64 order;
        protocol::Message message;
    };

    static qsizetype cost(const protocol::Message& message);
    void keepWithinBound();
    void collapseWords();

    std::optional<protocol::Move> m_move;
    std::deque<Held> m_chats;
    std::deque<Held> m_words;
    quint64 m_next = 0;
    qsizetype m_bytes = 0;
};
