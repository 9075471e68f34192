// SPDX-License-Identifier: MIT
#include "sceneview.h"

#include "game/scene.h"
#include "platform/uifont.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

namespace {

constexpr qsizetype MostCharactersShown = 1024;

template <class... Ts> struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

} // namespace

SceneView::SceneView(const Scene& scene, QWidget* parent)
    : QWidget(parent)
    , m_scene(scene)
{
    setFixedSize(Scene::Width, Scene::Height);
    setFocusPolicy(Qt::NoFocus);
    // Every pixel is painted from the background picture up.
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(&scene, &Scene::changed, this, qOverload<const QRect&>(&QWidget::update));

    QStringList paths{QString::fromLatin1(Scene::Background)};
    for (const SceneObject* object : scene.drawOrder())
        if (const auto* look = std::get_if<PictureLook>(&object->look()))
            paths.append(look->image);
    m_decoding = std::async(std::launch::async, [paths] {
        QHash<QString, QImage> pictures;
        for (const QString& path : paths)
            pictures.insert(path,
                            QImage(path).convertToFormat(QImage::Format_ARGB32_Premultiplied));
        return pictures;
    });
}

const QImage& SceneView::picture(const QString& path)
{
    if (m_decoding.valid())
        m_pictures = m_decoding.get();
    static const QImage none;
    const auto it = m_pictures.constFind(path);
    return it == m_pictures.cend() ? none : *it;
}

void SceneView::render(QPainter& painter, const QRect& area)
{
    // Pixel art stays crisp when the screen scales it up.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.drawImage(area, picture(QString::fromLatin1(Scene::Background)), area);

    for (const SceneObject* object : m_scene.drawOrder()) {
        if (!object->isVisible() || !object->box().intersects(area))
            continue;
        const QRect box = object->box();
        std::visit(Overloaded{
                       [&](const PictureLook& look) {
                           painter.drawImage(box.topLeft(), picture(look.image));
                       },
                       [&](const RectangleLook& look) {
                           // The outline is the box's outer pixel ring, filled
                           // rather than stroked so it scales without smearing.
                           if (look.outline) {
                               painter.fillRect(box, Qt::black);
                               painter.fillRect(box.adjusted(1, 1, -1, -1), look.fill);
                           } else {
                               painter.fillRect(box, look.fill);
                           }
                       },
                       [&](const LabelLook& look) {
                           if (object->caption().isEmpty())
                               return;
                           // A label shows only what fits its box; a long chat
                           // line wraps and its further lines stay hidden.
                           painter.save();
                           painter.setClipRect(box);
                           painter.setFont(uiFont(look.pointSize, look.bold, look.underline));
                           painter.setPen(look.colour);
                           const int flags =
                               look.centred ? Qt::AlignHCenter | Qt::TextWordWrap : Qt::AlignLeft;
                           // No box shows more than a line of a few hundred
                           // characters: a peer's 64 KiB line is not laid out whole.
                           painter.drawText(box, flags | Qt::AlignTop,
                                            object->caption().left(MostCharactersShown));
                           painter.restore();
                       },
                   },
                   object->look());
    }
}

void SceneView::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    render(painter, event->rect());
}

void SceneView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && m_scene.guy.isVisible() &&
        m_scene.guy.box().contains(event->position().toPoint()))
        Q_EMIT guyClicked();
    QWidget::mousePressEvent(event);
}
