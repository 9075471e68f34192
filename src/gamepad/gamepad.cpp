// SPDX-License-Identifier: MIT
#include "gamepad.h"

#include "gamepadlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QPluginLoader>

namespace {

// SDL's state is the process's: one window's controllers at a time.
const Gamepad* owner = nullptr;

// How often the pads are read when no doorbell rings for them: at 60 Hz
// while the game is played with them, so a press is seen within 20 ms; and
// once it rests, at 15 Hz, so that resting costs little more than idling and
// the first press after it is seen within 70 ms.
constexpr int PlayedPollMs = 16;
constexpr int RestingPollMs = 64;
// A pad rests once nothing on it has changed for this long.
constexpr int PlayedForMs = 3000;
// How often, and how long, the controller library is asked after a device
// came or went: it learns of a new pad a little after its node appears.
constexpr int SettlePollMs = 100;
constexpr int SettleMs = 2000;
// A pad that reports without pause is read at most this often.
constexpr int QuietMs = 8;

} // namespace

Gamepad::Gamepad(QObject* parent)
    : QObject(parent)
    , m_settling(0)
    , m_played(0)
    , m_fastMs(PlayedPollMs)
    , m_slowMs(RestingPollMs)
    , m_fastForMs(PlayedForMs)
{
    m_poll.setTimerType(Qt::PreciseTimer);
    m_quiet.setSingleShot(true);
    m_quiet.setTimerType(Qt::PreciseTimer);
    connect(&m_poll, &QTimer::timeout, this, &Gamepad::poll);
    connect(&m_quiet, &QTimer::timeout, &m_watch, &DeviceWatch::resume);
    connect(&m_repeat, &KeyRepeat::keyPressed, this, &Gamepad::keyPressed);
    connect(&m_watch, &DeviceWatch::changed, this, &Gamepad::devicesChanged);
    connect(&m_watch, &DeviceWatch::rang, this, &Gamepad::doorbell);
}

Gamepad::~Gamepad()
{
    if (m_driver)
        m_driver->stop();
    if (owner == this)
        owner = nullptr;
}

void Gamepad::setDeviceFolders(const QString& nodes, const QString& descriptions)
{
    m_watch.setFolders(nodes, descriptions);
}

void Gamepad::setKeyRepeat(int delayMs, int intervalMs)
{
    m_repeat.setTiming(delayMs, intervalMs);
}

void Gamepad::setUnwatchedClock(int fastMs, int slowMs, int fastForMs)
{
    m_fastMs = qMax(1, fastMs);
    m_slowMs = qMax(m_fastMs, slowMs);
    m_fastForMs = qMax(0, fastForMs);
    schedule();
}

void Gamepad::start()
{
    if (m_started)
        return;
    m_started = true;
    m_watch.start();
    devicesChanged();
}

void Gamepad::setActive(bool active)
{
    m_active = active;
    if (!active)
        m_repeat.stop();
    schedule();
}

void Gamepad::devicesChanged()
{
    if (!m_driver && m_watch.controllerPresent())
        loadDriver();
    if (!m_driver)
        return;
    m_settling.setRemainingTime(SettleMs);
    poll();
}

void Gamepad::loadDriver()
{
    if (m_loadFailed || (owner && owner != this))
        return;
    // Beside the program's own folder (bin/ or games/), as installed and as
    // built: lib/korvaloop/plugins/.
    const QString path =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(KORVALOOP_PAD_DRIVER));
    QPluginLoader loader(path);
    auto* driver = qobject_cast<PadDriver*>(loader.instance());
    if (!driver) {
        qCWarning(lcGamepad, "Game controllers cannot be used: %s",
                  qPrintable(loader.errorString()));
        m_loadFailed = true;
        return;
    }
    if (!driver->start()) {
        qCWarning(lcGamepad, "Game controllers cannot be used: %s",
                  qPrintable(driver->lastError()));
        m_loadFailed = true;
        return;
    }
    owner = this;
    m_driver = driver;
    qCInfo(lcGamepad, "Game controllers are read through %s", qPrintable(path));
}

