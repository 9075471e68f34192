// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <map>
#include <memory>

class QSocketNotifier;

// Knows, without the controller library, whether a game controller is
// plugged in, and rings when one is touched.
//
// The system's input devices are watched as files: the folder of device
// nodes for pads coming and going, and each pad's own node, which becomes
// readable when the pad reports anything, as a doorbell. So an untouched
// pad costs no wake-up at all, and a touched one is read at once. The
// controller library itself is still what reads the pad; the doorbell only
// says when to ask it. (The device database of udev is not used: it is
// missing in the containers and sandboxes that games are often run in. The
// folder is watched with inotify itself: Qt's file watcher costs a fifth of
// a megabyte, more than all of this.)
class DeviceWatch final : public QObject {
    Q_OBJECT

public:
    explicit DeviceWatch(QObject* parent = nullptr);
    ~DeviceWatch() override;

    // Where the device nodes and their descriptions are: /dev/input and
    // /sys/class/input, or a stand-in for a test.
    void setFolders(const QString& nodes, const QString& descriptions);
    void start();

    bool controllerPresent() const { return !m_doorbells.empty() || m_unreadable; }
    int doorbells() const { return int(m_doorbells.size()); }
    // Stops ringing until resumed: bounds the wake-ups of a pad that reports
    // without pause.
    void pause();
    void resume();

signals:
    // Pads came or went.
    void changed();
    // A pad reported something.
    void rang();

private:
    struct Doorbell;
    void folderChanged();
    void rescan();
    void watchFolder();
    bool isController(const QString& node) const;
    void ring(const QString& node);

    QString m_nodes = QStringLiteral("/dev/input");
    QString m_descriptions = QStringLiteral("/sys/class/input");
    int m_inotify = -1;
    int m_watch = -1;
    QString m_watched;
    QSocketNotifier* m_folderNotifier = nullptr;
    std::map<QString, std::unique_ptr<Doorbell>> m_doorbells;
    // A controller whose node cannot be opened (yet): udev gives the player
    // access a moment after the node appears.
    bool m_unreadable = false;
    bool m_paused = false;
};
