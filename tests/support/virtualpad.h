// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <SDL.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

// Stand-ins for /dev/input and /sys/class/input: each device a link to a
// character device for its node, which the game watches as it watches a
// real pad's node, and the key bitmap the kernel would describe it with. A
// pad's node is the far end of a pseudo-terminal of the stand-in's own: it
// becomes readable when the near end is written to, as a pad's node does
// when the pad reports.
class InputFolders {
public:
    InputFolders()
    {
        QDir(m_root.path()).mkpath(QStringLiteral("input"));
        QDir(m_root.path()).mkpath(QStringLiteral("class"));
    }

    QString nodes() const { return m_root.filePath(QStringLiteral("input")); }
    QString descriptions() const { return m_root.filePath(QStringLiteral("class")); }
    QString nodePath(const QString& node) const { return nodes() + QLatin1Char('/') + node; }

    // Bitmaps as a pad's (BTN_SOUTH to BTN_THUMBR) and as a keyboard's.
    static constexpr const char* PadKeys = "7fff000000000000 0 0 0 0";
    static constexpr const char* KeyboardKeys = "fffffffffffffffe";

    // The description first: the kernel has it before the node appears.
    // Returns the node's writing end, which rings it.
    int plug(const QString& node, const char* keys)
    {
        if (!describe(node, keys))
            return -1;
        const int bell = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (bell < 0)
            return -1;
        const char* far = ::grantpt(bell) == 0 && ::unlockpt(bell) == 0 ? ::ptsname(bell) : nullptr;
        if (!far || !makeRaw(far) ||
            ::symlink(far, QFile::encodeName(nodePath(node)).constData()) != 0) {
            ::close(bell);
            return -1;
        }
        return bell;
    }

    // A node that is a link to `target`, such as /dev/zero.
    bool alias(const QString& node, const char* target, const char* keys)
    {
        return describe(node, keys) &&
               ::symlink(target, QFile::encodeName(nodePath(node)).constData()) == 0;
    }

    bool describe(const QString& node, const QByteArray& keys)
    {
        const QString description = descriptions() + QLatin1Char('/') + node;
        QDir().mkpath(description + QStringLiteral("/device/capabilities"));
        QFile bitmap(description + QStringLiteral("/device/capabilities/key"));
        return bitmap.open(QIODevice::WriteOnly) && bitmap.write(keys + '\n') == keys.size() + 1;
    }

    // Described as `model` is, by a link to its description, as sysfs links
    // a device's folder.
    bool describeAs(const QString& node, const QString& model)
    {
        return ::symlink(QFile::encodeName(model).constData(),
                         QFile::encodeName(descriptions() + QLatin1Char('/') + node).constData()) ==
               0;
    }

    void unplug(const QString& node, int bell = -1)
    {
        QFile::remove(nodePath(node));
        if (bell >= 0)
            ::close(bell);
        const QString description = descriptions() + QLatin1Char('/') + node;
        if (QFileInfo(description).isSymLink())
            QFile::remove(description);
        else
            QDir(description).removeRecursively();
    }

    // The folder of nodes goes, nodes and all, or is made (again).
    void removeNodes() { QDir(nodes()).removeRecursively(); }
    void makeNodes() { QDir(m_root.path()).mkpath(QStringLiteral("input")); }

private:
    // Raw, so that every byte written rings at once and nothing echoes.
    static bool makeRaw(const char* terminal)
    {
        const int end = ::open(terminal, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (end < 0)
            return false;
        termios raw = {};
        bool made = ::tcgetattr(end, &raw) == 0;
        ::cfmakeraw(&raw);
        made = made && ::tcsetattr(end, TCSANOW, &raw) == 0;
        ::close(end);
        return made;
    }

    QTemporaryDir m_root;
};

// A game controller for tests and benchmarks: a pad of SDL's own, which
// SDL reads as it reads a real one, behind a stand-in node that rings as a
// real pad's node does whenever the pad reports. It is plugged in once the
// game has started the controller library.
class VirtualPad {
public:
    // `watched`: with a node of its own for the game to watch; without one
    // the game must read the pad by the clock.
    VirtualPad(InputFolders& folders, const QString& node, bool watched = true)
        : m_folders(folders)
        , m_node(node)
    {
        if (watched)
            m_bell = folders.plug(node, InputFolders::PadKeys);
        if (!QTest::qWaitFor([] { return SDL_WasInit(SDL_INIT_GAMECONTROLLER) != 0; }, 5000))
            return;
        SDL_VirtualJoystickDesc description;
        SDL_zero(description);
        description.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
        description.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
        description.naxes = SDL_CONTROLLER_AXIS_MAX;
        description.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
        description.name = "Korvaloop test pad";
        const int index = SDL_JoystickAttachVirtualEx(&description);
        if (index < 0)
            return;
        m_joystick = SDL_JoystickOpen(index);
        ring();
    }

    ~VirtualPad()
    {
        unplug();
        for (const int bell : m_stale)
            ::close(bell);
    }

    VirtualPad(const VirtualPad&) = delete;
    VirtualPad& operator=(const VirtualPad&) = delete;

    bool isPlugged() const { return m_joystick != nullptr; }

    void button(SDL_GameControllerButton button, bool down)
    {
        SDL_JoystickSetVirtualButton(m_joystick, button, down ? SDL_PRESSED : SDL_RELEASED);
        ring();
    }

    // Down and up again. SDL looks at a virtual pad's state, not at its
    // changes, so the game is given the time to see each.
    void tap(SDL_GameControllerButton pressed)
    {
        button(pressed, true);
        QTest::qWait(40);
        button(pressed, false);
        QTest::qWait(40);
    }

    // Fractions of the stick's travel, right and down positive.
    void stick(double x, double y)
    {
        SDL_JoystickSetVirtualAxis(m_joystick, SDL_CONTROLLER_AXIS_LEFTX, Sint16(x * 32767));
        SDL_JoystickSetVirtualAxis(m_joystick, SDL_CONTROLLER_AXIS_LEFTY, Sint16(y * 32767));
        ring();
        QTest::qWait(40);
    }

    // A new node for the same pad, as when the folder was made again. The
    // old one stays open, as another program may hold it.
    void renode()
    {
        if (m_bell >= 0)
            m_stale.push_back(m_bell);
        m_bell = m_folders.plug(m_node, InputFolders::PadKeys);
    }

    // The node goes, as when the system no longer lets the game read it.
    void unwatch()
    {
        if (m_bell >= 0)
            m_folders.unplug(m_node, m_bell);
        m_bell = -1;
    }

    void unplug()
    {
        if (m_joystick && SDL_WasInit(SDL_INIT_GAMECONTROLLER)) {
            const SDL_JoystickID instance = SDL_JoystickInstanceID(m_joystick);
            SDL_JoystickClose(m_joystick);
            for (int i = 0; i < SDL_NumJoysticks(); ++i)
                if (SDL_JoystickGetDeviceInstanceID(i) == instance)
                    SDL_JoystickDetachVirtual(i);
        }
        m_joystick = nullptr;
        unwatch();
    }

private:
    void ring()
    {
        if (m_bell >= 0) {
            [[maybe_unused]] const ssize_t written = ::write(m_bell, "!", 1);
        }
    }

    InputFolders& m_folders;
    QString m_node;
    int m_bell = -1;
    std::vector<int> m_stale;
    SDL_Joystick* m_joystick = nullptr;
};
