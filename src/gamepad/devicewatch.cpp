// SPDX-License-Identifier: MIT
#include "devicewatch.h"

#include "gamepadlog.h"
#include "keybitmap.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool isNodeName(const char* name)
{
    return std::strncmp(name, "event", 5) == 0;
}

// What a doorbell reads at one wake-up: 64 input events. What is read is
// thrown away: the controller library reads its own copy.
constexpr int RingBytes = 64 * 24;
// The folder's changes read at one wake-up; more wait for the next.
constexpr int FolderReadsPerWakeUp = 16;
constexpr int DefaultRescanDelayMs = 250;
// Nodes known not to be pads, so that their descriptions are not read again
// when their permissions change: as many as a machine has.
constexpr std::size_t MaxOthers = 256;

} // namespace

struct DeviceWatch::Doorbell {
    int fd = -1;
    NodeId id;
    QSocketNotifier* notifier = nullptr; // a child of the watch
    ~Doorbell()
    {
        // It may be the notifier that is ringing right now.
        notifier->setEnabled(false);
        notifier->deleteLater();
        ::close(fd);
    }
};

DeviceWatch::DeviceWatch(QObject* parent)
    : QObject(parent)
{
    m_rescanLater.setSingleShot(true);
    m_rescanLater.setInterval(DefaultRescanDelayMs);
    connect(&m_rescanLater, &QTimer::timeout, this, [this] {
        rescan();
        tell();
    });
}

DeviceWatch::~DeviceWatch()
{
    m_doorbells.clear();
    delete m_folderNotifier;
    if (m_inotify >= 0)
        ::close(m_inotify);
}

void DeviceWatch::setFolders(const QString& nodes, const QString& descriptions)
{
    m_nodes = nodes;
    m_descriptions = descriptions;
}

void DeviceWatch::start()
{
    if (m_inotify < 0) {
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify >= 0) {
            m_folderNotifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
            connect(m_folderNotifier, &QSocketNotifier::activated, this,
                    &DeviceWatch::folderChanged);
        }
    }
    watchFolder();
    rescan();
    m_changed = false;
}

// The folder is watched by what it is, not by its name: when it goes, or
// another takes its name, the watch is made anew on whatever is there now
// and the folder looked at again. Until the folder exists, its parent is
// watched for it; the parent's watch comes first, so that a folder made
// meanwhile is not missed.
void DeviceWatch::watchFolder()
{
    if (m_inotify < 0)
        return;
    const QByteArray folder = QFile::encodeName(m_nodes);
    constexpr uint32_t FolderEvents = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM |
                                      IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                      IN_EXCL_UNLINK;
    int watch = ::inotify_add_watch(m_inotify, folder.constData(), FolderEvents);
    if (watch < 0 && m_parentWatch < 0) {
        const QByteArray parent = QFile::encodeName(QFileInfo(m_nodes).absolutePath());
        m_parentWatch = ::inotify_add_watch(m_inotify, parent.constData(),
                                            IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
        watch = ::inotify_add_watch(m_inotify, folder.constData(), FolderEvents);
    }
    if (m_watch >= 0 && m_watch != watch)
        ::inotify_rm_watch(m_inotify, m_watch);
    m_watch = watch;
    if (m_watch >= 0 && m_parentWatch >= 0) {
        ::inotify_rm_watch(m_inotify, m_parentWatch);
        m_parentWatch = -1;
    }
}

void DeviceWatch::folderChanged()
{
    alignas(inotify_event) char events[4096];
    bool lookAgain = false;
    for (int reads = 0; reads < FolderReadsPerWakeUp; ++reads) {
        const ssize_t got = ::read(m_inotify, events, sizeof events);
        if (got <= 0)
            break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, events + at, sizeof event);
            const char* name = events + at + sizeof event;
            at += ssize_t(sizeof event) + event.len;
            if (at > got)
                break;
            if (event.mask & IN_Q_OVERFLOW) {
                lookAgain = true;
            } else if (event.wd == m_parentWatch) {
                lookAgain = true;
            } else if (event.wd != m_watch) {
                // A watch given up on.
            } else if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
                // The folder went: its nodes went with it, and a folder
                // made under its name is another one.
                ::inotify_rm_watch(m_inotify, m_watch);
                m_watch = -1;
                forgetAll();
                lookAgain = true;
            } else if (event.len > 0 && !(event.mask & IN_ISDIR)) {
                const std::size_t length = ::strnlen(name, event.len);
                if (length < event.len && isNodeName(name))
                    look(QFile::decodeName(QByteArray(name, qsizetype(length))));
            }
        }
    }
    if (lookAgain) {
        watchFolder();
        rescan();
    }
    tell();
}

void DeviceWatch::tell()
{
    if (!m_changed)
        return;
    m_changed = false;
    Q_EMIT changed();
}

// A description is small and regular; anything else is not the kernel's.
bool DeviceWatch::isController(const QString& node) const
{
    const QByteArray path = QFile::encodeName(m_descriptions + QLatin1Char('/') + node +
                                              QStringLiteral("/device/capabilities/key"));
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat status = {};
    char bitmap[MaxDescriptionBytes + 1];
    ssize_t size = 0;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        while (size < ssize_t(sizeof bitmap)) {
            const ssize_t got = ::read(fd, bitmap + size, sizeof bitmap - std::size_t(size));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            size += got;
        }
    }
    ::close(fd);
    return 0 < size && size <= MaxDescriptionBytes &&
           hasControllerButton(QByteArray::fromRawData(bitmap, qsizetype(size)));
}

