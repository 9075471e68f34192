// SPDX-License-Identifier: MIT
#include "devicewatch.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <fcntl.h>
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
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        watchFolder();
        rescan();
        emit changed();
    });
}

DeviceWatch::~DeviceWatch() = default;

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
    const QString wanted = QFileInfo::exists(m_nodes) ? m_nodes : QFileInfo(m_nodes).absolutePath();
    const QStringList watched = m_watcher.directories();
    if (watched == QStringList{wanted})
        return;
    if (!watched.isEmpty())
        m_watcher.removePaths(watched);
    m_watcher.addPath(wanted);
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
