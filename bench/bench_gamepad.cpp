// SPDX-License-Identifier: MIT
// Measures game controllers in the game's own window, with SDL's virtual
// pads behind stand-in device nodes (tests/support/virtualpad.h):
//   idle:    CPU used standing still for ten seconds, with no pad, then
//            with a pad attached and untouched
//   latency: from a pad press, made on another thread at a random moment as
//            a device would, until Form_KeyPress has run (100 presses)
//   unwatched: the same for a pad whose node the game cannot read, which
//            it reads by the clock instead, and the latency of the first
//            press after ten seconds of rest (three times)
//   repeat:  a held D-pad: when the first repeat comes and how often the
//            next ones, against the desktop's keyboard auto-repeat
#include "app/form1.h"
#include "gamepad/gamepad.h"
#include "platform/autorepeat.h"
#include "platform/qtplatform.h"
#include "virtualpad.h"

#include <QApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds()
{
    timespec now = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The game's own event loop: QTest's waits look at the clock every 10 ms,
// which would be measured too.
void run(int msecs)
{
    QEventLoop loop;
    QTimer::singleShot(msecs, &loop, &QEventLoop::quit);
    loop.exec();
}

double idlePercent()
{
    const double before = cpuSeconds();
    const Clock::time_point start = Clock::now();
    run(10000);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return 100 * (cpuSeconds() - before) / wall;
}

double ms(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Presses from a device's thread at random moments, `pauseMs` apart; the
// game's thread stamps each once Form_KeyPress has taken it.
std::vector<double> pressLatencies(Form1& form, VirtualPad& pad, int presses = 100,
                                   std::pair<int, int> pauseMs = {20, 60})
{
    std::atomic<Clock::rep> pressedAt{0};
    std::vector<double> latencies;
    const QMetaObject::Connection stamp =
        QObject::connect(form.gamepad, &Gamepad::keyPressed, &form, [&](int) {
            if (const Clock::rep at = pressedAt.exchange(0))
                latencies.push_back(ms(Clock::now() - Clock::time_point(Clock::duration(at))));
        });
    QEventLoop pressing;
    std::thread device([&] {
        std::mt19937 random(2539);
        std::uniform_int_distribution<int> pause(pauseMs.first, pauseMs.second);
        for (int i = 0; i < presses; ++i) {
            const auto button =
                i % 2 ? SDL_CONTROLLER_BUTTON_DPAD_LEFT : SDL_CONTROLLER_BUTTON_DPAD_RIGHT;
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            pressedAt = Clock::now().time_since_epoch().count();
            pad.button(button, true);
            // SDL sees a virtual pad's state, not its changes: the button is
            // held until the game has seen it, as long as a finger would.
            for (int held = 0; held < 200 && pressedAt.load(); ++held)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            pad.button(button, false);
        }
        QMetaObject::invokeMethod(&pressing, &QEventLoop::quit, Qt::QueuedConnection);
    });
    pressing.exec();
    device.join();
    run(100);
    QObject::disconnect(stamp);
    if (int(latencies.size()) != presses) {
        std::fprintf(stderr, "%zu of %d presses arrived\n", latencies.size(), presses);
        return {};
    }
    return latencies;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QtPlatform platform;
    Form1 form(platform);
    InputFolders folders;
    form.gamepad->setDeviceFolders(folders.nodes(), folders.descriptions());
    form.show();
    form.activateWindow(); // there may be no window manager to do it
    if (!QTest::qWaitForWindowActive(&form) ||
        !QTest::qWaitFor([&] { return form.gamepad->isStarted(); })) {
        std::fprintf(stderr, "the game's window did not become active\n");
        return 1;
    }

    run(2000);
    const double noPad = idlePercent();
    VirtualPad pad(folders, QStringLiteral("event0"));
    if (!QTest::qWaitFor([&] { return form.gamepad->padCount() == 1; }, 5000)) {
        std::fprintf(stderr, "the virtual pad did not arrive\n");
        return 1;
    }
    run(3000); // past the settling after a plug-in
    const double withPad = idlePercent();
    std::printf("idle: no pad %.2f %%, a pad attached and untouched %.2f %% of one core, "
                "over 10 s each\n",
                noPad, withPad);

    std::vector<Clock::time_point> typed;
    QObject::connect(form.gamepad, &Gamepad::keyPressed, &form,
                     [&](int) { typed.push_back(Clock::now()); });
    const std::vector<double> latencies = pressLatencies(form, pad);
    if (latencies.empty())
        return 1;
    std::printf("latency: median %.2f ms, slowest %.2f ms over %zu presses\n", median(latencies),
                *std::max_element(latencies.begin(), latencies.end()), latencies.size());

    // The desktop's own auto-repeat, which the window's first frame set.
    const AutoRepeat desktop = desktopAutoRepeat();
    form.game.drukf2_Click();
    typed.clear();
    pad.button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, true);
    run(desktop.delayMs + 20 * desktop.intervalMs);
    pad.button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, false);
    run(100);
    std::vector<double> intervals;
    for (std::size_t i = 2; i < typed.size(); ++i)
        intervals.push_back(ms(typed[i] - typed[i - 1]));
    if (intervals.empty()) {
        std::fprintf(stderr, "a held direction did not repeat\n");
        return 1;
    }
    // A pad whose node cannot be read is read by the clock instead: slowly
    // while it rests, quickly while it is played.
    pad.unwatch();
    run(3000);
    const double polled = idlePercent();
    std::vector<double> firstPresses;
    for (int rest = 0; rest < 3; ++rest) {
        if (rest > 0)
            run(10000);
        // At a random moment of the clock's period.
        const std::vector<double> first = pressLatencies(form, pad, 1, {0, 100});
        if (first.empty())
            return 1;
        firstPresses.push_back(first.front());
    }
    const std::vector<double> polledLatencies = pressLatencies(form, pad);
    if (polledLatencies.empty())
        return 1;
    std::printf("unwatched: a pad read by the clock: idle %.2f %% of one core; the first press "
                "after 10 s of rest seen after %.1f, %.1f and %.1f ms; while played, latency "
                "median %.2f ms, slowest %.2f ms over %zu presses\n",
                polled, firstPresses[0], firstPresses[1], firstPresses[2], median(polledLatencies),
                *std::max_element(polledLatencies.begin(), polledLatencies.end()),
                polledLatencies.size());

    std::printf("repeat: first after %.0f ms, then every %.1f ms (median of %zu); the desktop's "
                "keyboard: %d ms, then every %d ms\n",
                ms(typed[1] - typed[0]), median(intervals), intervals.size(), desktop.delayMs,
                desktop.intervalMs);
    return 0;
}
