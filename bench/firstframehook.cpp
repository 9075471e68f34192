// SPDX-License-Identifier: MIT
// Linked into the game's start-up probe beside the game's own main(), which
// knows nothing of it: once the application exists, the first play surface
// that paints reports its first frame.
#include "app/sceneview.h"
#include "firstframe.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

class SceneViewFinder final : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto* view = qobject_cast<SceneView*>(watched)) {
                reportFirstFrame(view);
                QCoreApplication::instance()->removeEventFilter(this);
                deleteLater();
            }
        }
        return false;
    }
};

void watchForTheFirstFrame()
{
    QCoreApplication::instance()->installEventFilter(new SceneViewFinder);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(watchForTheFirstFrame)
