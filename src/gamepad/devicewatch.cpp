// SPDX-License-Identifier: MIT
#include "devicewatch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// Button codes of <linux/input-event-codes.h> that only joysticks and
// gamepads have: BTN_JOYSTICK to BTN_DEAD, BTN_SOUTH to BTN_THUMBR, the
// D-pad buttons and the extra buttons of dance pads and arcade sticks.
struct Range {
    int first, last;
};
constexpr Range ControllerButtons[] = {
    {0x120, 0x12f}, {0x130, 0x13e}, {0x220, 0x223}, {0x2c0, 0x2e7}};

// The kernel writes a device's key bitmap as hexadecimal words of a long,
// the highest first.
bool hasControllerButton(const QByteArray& bitmap)
{
    constexpr int WordBits = int(sizeof(long)) * CHAR_BIT;
    const QList<QByteArray> words = bitmap.trimmed().split(' ');
    for (qsizetype i = 0; i < words.size(); ++i) {
        bool ok = false;
        const qulonglong word = words[words.size() - 1 - i].toULongLong(&ok, 16);
        if (!ok || word == 0)
            continue;
        for (int bit = 0; bit < WordBits; ++bit) {
            if (!(word >> bit & 1))
                continue;
            const int code = int(i) * WordBits + bit;
            for (const Range& range : ControllerButtons)
                if (range.first <= code && code <= range.last)
                    return true;
        }
    }
    return false;
}

} // namespace

struct DeviceWatch::Doorbell {
    int fd = -1;
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
    watchFolder();
    rescan();
}

// Until the folder of device nodes exists, its parent is watched for it.
void DeviceWatch::watchFolder()
{
    if (m_inotify < 0) {
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0)
            return;
        m_folderNotifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        connect(m_folderNotifier, &QSocketNotifier::activated, this, &DeviceWatch::folderChanged);
    }
    const bool present = QFileInfo::exists(m_nodes);
    const QString wanted = present ? m_nodes : QFileInfo(m_nodes).absolutePath();
    if (wanted == m_watched)
        return;
    if (m_watch >= 0)
        ::inotify_rm_watch(m_inotify, m_watch);
    const uint32_t mask = present ? IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM |
                                        IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF
                                  : IN_CREATE | IN_MOVED_TO;
    m_watch =
        ::inotify_add_watch(m_inotify, QFile::encodeName(wanted).constData(), mask | IN_ONLYDIR);
    m_watched = m_watch >= 0 ? wanted : QString();
}

void DeviceWatch::folderChanged()
{
    // What changed is found by looking again.
    alignas(inotify_event) char events[4096];
    while (::read(m_inotify, events, sizeof events) > 0) {
    }
    watchFolder();
    rescan();
    emit changed();
}

bool DeviceWatch::isController(const QString& node) const
{
    QFile bitmap(m_descriptions + QLatin1Char('/') + node +
                 QStringLiteral("/device/capabilities/key"));
    return bitmap.open(QIODevice::ReadOnly) && hasControllerButton(bitmap.readAll());
}

void DeviceWatch::rescan()
{
    std::map<QString, std::unique_ptr<Doorbell>> doorbells;
    m_unreadable = false;
    const QStringList nodes =
        QDir(m_nodes).entryList({QStringLiteral("event*")}, QDir::System | QDir::Files);
    for (const QString& node : nodes) {
        if (const auto kept = m_doorbells.find(node); kept != m_doorbells.end()) {
            doorbells[node] = std::move(kept->second);
            continue;
        }
        if (!isController(node))
            continue;
        const QByteArray path = QFile::encodeName(m_nodes + QLatin1Char('/') + node);
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            m_unreadable = true;
            continue;
        }
        auto doorbell = std::make_unique<Doorbell>();
        doorbell->fd = fd;
        doorbell->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        doorbell->notifier->setEnabled(!m_paused);
        connect(doorbell->notifier, &QSocketNotifier::activated, this,
                [this, node] { ring(node); });
        doorbells[node] = std::move(doorbell);
    }
    m_doorbells = std::move(doorbells);
}

void DeviceWatch::ring(const QString& node)
{
    const auto found = m_doorbells.find(node);
    if (found == m_doorbells.end())
        return;
    // What was read is thrown away: the controller library reads its own copy.
    char buffer[64 * 24];
    for (;;) {
        const ssize_t got = ::read(found->second->fd, buffer, sizeof buffer);
        if (got > 0)
            continue;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            break;
        // Gone (unplugged) or at its end: the folder's change follows.
        m_doorbells.erase(found);
        break;
    }
    emit rang();
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
