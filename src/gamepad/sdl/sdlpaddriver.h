// SPDX-License-Identifier: MIT
#pragma once

#include "gamepad/paddriver.h"

#include <QObject>

#include <map>

struct _SDL_GameController;

// Game controllers through SDL's GameController API, which knows the
// buttons of hundreds of pads from its mapping database and takes the
// mappings a launcher hands over in SDL_GAMECONTROLLERCONFIG. Only SDL's
// controller subsystem runs: no SDL window, no sound.
class SdlPadDriver final : public QObject, public PadDriver {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID KORVALOOP_PAD_DRIVER_IID)
    Q_INTERFACES(PadDriver)

public:
    bool start() override;
    void stop() override;
    void takeEvents(std::vector<PadEvent>& events) override;
    QString lastError() const override { return m_error; }

private:
    void open(int deviceIndex, std::vector<PadEvent>& events);
    void close(int instance, std::vector<PadEvent>& events);

    bool m_started = false;
    std::map<int, _SDL_GameController*> m_pads; // by SDL's instance id
    QString m_error;
};
