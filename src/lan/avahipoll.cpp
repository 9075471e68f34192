// SPDX-License-Identifier: MIT
#include "avahipoll.h"

#include <QSocketNotifier>
#include <QTimer>

#include <avahi-common/timeval.h>
#include <avahi-common/watch.h>

#include <algorithm>
#include <climits>
#include <poll.h>

// Avahi names these two types and leaves what they hold to the adapter.
//
// Either may be freed by its own callback: it is then only marked, and
// deleted once the callback has returned.

struct AvahiWatch {
    AvahiWatch(int fd, AvahiWatchEvent wanted, AvahiWatchCallback callback, void* userdata)
        : m_fd(fd)
        , m_callback(callback)
        , m_userdata(userdata)
        , m_readable(QSocketNotifier::Read)
        , m_writable(QSocketNotifier::Write)
    {
        // Made off, and only what is wanted is switched on: libdbus watches
        // one descriptor twice, for reading and for writing, and Qt takes
        // one notifier a kind and descriptor.
        m_readable.setSocket(fd);
        m_writable.setSocket(fd);
        QObject::connect(&m_readable, &QSocketNotifier::activated, &m_readable,
                         [this] { dispatch(); });
        QObject::connect(&m_writable, &QSocketNotifier::activated, &m_writable,
                         [this] { dispatch(); });
        watch(wanted);
    }

    void watch(AvahiWatchEvent wanted)
    {
        m_wanted = wanted;
        // A notifier cannot wait for an error or hang-up alone; poll() reports
        // them with whatever is wanted besides, and so does dispatch().
        m_readable.setEnabled(!m_freed && (wanted & AVAHI_WATCH_IN));
        m_writable.setEnabled(!m_freed && (wanted & AVAHI_WATCH_OUT));
    }

    AvahiWatchEvent happened() const { return m_happened; }

    void free()
    {
        if (m_calling == 0) {
            delete this;
            return;
        }
        m_freed = true;
        watch(AvahiWatchEvent(0));
    }

private:
    // A notifier says only "readable" or "writable"; Avahi wants to know of
    // errors and hang-ups too, so the descriptor is asked once more.
    void dispatch()
    {
        pollfd state{m_fd, short(m_wanted), 0};
        if (::poll(&state, 1, 0) <= 0)
            return;
        const int mask = m_wanted | AVAHI_WATCH_ERR | AVAHI_WATCH_HUP;
        m_happened = AvahiWatchEvent(state.revents & mask);
        if (m_happened == 0)
            return;
        ++m_calling;
        m_callback(this, m_fd, m_happened, m_userdata);
        --m_calling;
        if (m_freed && m_calling == 0)
            delete this;
    }

    int m_fd;
    AvahiWatchEvent m_wanted = AvahiWatchEvent(0);
    AvahiWatchEvent m_happened = AvahiWatchEvent(0);
    AvahiWatchCallback m_callback;
    void* m_userdata;
    QSocketNotifier m_readable;
    QSocketNotifier m_writable;
    int m_calling = 0;
    bool m_freed = false;
};

struct AvahiTimeout {
    AvahiTimeout(const timeval* when, AvahiTimeoutCallback callback, void* userdata)
        : m_callback(callback)
        , m_userdata(userdata)
    {
        m_timer.setSingleShot(true);
        // Never early: Avahi and D-Bus take the call as "the time has come".
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { fire(); });
        arm(when);
    }

    void arm(const timeval* when)
    {
        m_timer.stop();
        if (!when || m_freed)
            return;
        // avahi_age() is how long ago `when` was; a time still to come is negative.
        const AvahiUsec ahead = -avahi_age(when);
        const AvahiUsec milliseconds = ahead > 0 ? (ahead + 999) / 1000 : 0;
        m_timer.start(int(std::min<AvahiUsec>(milliseconds, INT_MAX)));
    }

    void free()
    {
        if (m_calling == 0) {
            delete this;
            return;
        }
        m_freed = true;
        m_timer.stop();
    }

private:
    void fire()
    {
        ++m_calling;
        m_callback(this, m_userdata);
        --m_calling;
        if (m_freed && m_calling == 0)
            delete this;
    }

    QTimer m_timer;
    AvahiTimeoutCallback m_callback;
    void* m_userdata;
    int m_calling = 0;
    bool m_freed = false;
};

namespace {

AvahiWatch* watchNew(const AvahiPoll*, int fd, AvahiWatchEvent event, AvahiWatchCallback callback,
                     void* userdata)
{
    return new AvahiWatch(fd, event, callback, userdata);
}

void watchUpdate(AvahiWatch* watch, AvahiWatchEvent event)
{
    watch->watch(event);
}

AvahiWatchEvent watchGetEvents(AvahiWatch* watch)
{
    return watch->happened();
}

void watchFree(AvahiWatch* watch)
{
    watch->free();
}

AvahiTimeout* timeoutNew(const AvahiPoll*, const timeval* when, AvahiTimeoutCallback callback,
                         void* userdata)
{
    return new AvahiTimeout(when, callback, userdata);
}

void timeoutUpdate(AvahiTimeout* timeout, const timeval* when)
{
    timeout->arm(when);
}

void timeoutFree(AvahiTimeout* timeout)
{
    timeout->free();
}

} // namespace

const AvahiPoll* qtAvahiPoll()
{
    static const AvahiPoll poll{nullptr,   watchNew,   watchUpdate,   watchGetEvents,
                                watchFree, timeoutNew, timeoutUpdate, timeoutFree};
    return &poll;
}
