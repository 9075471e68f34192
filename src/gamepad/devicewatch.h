// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>

#include <sys/types.h>

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
//
// What the folder holds is not trusted. Only character devices are pads;
// each node's description is read once, and a few KiB of it at most; a
// doorbell is read one buffer at a time; and a bounded number of pads is
// followed, so that a folder of thousands of nodes holds as many
// descriptors as a folder of a few.
class DeviceWatch final : public QObject {
    Q_OBJECT

public:
    // How many pads are followed at most, each with a doorbell or as one
    // that cannot be opened.
    static constexpr int DefaultMaxPads = 16;
    // A description larger than this is not one the kernel wrote.
    static constexpr int MaxDescriptionBytes = 4096;

    explicit DeviceWatch(QObject* parent = nullptr);
    ~DeviceWatch() override;

    // Where the device nodes and their descriptions are: /dev/input and
    // /sys/class/input, or a stand-in for a test.
    void setFolders(const QString& nodes, const QString& descriptions);
    void setMaxPads(int pads) { m_maxPads = qMax(1, pads); }
    // When more pads are present than are followed and a followed one goes,
    // the folder is looked at again this long after, once for many goings.
    void setRescanDelay(int ms) { m_rescanLater.setInterval(qMax(0, ms)); }
    void start();

    bool controllerPresent() const { return !m_doorbells.empty() || !m_unreadable.empty(); }
    int doorbells() const { return int(m_doorbells.size()); }
    // How often a doorbell has been read.
    int rings() const { return m_rings; }
    // Stops ringing until resumed: bounds the wake-ups of a pad that reports
    // without pause.
    void pause();
    void resume();

Q_SIGNALS:
    // Pads came or went.
    void changed();
    // A pad reported something.
    void rang();

private:
    struct Doorbell;
    struct NodeId {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const NodeId& other) const
        {
            return device == other.device && inode == other.inode;
        }
    };

    void folderChanged();
    void watchFolder();
    void rescan();
    void look(const QString& node);
    void follow(const QString& node, const NodeId& id);
    void remember(const QString& node, const NodeId& id);
    void forget(const QString& node);
    void forgetAll();
    bool isController(const QString& node) const;
    void ring(const QString& node);
    void tell();

    QString m_nodes = QStringLiteral("/dev/input");
    QString m_descriptions = QStringLiteral("/sys/class/input");
    int m_maxPads = DefaultMaxPads;
    int m_inotify = -1;
    int m_watch = -1;
    // The folder's parent, watched while the folder is missing.
    int m_parentWatch = -1;
    QSocketNotifier* m_folderNotifier = nullptr;
    std::map<QString, std::unique_ptr<Doorbell>> m_doorbells;
    // Controllers whose node cannot be opened (yet): udev gives the player
    // access a moment after the node appears.
    std::map<QString, NodeId> m_unreadable;
    // Nodes that are not pads, or were and came to their end.
    std::map<QString, NodeId> m_others;
    // More pads are present than are followed.
    bool m_overfull = false;
    bool m_changed = false;
    bool m_paused = false;
    int m_rings = 0;
    QTimer m_rescanLater;
};
