// SPDX-License-Identifier: MIT
#include "scene.h"

Scene::Scene(QObject* parent)
    : QObject(parent)
{
    goed.setCaption(QStringLiteral("Goed Gedaan!"));
    dood.setCaption(QStringLiteral("Game Over!"));
}

SceneObject::SceneObject(Scene* scene, QRect box, bool visible, Look look)
    : m_scene(scene)
    , m_box(box)
    , m_visible(visible)
    , m_look(std::move(look))
{
}

void SceneObject::changing()
{
    if (m_visible)
        Q_EMIT m_scene->changed(m_box);
}

void SceneObject::setLeft(int left)
{
    if (left == m_box.left())
        return;
    changing();
    m_box.moveLeft(left);
    changing();
}

void SceneObject::setTop(int top)
{
    if (top == m_box.top())
        return;
    changing();
    m_box.moveTop(top);
    changing();
}

void SceneObject::setVisible(bool visible)
{
    if (visible == m_visible)
        return;
    m_visible = visible;
    // Shown or uncovered: the box is painted anew either way.
    Q_EMIT m_scene->changed(m_box);
}

void SceneObject::setCaption(const QString& caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    changing();
}
