// SPDX-License-Identifier: MIT
#include "gamepadlink.h"

#include "form1.h"
#include "gamepad/gamepad.h"
#include "platform/autorepeat.h"
#include "sceneview.h"

#include <QAction>
#include <QEvent>
#include <QTimer>

namespace {

class Link final : public QObject {
public:
    explicit Link(Form1& form)
        : QObject(&form)
        , m_form(form)
    {
        form.installEventFilter(this);
        form.view->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &m_form && event->type() == QEvent::ActivationChange)
            m_form.gamepad->setActive(m_form.isActiveWindow());
        if (watched == m_form.view && event->type() == QEvent::Paint) {
            m_form.view->removeEventFilter(this);
            // Once the frame is on the screen.
            QTimer::singleShot(0, m_form.gamepad, [gamepad = m_form.gamepad] {
                const AutoRepeat repeat = desktopAutoRepeat();
                gamepad->setKeyRepeat(repeat.delayMs, repeat.intervalMs);
                gamepad->start();
            });
        }
        return false;
    }

private:
    Form1& m_form;
};

} // namespace

void linkGamepad(Form1& form)
{
    Gamepad* gamepad = form.gamepad;
    QObject::connect(gamepad, &Gamepad::keyPressed, &form.game, &Game::Form_KeyPress);
    QObject::connect(gamepad, &Gamepad::newGameRequested, form.drukf2, &QAction::trigger);
    QObject::connect(gamepad, &Gamepad::consoleRequested, form.con, &QAction::trigger);
    new Link(form);
}
