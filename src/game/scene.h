// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QObject>
#include <QRect>
#include <QString>

#include <array>
#include <variant>

class Scene;

struct PictureLook {
    QString image; // resource path of a picture with a transparent background
};

struct RectangleLook {
    QColor fill;
    bool outline; // a one-pixel black outline inside the box
};

struct LabelLook {
    QColor colour;
    qreal pointSize;
    bool bold;
    bool underline;
    bool centred; // centred text wraps at word boundaries; only the box shows
};

using Look = std::variant<PictureLook, RectangleLook, LabelLook>;

// One named thing on the play surface. Its box never changes size; the rules
// move it, show or hide it and change its caption, and the scene says so.
class SceneObject {
public:
    SceneObject(Scene* scene, QRect box, bool visible, Look look);
    SceneObject(const SceneObject&) = delete;
    SceneObject& operator=(const SceneObject&) = delete;

    int left() const { return m_box.left(); }
    int top() const { return m_box.top(); }
    int width() const { return m_box.width(); }
    int height() const { return m_box.height(); }
    QRect box() const { return m_box; }
    bool isVisible() const { return m_visible; }
    const QString& caption() const { return m_caption; }
    const Look& look() const { return m_look; }

    void setLeft(int left);
    void setTop(int top);
    void setVisible(bool visible);
    void setCaption(const QString& caption);

private:
    void changing(); // before and after a change, so both old and new area repaint

    Scene* m_scene;
    QRect m_box;
    bool m_visible;
    Look m_look;
    QString m_caption;
};

// A text field nobody sees; only its text is used.
struct TextBox {
    QString text;
};

// Every object of the main window's play surface, with its start state.
class Scene final : public QObject {
    Q_OBJECT

public:
    explicit Scene(QObject* parent = nullptr);

    // One object a line, as a table.
    // clang-format off
    SceneObject guy{this, {0, 444, 34, 35}, true, PictureLook{QStringLiteral(":/art/guy.png")}};
    SceneObject guyl{this, {60, 426, 34, 35}, false, PictureLook{QStringLiteral(":/art/guyl.png")}};
    SceneObject guyrm{this, {168, 328, 35, 38}, false, PictureLook{QStringLiteral(":/art/guyrm.png")}};
    SceneObject guylm{this, {184, 328, 35, 38}, false, PictureLook{QStringLiteral(":/art/guylm.png")}};
    SceneObject key{this, {5, 164, 54, 41}, true, PictureLook{QStringLiteral(":/art/key.png")}};
    SceneObject Shape1{this, {47, 17, 26, 32}, true, RectangleLook{QColor(255, 0, 0), true}};
    SceneObject Shape2{this, {73, 17, 7, 32}, true, RectangleLook{QColor(255, 255, 0), true}};
    SceneObject Shape3{this, {73, 12, 32, 7}, false, RectangleLook{QColor(255, 255, 0), true}};
    SceneObject Shape5{this, {197, 475, 34, 7}, true, RectangleLook{QColor(255, 255, 255), false}};
    SceneObject goed{this, {208, 230, 243, 39}, false, LabelLook{QColor(0, 192, 0), 24, true, true, false}};
    SceneObject dood{this, {217, 223, 198, 41}, false, LabelLook{QColor(255, 0, 0), 24, true, true, false}};
    SceneObject redchat{this, {48, 336, 500, 17}, true, LabelLook{QColor(255, 0, 0), 8.25, false, false, true}};
    SceneObject greenchat{this, {104, 336, 500, 17}, true, LabelLook{QColor(0, 255, 0), 8.25, false, false, true}};
    // clang-format on

    // The command inbox: the game tick carries out a word written here.
    TextBox Text1;

    static constexpr int Width = 640;
    static constexpr int Height = 480;
    static constexpr auto Background = ":/art/background.png";

    // Back to front: the chat lines lie over everything, the peer over the
    // local player, the key, banners and door bars over the local player.
    const std::array<const SceneObject*, 13>& drawOrder() const { return m_drawOrder; }

Q_SIGNALS:
    // An area of the play surface that must be painted again.
    void changed(const QRect& area);

private:
    friend class SceneObject;

    std::array<const SceneObject*, 13> m_drawOrder{&guyl,   &Shape5,  &guy,      &Shape1, &Shape2,
                                                   &Shape3, &dood,    &goed,     &key,    &guylm,
                                                   &guyrm,  &redchat, &greenchat};
};
