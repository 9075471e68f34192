// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>
#include <QImage>
#include <QWidget>

#include <future>

class Scene;

// Paints the scene back to front, and only the parts that changed. It never
// takes the keyboard: key presses belong to the main window.
class SceneView final : public QWidget {
    Q_OBJECT

public:
    explicit SceneView(const Scene& scene, QWidget* parent = nullptr);

    // Paints the whole scene; the view's own painting and the benchmark use it.
    void render(QPainter& painter, const QRect& area);

Q_SIGNALS:
    void guyClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    const QImage& picture(const QString& path);

    const Scene& m_scene;
    // The pictures are decoded on another thread while the window is being
    // built, and taken over at the first paint.
    std::future<QHash<QString, QImage>> m_decoding;
    QHash<QString, QImage> m_pictures;
};
