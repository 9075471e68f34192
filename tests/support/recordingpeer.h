// SPDX-License-Identifier: MIT
#pragma once

#include "game/peerlink.h"

#include <QStringList>

// Stands in for the connection: remembers every message instead of sending it.
class RecordingPeer final : public PeerLink {
public:
    int State() const override { return state; }
    void SendData(const QString& text) override { sent.append(text); }

    int state = SockState::Connected;
    QStringList sent;
};