// Looks at what the folder holds now under this name.
void DeviceWatch::look(const QString& node)
{
    const QByteArray path = QFile::encodeName(m_nodes + QLatin1Char('/') + node);
    struct stat status = {};
    if (::stat(path.constData(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        forget(node);
        return;
    }
    follow(node, {status.st_dev, status.st_ino});
}

// Follows the node if it is a pad and there is room for it.
void DeviceWatch::follow(const QString& node, const NodeId& id)
{
    if (const auto kept = m_doorbells.find(node);
        kept != m_doorbells.end() && kept->second->id == id)
        return;
    if (const auto known = m_others.find(node); known != m_others.end() && known->second == id)
        return;
    const auto unreadable = m_unreadable.find(node);
    const bool retry = unreadable != m_unreadable.end() && unreadable->second == id;
    if (!retry) {
        // Whatever had this name before is gone.
        forget(node);
        if (!isController(node)) {
            qCDebug(lcGamepad, "%s: no controller's buttons", qPrintable(node));
            remember(node, id);
            return;
        }
        if (int(m_doorbells.size() + m_unreadable.size()) >= m_maxPads) {
            qCInfo(lcGamepad, "%s: a controller, read by the clock: %d are watched already",
                   qPrintable(node), m_maxPads);
            m_overfull = true;
            return;
        }
    }
    const QByteArray path = QFile::encodeName(m_nodes + QLatin1Char('/') + node);
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (!retry) {
            qCInfo(lcGamepad, "%s: a controller, read by the clock: %s", qPrintable(node),
                   strerror(errno));
            m_changed = true;
        }
        m_unreadable[node] = id;
        return;
    }
    // What was opened is what was looked at, a character device.
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) {
        qCInfo(lcGamepad, "%s: changed while it was opened, not taken", qPrintable(node));
        ::close(fd);
        forget(node);
        return;
    }
    qCInfo(lcGamepad, "%s: a controller, watched", qPrintable(node));
    m_unreadable.erase(node);
    auto doorbell = std::make_unique<Doorbell>();
    doorbell->fd = fd;
    doorbell->id = {status.st_dev, status.st_ino};
    doorbell->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    doorbell->notifier->setEnabled(!m_paused);
    connect(doorbell->notifier, &QSocketNotifier::activated, this, [this, node] { ring(node); });
    m_doorbells[node] = std::move(doorbell);
    m_changed = true;
}

void DeviceWatch::remember(const QString& node, const NodeId& id)
{
    if (m_others.size() >= MaxOthers)
        m_others.clear();
    m_others[node] = id;
}

void DeviceWatch::forget(const QString& node)
{
    m_others.erase(node);
    const bool gone = m_doorbells.erase(node) + m_unreadable.erase(node) > 0;
    if (!gone)
        return;
    m_changed = true;
    // A pad that was not followed for want of room may be now.
    if (m_overfull && !m_rescanLater.isActive())
        m_rescanLater.start();
}

void DeviceWatch::forgetAll()
{
    m_others.clear();
    if (m_doorbells.empty() && m_unreadable.empty())
        return;
    m_doorbells.clear();
    m_unreadable.clear();
    m_changed = true;
}

// Looks at every node of the folder, when it may have changed unseen.
void DeviceWatch::rescan()
{
    m_rescanLater.stop();
    m_overfull = false;
    DIR* folder = ::opendir(QFile::encodeName(m_nodes).constData());
    if (!folder) {
        forgetAll();
        return;
    }
    // Followed pads that are no longer what they were are forgotten first,
    // so that others may take their place.
    std::vector<QString> gone;
    const auto check = [&](const QString& node, const NodeId& id) {
        struct stat status = {};
        const QByteArray path = QFile::encodeName(m_nodes + QLatin1Char('/') + node);
        if (::stat(path.constData(), &status) != 0 || !S_ISCHR(status.st_mode) ||
            !(NodeId{status.st_dev, status.st_ino} == id))
            gone.push_back(node);
    };
    for (const auto& [node, doorbell] : m_doorbells)
        check(node, doorbell->id);
    for (const auto& [node, id] : m_unreadable)
        check(node, id);
    for (const QString& node : gone) {
        m_doorbells.erase(node);
        m_unreadable.erase(node);
        m_changed = true;
    }
    while (const dirent* entry = ::readdir(folder)) {
        if (!isNodeName(entry->d_name))
            continue;
        struct stat status = {};
        if (::fstatat(::dirfd(folder), entry->d_name, &status, 0) == 0 && S_ISCHR(status.st_mode))
            follow(QFile::decodeName(entry->d_name), {status.st_dev, status.st_ino});
    }
    ::closedir(folder);
}

void DeviceWatch::ring(const QString& node)
{
    const auto found = m_doorbells.find(node);
    if (found == m_doorbells.end())
        return;
    ++m_rings;
    // One buffer a wake-up: a node that never stops being readable is read
    // again only after the pause that follows every ring.
    char buffer[RingBytes];
    ssize_t got;
    do
        got = ::read(found->second->fd, buffer, sizeof buffer);
    while (got < 0 && errno == EINTR);
    if (got == 0 || (got < 0 && errno != EAGAIN)) {
        // Gone (unplugged) or at its end: it is no pad to wait for, and is
        // not opened again until something else takes its name.
        const NodeId id = found->second->id;
        forget(node);
        remember(node, id);
        tell();
    }
    Q_EMIT rang();
}

void DeviceWatch::pause()
{
    m_paused = true;
    for (const auto& [node, doorbell] : m_doorbells)
        doorbell->notifier->setEnabled(false);
}

void DeviceWatch::resume()
{
    m_paused = false;
    for (const auto& [node, doorbell] : m_doorbells)
        doorbell->notifier->setEnabled(true);
}
