// SPDX-License-Identifier: MIT
// Avahi's poll hooks on Qt's event loop, with no daemon: a socket pair
// stands in for the bus connection, the clock for Avahi's timers.
#include "lan/avahipoll.h"

#include <QElapsedTimer>
#include <QtTest>

#include <avahi-common/timeval.h>
#include <avahi-common/watch.h>

#include <functional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What a callback saw, and what it may do to its own and other watches.
struct Seen {
    QList<int> events;
    std::function<void(AvahiWatch*)> then;
};

void onWatch(AvahiWatch* watch, int, AvahiWatchEvent event, void* userdata)
{
    auto* seen = static_cast<Seen*>(userdata);
    seen->events.append(event);
    if (seen->then)
        seen->then(watch);
}

struct Fired {
    QList<int> order;
    QList<AvahiUsec> lateness; // how long after its time each one came, µs
    std::function<void(AvahiTimeout*)> then;
};

struct Alarm {
    Fired* fired;
    int id;
    timeval when;
};

void onTimeout(AvahiTimeout* timeout, void* userdata)
{
    auto* alarm = static_cast<Alarm*>(userdata);
    alarm->fired->order.append(alarm->id);
    alarm->fired->lateness.append(avahi_age(&alarm->when));
    if (alarm->fired->then)
        alarm->fired->then(timeout);
}

timeval inMilliseconds(int milliseconds)
{
    timeval when{};
    gettimeofday(&when, nullptr);
    return *avahi_timeval_add(&when, AvahiUsec(milliseconds) * 1000);
}

