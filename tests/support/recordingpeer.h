// SPDX-License-Identifier: MIT
#pragma once

#include "game/peerlink.h"

#include <QStringList>

// Stands in for the connection: remembers every message instead of sending it.
class RecordingPeer final : public PeerLink {
public:
    ConnectionState state() const override { return connection; }
    void SendData(const QString& text) override { sent.append(text); }

    ConnectionState connection = ConnectionState::Connected;
    QStringList sent;
};