void Gamepad::doorbell()
{
    poll();
    m_watch.pause();
    m_quiet.start(QuietMs);
}

void Gamepad::poll()
{
    if (!m_driver)
        return;
    ++m_wakeUps;
    m_events.clear();
    m_driver->takeEvents(m_events);
    for (const PadEvent& event : m_events)
        handle(event);
    if (!m_events.empty())
        m_played.setRemainingTime(m_fastForMs);
    // The stick's two axes come as two events of one report: where it points
    // is decided from both, or a stick pushed up and a little right would
    // step right before it climbs.
    for (auto& [number, pad] : m_pads) {
        if (!pad.stickMoved)
            continue;
        pad.stickMoved = false;
        hold(number, StickSource, stickDirection(pad.held[StickSource], pad.x, pad.y));
    }
    schedule();
}

void Gamepad::schedule()
{
    if (!m_driver)
        return;
    // Pads no doorbell rings for are read by the clock: more pads than
    // doorbells means that some pad's node could not be opened, or that the
    // library reads a pad through a device that has none.
    // While something is held the clock stays fast, so that letting go
    // stops the repeat at once.
    const bool unwatched = padCount() > m_watch.doorbells();
    int interval = 0;
    if (unwatched)
        interval = m_active && (!m_played.hasExpired() || anythingHeld()) ? m_fastMs : m_slowMs;
    if (!m_settling.hasExpired())
        interval = interval == 0 ? SettlePollMs : qMin(interval, SettlePollMs);
    if (interval == 0)
        m_poll.stop();
    else if (!m_poll.isActive() || m_poll.interval() != interval)
        m_poll.start(interval);
}

void Gamepad::handle(const PadEvent& event)
{
    switch (event.kind) {
    case PadEvent::Attached:
        m_pads[event.pad];
        return;
    case PadEvent::Detached:
        if (m_pads.count(event.pad)) {
            for (int source = 0; source <= StickSource; ++source)
                hold(event.pad, source, Direction::None);
            m_pads.erase(event.pad);
        }
        return;
    case PadEvent::Changed:
        break;
    }
    const auto found = m_pads.find(event.pad);
    if (found == m_pads.end())
        return;
    Pad& pad = found->second;
    const bool down = event.value != 0;
    switch (event.control) {
    case PadControl::Up:
        hold(event.pad, UpButton, down ? Direction::Up : Direction::None);
        break;
    case PadControl::Down:
        hold(event.pad, DownButton, down ? Direction::Down : Direction::None);
        break;
    case PadControl::Left:
        hold(event.pad, LeftButton, down ? Direction::Left : Direction::None);
        break;
    case PadControl::Right:
        hold(event.pad, RightButton, down ? Direction::Right : Direction::None);
        break;
    case PadControl::StickX:
    case PadControl::StickY:
        (event.control == PadControl::StickX ? pad.x : pad.y) = event.value;
        pad.stickMoved = true;
        break;
    case PadControl::South:
        if (down && m_active)
            Q_EMIT keyPressed(' ');
        break;
    case PadControl::Start:
        if (down && m_active)
            Q_EMIT newGameRequested();
        break;
    case PadControl::Back:
        if (down && m_active)
            Q_EMIT consoleRequested();
        break;
    }
}

// What is held is followed also while the window is not active, so that a
// button let go of then does not count as held later; only what is pressed
// while it is active types.
void Gamepad::hold(int pad, int source, Direction direction)
{
    Direction& held = m_pads[pad].held[source];
    if (held == direction)
        return;
    const int input = pad * (StickSource + 1) + source;
    if (held != Direction::None)
        m_repeat.release(input);
    held = direction;
    if (direction != Direction::None && m_active)
        m_repeat.press(input, keyOf(direction));
}

bool Gamepad::anythingHeld() const
{
    for (const auto& [number, pad] : m_pads)
        for (const Direction direction : pad.held)
            if (direction != Direction::None)
                return true;
    return false;
}