// Runs the event loop for a few rounds: a descriptor that is ready is
// reported in the first.
void spin()
{
    for (int round = 0; round < 5; ++round)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

class TestAvahiPoll : public QObject {
    Q_OBJECT

    const AvahiPoll* poll = qtAvahiPoll();
    int ends[2] = {-1, -1}; // ends[0] is watched, ends[1] the far end

    void closeFarEnd()
    {
        ::close(ends[1]);
        ends[1] = -1;
    }

private slots:
    void init() { QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }

    void cleanup()
    {
        for (int& end : ends) {
            if (end >= 0)
                ::close(end);
            end = -1;
        }
    }

    void aWatchReportsWhatHappened_data()
    {
        QTest::addColumn<int>("wanted");
        QTest::addColumn<QString>("happening");
        QTest::addColumn<int>("reported");
        const int in = AVAHI_WATCH_IN;
        const int out = AVAHI_WATCH_OUT;
        QTest::newRow("data to read") << in << "data" << in;
        QTest::newRow("room to write") << out << "" << out;
        QTest::newRow("data, both wanted") << (in | out) << "data" << (in | out);
        QTest::newRow("nothing to read") << in << "" << 0;
        QTest::newRow("far end gone") << in << "close" << (in | AVAHI_WATCH_HUP);
        QTest::newRow("nothing wanted") << 0 << "data" << 0;
    }

    void aWatchReportsWhatHappened()
    {
        QFETCH(int, wanted);
        QFETCH(QString, happening);
        QFETCH(int, reported);
        Seen seen;
        AvahiWatch* watch = poll->watch_new(poll, ends[0], AvahiWatchEvent(wanted), onWatch, &seen);
        seen.then = [&](AvahiWatch* self) {
            QCOMPARE(poll->watch_get_events(self), AvahiWatchEvent(reported));
            // Reported once: what was read is gone, and nothing is wanted any more.
            char buffer[16];
            [[maybe_unused]] const ssize_t got =
                ::recv(ends[0], buffer, sizeof buffer, MSG_DONTWAIT);
            poll->watch_update(self, AvahiWatchEvent(0));
        };
        if (happening == QLatin1String("data"))
            QCOMPARE(::write(ends[1], "x", 1), ssize_t(1));
        else if (happening == QLatin1String("close"))
            closeFarEnd();
        if (reported != 0)
            QTRY_COMPARE(seen.events.size(), 1);
        spin();
        QCOMPARE(seen.events, reported == 0 ? QList<int>() : QList<int>{reported});
        poll->watch_free(watch);
    }

    // A callback frees its own watch, or another that is ready in the same
    // round: neither is called again (and the sanitizer run sees no use
    // after free).
    void aCallbackFreesWatches_data()
    {
        QTest::addColumn<bool>("other");
        QTest::addColumn<int>("calls");
        QTest::newRow("each its own") << false << 2;
        QTest::newRow("the first both") << true << 1;
    }

    void aCallbackFreesWatches()
    {
        QFETCH(bool, other);
        QFETCH(int, calls);
        int more[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, more), 0);
        QCOMPARE(::write(ends[1], "x", 1), ssize_t(1));
        QCOMPARE(::write(more[1], "x", 1), ssize_t(1));
        Seen first;
        Seen second;
        AvahiWatch* a = poll->watch_new(poll, ends[0], AVAHI_WATCH_IN, onWatch, &first);
        AvahiWatch* b = poll->watch_new(poll, more[0], AVAHI_WATCH_IN, onWatch, &second);
        int freed = 0;
        first.then = second.then = [&](AvahiWatch* self) {
            poll->watch_free(self);
            ++freed;
            if (other && freed == 1) {
                poll->watch_free(self == a ? b : a);
                ++freed;
            }
        };
        QTRY_COMPARE(freed, 2);
        spin();
        QCOMPARE(first.events.size() + second.events.size(), calls);
        ::close(more[0]);
        ::close(more[1]);
    }

    void timeoutsComeInTheirOrderAndNeverEarly_data()
    {
        QTest::addColumn<QList<int>>("delays"); // ms from now, one timeout each
        QTest::addColumn<QList<int>>("order");  // indexes in the order they come
        QTest::newRow("one") << QList<int>{30} << QList<int>{0};
        QTest::newRow("out of order") << QList<int>{60, 20, 40} << QList<int>{1, 2, 0};
        QTest::newRow("already past") << QList<int>{-1000, 10} << QList<int>{0, 1};
    }

    void timeoutsComeInTheirOrderAndNeverEarly()
    {
        QFETCH(QList<int>, delays);
        QFETCH(QList<int>, order);
        Fired fired;
        QList<Alarm> alarms;
        for (int i = 0; i < delays.size(); ++i)
            alarms.append({&fired, i, inMilliseconds(delays[i])});
        QList<AvahiTimeout*> timeouts;
        for (Alarm& alarm : alarms)
            timeouts.append(poll->timeout_new(poll, &alarm.when, onTimeout, &alarm));
        QTRY_COMPARE(fired.order.size(), delays.size());
        QCOMPARE(fired.order, order);
        for (AvahiUsec lateness : std::as_const(fired.lateness))
            QVERIFY2(lateness >= 0, qPrintable(QString::number(lateness)));
        // A timeout that came is off until it is set again.
        spin();
        QCOMPARE(fired.order.size(), delays.size());
        for (AvahiTimeout* timeout : timeouts)
            poll->timeout_free(timeout);
    }

    void timeoutsAreSetAgainStoppedAndFreed()
    {
        Fired fired;
        Alarm never{&fired, 0, {}};
        Alarm stopped{&fired, 1, inMilliseconds(10)};
        Alarm freed{&fired, 2, inMilliseconds(10)};
        Alarm moved{&fired, 3, inMilliseconds(10000)};
        Alarm again{&fired, 4, inMilliseconds(10)};
        AvahiTimeout* neverTimeout = poll->timeout_new(poll, nullptr, onTimeout, &never);
        AvahiTimeout* stoppedTimeout = poll->timeout_new(poll, &stopped.when, onTimeout, &stopped);
        AvahiTimeout* freedTimeout = poll->timeout_new(poll, &freed.when, onTimeout, &freed);
        AvahiTimeout* movedTimeout = poll->timeout_new(poll, &moved.when, onTimeout, &moved);
        AvahiTimeout* againTimeout = poll->timeout_new(poll, &again.when, onTimeout, &again);
        poll->timeout_update(stoppedTimeout, nullptr);
        poll->timeout_free(freedTimeout);
        moved.when = inMilliseconds(20);
        poll->timeout_update(movedTimeout, &moved.when);
        // The callback sets its own timeout once more, then frees it.
        int rounds = 0;
        fired.then = [&](AvahiTimeout* self) {
            if (self != againTimeout)
                return;
            if (++rounds == 1) {
                again.when = inMilliseconds(10);
                poll->timeout_update(self, &again.when);
            } else {
                poll->timeout_free(self);
            }
        };
        QTRY_COMPARE(fired.order.count(4), 2);
        QTRY_COMPARE(fired.order.count(3), 1);
        spin();
        QCOMPARE(fired.order.size(), 3);
        for (AvahiUsec lateness : std::as_const(fired.lateness))
            QVERIFY(lateness >= 0);
        for (AvahiTimeout* timeout : {neverTimeout, stoppedTimeout, movedTimeout})
            poll->timeout_free(timeout);
    }
};

QTEST_MAIN(TestAvahiPoll)
#include "tst_avahipoll.moc"
