// SPDX-License-Identifier: MIT
#include "sdlpaddriver.h"

#include <SDL.h>

#include <optional>

namespace {

std::optional<PadControl> controlOf(Uint8 button)
{
    switch (button) {
    case SDL_CONTROLLER_BUTTON_DPAD_UP:
        return PadControl::Up;
    case SDL_CONTROLLER_BUTTON_DPAD_DOWN:
        return PadControl::Down;
    case SDL_CONTROLLER_BUTTON_DPAD_LEFT:
        return PadControl::Left;
    case SDL_CONTROLLER_BUTTON_DPAD_RIGHT:
        return PadControl::Right;
    case SDL_CONTROLLER_BUTTON_A:
        return PadControl::South;
    case SDL_CONTROLLER_BUTTON_START:
        return PadControl::Start;
    case SDL_CONTROLLER_BUTTON_BACK:
        return PadControl::Back;
    default:
        return std::nullopt;
    }
}

} // namespace

bool SdlPadDriver::start()
{
    if (m_started)
        return true;
    // Ctrl+C and SIGTERM end the game through its own handlers; SDL's would
    // turn them into an event nobody reads.
    SDL_SetHintWithPriority(SDL_HINT_NO_SIGNAL_HANDLERS, "1", SDL_HINT_OVERRIDE);
    // "A" is the bottom face button on every pad, also on those that print
    // "A" on the right one.
    SDL_SetHint(SDL_HINT_GAMECONTROLLER_USE_BUTTON_LABELS, "0");
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0) {
        m_error = QString::fromUtf8(SDL_GetError());
        return false;
    }
    m_started = true;
    return true;
}

void SdlPadDriver::stop()
{
    if (!m_started)
        return;
    for (const auto& [instance, pad] : m_pads)
        SDL_GameControllerClose(pad);
    m_pads.clear();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    m_started = false;
}

void SdlPadDriver::open(int deviceIndex, std::vector<PadEvent>& events)
{
    if (!SDL_IsGameController(deviceIndex))
        return;
    const SDL_JoystickID instance = SDL_JoystickGetDeviceInstanceID(deviceIndex);
    // Pads present at start-up are announced again by SDL's own events.
    if (instance < 0 || m_pads.count(instance))
        return;
    SDL_GameController* pad = SDL_GameControllerOpen(deviceIndex);
    if (!pad)
        return;
    m_pads[instance] = pad;
    events.push_back({PadEvent::Attached, instance, {}, 0});
}

void SdlPadDriver::close(int instance, std::vector<PadEvent>& events)
{
    const auto found = m_pads.find(instance);
    if (found == m_pads.end())
        return;
    SDL_GameControllerClose(found->second);
    m_pads.erase(found);
    events.push_back({PadEvent::Detached, instance, {}, 0});
}

void SdlPadDriver::takeEvents(std::vector<PadEvent>& events)
{
    if (!m_started)
        return;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        switch (event.type) {
        case SDL_CONTROLLERDEVICEADDED:
            open(event.cdevice.which, events);
            break;
        case SDL_CONTROLLERDEVICEREMOVED:
            close(event.cdevice.which, events);
            break;
        case SDL_CONTROLLERBUTTONDOWN:
        case SDL_CONTROLLERBUTTONUP:
            if (!m_pads.count(event.cbutton.which))
                break;
            if (const auto control = controlOf(event.cbutton.button))
                events.push_back({PadEvent::Changed, event.cbutton.which, *control,
                                  event.cbutton.state == SDL_PRESSED ? 1 : 0});
            break;
        case SDL_CONTROLLERAXISMOTION:
            if (!m_pads.count(event.caxis.which))
                break;
            if (event.caxis.axis == SDL_CONTROLLER_AXIS_LEFTX)
                events.push_back(
                    {PadEvent::Changed, event.caxis.which, PadControl::StickX, event.caxis.value});
            else if (event.caxis.axis == SDL_CONTROLLER_AXIS_LEFTY)
                events.push_back(
                    {PadEvent::Changed, event.caxis.which, PadControl::StickY, event.caxis.value});
            break;
        default:
            break;
        }
    }
}
