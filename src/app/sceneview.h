#pragma once

#include <QHash>
#include <QPixmap>
#include <QWidget>

class Scene;

// Paints the scene back to front, and only the parts that changed. It never
// takes the keyboard: key presses belong to the main window.
class SceneView final : public QWidget {
    Q_OBJECT

public:
    explicit SceneView(const Scene& scene, QWidget* parent = nullptr);

    // Paints the whole scene; the view's own painting and the benchmark use it.
    void render(QPainter& painter, const QRect& area);

signals:
    void guyClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    const QPixmap& picture(const QString& path);

    const Scene& m_scene;
    QHash<QString, QPixmap> m_pictures;
};
