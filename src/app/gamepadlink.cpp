// SPDX-License-Identifier: MIT
#include "gamepadlink.h"

#include "form1.h"
#include "gamepad/gamepad.h"
#include "platform/autorepeat.h"
#include "sceneview.h"

#include <QAction>
#include <QEvent>
#include <QPointer>
#include <QTimer>

namespace {

class Link final : public QObject {
public:
    Link(QWidget& window, QWidget& view, Gamepad& gamepad)
        : QObject(&window)
        , m_window(window)
        , m_view(view)
        , m_gamepad(&gamepad)
    {
        window.installEventFilter(this);
        view.installEventFilter(this);
    }

protected:
    // Also called while the window is being taken apart: the event's type
    // is looked at first.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ActivationChange && watched == &m_window && m_gamepad)
            m_gamepad->setActive(m_window.isActiveWindow());
        if (event->type() == QEvent::Paint && watched == &m_view) {
            m_view.removeEventFilter(this);
            // Once the frame is on the screen.
            QTimer::singleShot(0, m_gamepad, [gamepad = m_gamepad] {
                const AutoRepeat repeat = desktopAutoRepeat();
                gamepad->setKeyRepeat(repeat.delayMs, repeat.intervalMs);
                gamepad->start();
            });
        }
        return false;
    }

private:
    QWidget& m_window;
    QWidget& m_view;
    QPointer<Gamepad> m_gamepad;
};

} // namespace

void linkGamepad(Form1& form)
{
    Gamepad* gamepad = form.gamepad;
    QObject::connect(gamepad, &Gamepad::keyPressed, &form.game, &Game::Form_KeyPress);
    QObject::connect(gamepad, &Gamepad::newGameRequested, form.drukf2, &QAction::trigger);
    QObject::connect(gamepad, &Gamepad::consoleRequested, form.con, &QAction::trigger);
    new Link(form, *form.view, *gamepad);
}
