// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QtPlugin>

#include <vector>

// The controls of a pad that the game listens to, by where they sit on the
// pad rather than by what is printed on them.
enum class PadControl { Up, Down, Left, Right, South, Start, Back, StickX, StickY };

// One thing that happened on a pad. Pads are told apart by a number the
// driver gives each one for as long as it stays plugged in.
struct PadEvent {
    enum Kind { Attached, Detached, Changed };
    Kind kind = Changed;
    int pad = 0;
    PadControl control = PadControl::South;
    // Buttons: 1 down, 0 up. The stick: -32768 (left, up) to 32767 (right, down).
    int value = 0;
};

// The controller library behind the room. It is a plug-in of its own,
// loaded only once a controller shows up, so that a game played from the
// keyboard never loads the library or what it links.
class PadDriver {
public:
    virtual ~PadDriver() = default;
    virtual bool start() = 0;
    virtual void stop() = 0;
    // Appends what happened since the last call, oldest first.
    virtual void takeEvents(std::vector<PadEvent>& events) = 0;
    virtual QString lastError() const = 0;
};

#define KORVALOOP_PAD_DRIVER_IID "org.korvaloop.Korvaloop.PadDriver/1"
Q_DECLARE_INTERFACE(PadDriver, KORVALOOP_PAD_DRIVER_IID)
