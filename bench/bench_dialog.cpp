// SPDX-License-Identifier: MIT
// Prints what the connection dialog costs, in whatever state the system bus
// and mDNS daemon are (bench/run runs it with and without them):
//   bench_dialog          dialog: median time from F3 to the dialog shown,
//                         over fresh main windows
//   bench_dialog --churn  churn: the dialog's CPU while 100 games on the
//                         network vanish and come back every second, 20 s
#include "app/form1.h"
#include "connectdialog/mplayer.h"
#include "lan/avahipoll.h"
#include "lan/discovery.h"
#include "platform/qtplatform.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/resource.h>

namespace {

constexpr int Games = 100;
constexpr int ChurnSeconds = 20;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The event loop as the game runs it, for a while.
void runFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

int firstOpenings()
{
    QtPlatform platform;
    constexpr int Runs = 11;
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        auto form = std::make_unique<Form1>(platform);
        QElapsedTimer clock;
        clock.start();
        form->mplay_Click();
        QCoreApplication::processEvents();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("dialog: median %.2f ms, slowest %.2f ms over %d first openings\n",
                times[Runs / 2], times.back(), Runs);
    return 0;
}

// Another program on the network: announces `Games` games, and once they
// are all there, withdraws one every 10 ms and announces it again a second
// later, so each game vanishes and comes back every second, each at its own
// time, while the others stay listed.
class Publisher {
public:
    Publisher()
    {
        QObject::connect(&m_churn, &QTimer::timeout, [this] {
            const int game = m_next++ % Games;
            m_shown[game] = !m_shown[game];
            if (m_shown[game])
                announce(game);
            else
                avahi_entry_group_reset(m_groups[game]);
        });
        m_client = avahi_client_new(qtAvahiPoll(), AvahiClientFlags(0), running, this, nullptr);
    }

private:
    static void running(AvahiClient* client, AvahiClientState state, void* self)
    {
        auto* publisher = static_cast<Publisher*>(self);
        if (state != AVAHI_CLIENT_S_RUNNING || !publisher->m_groups.empty())
            return;
        for (int i = 0; i < Games; ++i) {
            publisher->m_groups.push_back(avahi_entry_group_new(client, nullptr, nullptr));
            publisher->m_shown.push_back(true);
            publisher->announce(i);
        }
        QTimer::singleShot(5000, [publisher] { publisher->m_churn.start(1000 / Games); });
    }

    void announce(int game)
    {
        const QByteArray name = "Churn " + QByteArray::number(game);
        avahi_entry_group_add_service(m_groups[game], AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                      AvahiPublishFlags(0), name.constData(),
                                      Discovery::ServiceType, nullptr, nullptr,
                                      uint16_t(40000 + game), nullptr);
        avahi_entry_group_commit(m_groups[game]);
    }

    AvahiClient* m_client = nullptr;
    std::vector<AvahiEntryGroup*> m_groups;
    std::vector<bool> m_shown;
    QTimer m_churn;
    int m_next = 0;
};

int publish()
{
    Publisher publisher;
    return QCoreApplication::exec();
}

int churn(const char* self)
{
    QtPlatform platform;
    Form1 form(platform);
    form.mplay_Click();
    QComboBox* list = form.dialog().adress;

    QProcess publisher;
    publisher.start(QString::fromLocal8Bit(self), {QStringLiteral("--publish")});
    QElapsedTimer clock;
    clock.start();
    while (list->count() < Games + 1 && clock.elapsed() < 30000)
        runFor(100);
    if (list->count() < Games + 1) {
        std::printf("churn: only %d of %d games were listed\n", list->count() - 1, Games);
        return 1;
    }

    int changes = 0;
    int fewest = list->count() - 1;
    QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, [&] { ++changes; });
    QObject::connect(list->model(), &QAbstractItemModel::rowsRemoved, [&] {
        ++changes;
        fewest = std::min(fewest, list->count() - 1);
    });
    const double before = cpuSeconds();
    clock.restart();
    runFor(ChurnSeconds * 1000);
    const double used = cpuSeconds() - before;
    const double seconds = double(clock.elapsed()) / 1000;
    publisher.kill();
    publisher.waitForFinished(3000);
    std::printf("churn: %.2f s of CPU in %.1f s, %.1f %% of a core, for %d entries changed "
                "(%d games, %d to %d listed)\n",
                used, seconds, 100 * used / seconds, changes, Games, fewest, Games);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    const bool publisher = argc > 1 && std::strcmp(argv[1], "--publish") == 0;
    if (publisher) {
        QCoreApplication app(argc, argv);
        return publish();
    }
    QApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--churn") == 0)
        return churn(argv[0]);
    return firstOpenings();
}
