// SPDX-License-Identifier: MIT
#pragma once

#include "devicewatch.h"
#include "direction.h"
#include "keyrepeat.h"
#include "paddriver.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <array>
#include <map>
#include <vector>

// Game controllers, as a keyboard with five keys and two menu commands. The
// D-pad and the left stick type "8", "2", "4" and "6", held ones repeating
// as held keys do; the bottom face button types a space; Start asks for a
// new game and Back/Select for the console. Every pad plugged in counts,
// and only while the game's window is the active one.
//
// Nothing is loaded until a controller is plugged in: the controller
// library and the two dozen libraries it links would add some 3.5 MB to a
// game played from the keyboard.
class Gamepad final : public QObject {
    Q_OBJECT

public:
    explicit Gamepad(QObject* parent = nullptr);
    ~Gamepad() override;

    // Before start(): where the system keeps its input devices.
    void setDeviceFolders(const QString& nodes, const QString& descriptions);
    void setKeyRepeat(int delayMs, int intervalMs);
    // A pad that no doorbell rings for is read by the clock: every `fastMs`
    // while it is played (something held, or changed in the last
    // `fastForMs`), every `slowMs` when it rests.
    void setUnwatchedClock(int fastMs, int slowMs, int fastForMs);

    void start();
    bool isStarted() const { return m_started; }
    void setActive(bool active);

    bool driverLoaded() const { return m_driver != nullptr; }
    int padCount() const { return int(m_pads.size()); }
    const DeviceWatch& devices() const { return m_watch; }
    // How often the controller library has been asked for news.
    int wakeUps() const { return m_wakeUps; }

Q_SIGNALS:
    void keyPressed(int KeyAscii);
    void newGameRequested();
    void consoleRequested();

private:
    // The D-pad's four buttons and the stick each hold a direction of their
    // own, in these places of Pad::held.
    static constexpr int UpButton = 0;
    static constexpr int DownButton = 1;
    static constexpr int LeftButton = 2;
    static constexpr int RightButton = 3;
    static constexpr int StickSource = 4;
    struct Pad {
        std::array<Direction, StickSource + 1> held{};
        int x = 0;
        int y = 0;
        bool stickMoved = false;
    };

    void devicesChanged();
    void loadDriver();
    void doorbell();
    void poll();
    void schedule();
    void handle(const PadEvent& event);
    void hold(int pad, int source, Direction direction);
    bool anythingHeld() const;

    DeviceWatch m_watch;
    KeyRepeat m_repeat;
    PadDriver* m_driver = nullptr;
    bool m_started = false;
    bool m_active = false;
    bool m_loadFailed = false;
    std::map<int, Pad> m_pads;
    std::vector<PadEvent> m_events;
    QTimer m_poll;
    QTimer m_quiet;
    QDeadlineTimer m_settling;
    QDeadlineTimer m_played;
    int m_fastMs;
    int m_slowMs;
    int m_fastForMs;
    int m_wakeUps = 0;
};
