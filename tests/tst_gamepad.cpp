// SPDX-License-Identifier: MIT
// Game controllers, through the whole way a real pad's input goes: SDL
// reads a pad (one of its own virtual pads), the game's controller room
// turns it into key presses, and the main window hands them to the game.
#include "app/form1.h"
#include "console/console.h"
#include "game/level.h"
#include "gamepad/gamepad.h"
#include "recordingplatform.h"
#include "virtualpad.h"

#include <QAction>
#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <ctime>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

// The game's files open now: all of them, or those that are `target`.
int openFiles(const QString& target = {})
{
    int count = 0;
    const QDir open(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo& file : open.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        count += target.isEmpty() || file.symLinkTarget() == target;
    return count;
}

// Sanitized builds run some four times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr double Slowness = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr double Slowness = 4;
#else
constexpr double Slowness = 1;
#endif
#else
constexpr double Slowness = 1;
#endif

double threadSeconds()
{
    timespec now = {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

QString nodeName(int number)
{
    return QStringLiteral("event%1").arg(number);
}

} // namespace

class TestGamepad : public QObject {
    Q_OBJECT

    RecordingPlatform* platform = nullptr;
    Form1* form = nullptr;
    std::unique_ptr<InputFolders> folders;
    std::list<VirtualPad> pads;

    SceneObject& guy() { return form->game.scene.guy; }

    void showForm()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
        QTRY_VERIFY(form->gamepad->isStarted());
        // No repeat unless a test asks for one.
        form->gamepad->setKeyRepeat(5000, 1000);
    }

    // Plugs a pad in and waits until the game has it.
    VirtualPad* plugPad(const QString& node, bool watched = true)
    {
        const int before = form->gamepad->padCount();
        VirtualPad& pad = pads.emplace_back(*folders, node, watched);
        if (!pad.isPlugged() ||
            !QTest::qWaitFor([&] { return form->gamepad->padCount() == before + 1; }, 5000))
            return nullptr;
        return &pad;
    }

private slots:
    void init()
    {
        platform = new RecordingPlatform;
        form = new Form1(*platform);
        folders = std::make_unique<InputFolders>();
        form->gamepad->setDeviceFolders(folders->nodes(), folders->descriptions());
    }

    void cleanup()
    {
        pads.clear();
        delete form;
        delete platform;
        folders.reset();
    }

    // A game played from the keyboard never starts the controller library,
    // and once a pad comes, only its controller part starts, after the first
    // frame, and leaves Ctrl+C and SIGTERM alone (SDL takes them for its own
    // where nobody else has, and the game's handlers may have failed).
    void theControllerLibraryWaitsForAPad()
    {
        struct sigaction term = {}, interrupt = {}, standard = {};
        standard.sa_handler = SIG_DFL;
        ::sigaction(SIGTERM, &standard, &term);
        ::sigaction(SIGINT, &standard, &interrupt);

        const int keyboard = folders->plug(QStringLiteral("event0"), InputFolders::KeyboardKeys);
        const int early = folders->plug(QStringLiteral("event1"), InputFolders::PadKeys);
        QTest::qWait(100);
        QVERIFY(!form->gamepad->isStarted());
        QCOMPARE(SDL_WasInit(SDL_INIT_EVERYTHING), 0u);

        showForm();
        QVERIFY(form->gamepad->driverLoaded());
        QCOMPARE(SDL_WasInit(SDL_INIT_EVERYTHING) & (SDL_INIT_VIDEO | SDL_INIT_AUDIO), 0u);
        struct sigaction now = {};
        ::sigaction(SIGTERM, &term, &now);
        QVERIFY(now.sa_handler == SIG_DFL);
        ::sigaction(SIGINT, &interrupt, &now);
        QVERIFY(now.sa_handler == SIG_DFL);
        folders->unplug(QStringLiteral("event1"), early);

        // A pad plugged in after start-up plays at once.
        VirtualPad* pad = plugPad(QStringLiteral("event2"));
        QVERIFY(pad);
        pad->button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, true);
        QTRY_COMPARE(guy().left(), 8);
        folders->unplug(QStringLiteral("event0"), keyboard);
    }

    void dpadAndStickStepAsTheDigitsDo()
    {
        showForm();
        VirtualPad* pad = plugPad(QStringLiteral("event0"));
        QVERIFY(pad);
        Game& game = form->game;

        pad->button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, true);
        QTRY_COMPARE(guy().left(), 8);
        QVERIFY(game.hasPlayed);
        pad->button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, false);
        QTest::keyClick(form, Qt::Key_6);
        QCOMPARE(guy().left(), 16);

        pad->stick(0.6, 0);
        QTRY_COMPARE(guy().left(), 24);
        pad->stick(0, 0);
        pad->stick(0.2, 0.2);
        pad->stick(-0.2, 0);
        pad->stick(0, 0);
        QTest::qWait(200);
        QCOMPARE(guy().left(), 24);
        QCOMPARE(guy().top(), level::Floor1);

        // Diagonally, the larger direction only: at the first ladder's foot,
        // mostly up climbs and does not step; mostly right steps.
        guy().setLeft(368);
        pad->stick(0.55, -0.8);
        QTRY_COMPARE(guy().top(), level::Floor2);
        QCOMPARE(guy().left(), 368);
        pad->stick(0, 0);
        pad->stick(0.8, 0.55);
        QTRY_COMPARE(guy().left(), 376);
        QCOMPARE(guy().top(), level::Floor2);
        pad->stick(0, 0);

        // The keyboard's rules hold: a press made in the lava kills.
        guy().setTop(level::Floor1);
        guy().setLeft(208);
        pad->button(SDL_CONTROLLER_BUTTON_DPAD_LEFT, true);
        QTRY_VERIFY(game.gameOver);
        QVERIFY(game.scene.dood.isVisible());
        QCOMPARE(guy().left(), 208);
    }

    void faceAndMenuButtons()
    {
        showForm();
        VirtualPad* pad = plugPad(QStringLiteral("event0"));
        QVERIFY(pad);
        Game& game = form->game;

        pad->tap(SDL_CONTROLLER_BUTTON_A);
        QTRY_VERIFY(guy().top() < level::Floor1);
        // In the air A does nothing, as space does not.
        pad->tap(SDL_CONTROLLER_BUTTON_A);
        QTRY_VERIFY(game.canJump);
        QCOMPARE(guy().top(), level::Floor1);
        QTest::qWait(300);
        QCOMPARE(guy().top(), level::Floor1);

        pad->tap(SDL_CONTROLLER_BUTTON_DPAD_RIGHT);
        QTRY_COMPARE(guy().left(), 8);
        pad->tap(SDL_CONTROLLER_BUTTON_START);
        QTRY_VERIFY(form->log.text().endsWith(QStringLiteral("New game initialized\r\n")));
        QCOMPARE(guy().left(), 0);

        pad->tap(SDL_CONTROLLER_BUTTON_BACK);
        QTRY_VERIFY(form->console().isVisible());
    }

    void heldDirectionRepeatsAndStopsOnRelease()
    {
        showForm();
        VirtualPad* pad = plugPad(QStringLiteral("event0"));
        QVERIFY(pad);
        form->gamepad->setKeyRepeat(400, 100);

        QElapsedTimer held;
        held.start();
        pad->button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, true);
        QTRY_COMPARE(guy().left(), 8);
        QTest::qWait(150);
        QCOMPARE(guy().left(), 8);
        QTRY_VERIFY_WITH_TIMEOUT(guy().left() >= 40, 5000);
        QVERIFY(held.elapsed() >= 400 + 3 * 100);

        pad->button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, false);
        QTest::qWait(30);
        const int stopped = guy().left();
        QTest::qWait(350);
        QCOMPARE(guy().left(), stopped);
    }

    void unpluggingStopsItsPadOnly()
    {
        showForm();
        VirtualPad* first = plugPad(QStringLiteral("event0"));
        VirtualPad* second = plugPad(QStringLiteral("event1"));
        QVERIFY(first && second);
        form->gamepad->setKeyRepeat(200, 50);

        first->button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, true);
        QTRY_VERIFY(guy().left() >= 24);
        first->unplug();
        QTRY_COMPARE(form->gamepad->padCount(), 1);
        QTest::qWait(30);
        const int at = guy().left();
        QTest::qWait(300);
        QCOMPARE(guy().left(), at);

        second->tap(SDL_CONTROLLER_BUTTON_DPAD_LEFT);
        QTRY_COMPARE(guy().left(), at - 8);

        // A pad the game cannot watch is read by the clock.
        second->unwatch();
        QTest::qWait(100);
        second->button(SDL_CONTROLLER_BUTTON_DPAD_LEFT, true);
        QTRY_COMPARE(guy().left(), at - 16);
    }

    void onlyTheActiveWindowListens()
    {
        showForm();
        VirtualPad* pad = plugPad(QStringLiteral("event0"));
        QVERIFY(pad);
        Game& game = form->game;

        form->con->trigger();
        QVERIFY(QTest::qWaitForWindowActive(&form->console()));
        pad->tap(SDL_CONTROLLER_BUTTON_DPAD_RIGHT);
        pad->tap(SDL_CONTROLLER_BUTTON_A);
        pad->tap(SDL_CONTROLLER_BUTTON_START);
        QTest::qWait(300);
        QCOMPARE(guy().box().topLeft(), QPoint(0, level::Floor1));
        QVERIFY(!game.hasPlayed);
        QCOMPARE(form->log.text(), QStringLiteral("game initialized\r\n"));

        // Held while the window is left, a direction stops.
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
        form->gamepad->setKeyRepeat(200, 50);
        pad->button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, true);
        QTRY_VERIFY(guy().left() >= 16);
        form->con->trigger();
        QVERIFY(QTest::qWaitForWindowActive(&form->console()));
        QTest::qWait(30);
        const int at = guy().left();
        QTest::qWait(300);
        QCOMPARE(guy().left(), at);
    }
    // A node that never stops being readable (a link to /dev/zero, or a
    // driver that reports without end) is read a buffer at a time: the game
    // plays on, and once the node goes, so does the file the game held.
    void aNodeThatNeverQuietensStallsNothing()
    {
        QVERIFY(folders->alias(QStringLiteral("event0"), "/dev/zero", InputFolders::PadKeys));
        showForm();
        const DeviceWatch& devices = form->gamepad->devices();
        QCOMPARE(devices.doorbells(), 1);

        QTest::keyClick(form, Qt::Key_Space);
        QTRY_VERIFY(guy().top() < level::Floor1);
        QTRY_VERIFY(form->game.canJump);
        QCOMPARE(guy().top(), level::Floor1);

        // It rings at most once a pause: no more often than a 10 ms clock.
        int ticks = 0;
        QTimer clock;
        connect(&clock, &QTimer::timeout, [&] { ++ticks; });
        clock.start(10);
        const int rings = devices.rings();
        QTest::qWait(300);
        QVERIFY(ticks >= 5);
        QVERIFY2(
            devices.rings() - rings <= 2 * ticks + 2,
            qPrintable(
                QStringLiteral("%1 rings in %2 ticks").arg(devices.rings() - rings).arg(ticks)));

        QCOMPARE(openFiles(QStringLiteral("/dev/zero")), 1);
        folders->unplug(QStringLiteral("event0"));
        QTRY_COMPARE(devices.doorbells(), 0);
        QCOMPARE(openFiles(QStringLiteral("/dev/zero")), 0);
    }

    // Real nodes are character devices. A named pipe that nobody holds open
    // (the controller library would wait for good to open it), a regular
    // file, and a node whose description is larger than any the kernel
    // writes are no pads, whether there at start-up or made later.
    void onlyCharacterDevicesArePads()
    {
        const auto fifo = [&](const QString& node) {
            return folders->describe(node, InputFolders::PadKeys) &&
                   ::mkfifo(QFile::encodeName(folders->nodePath(node)).constData(), 0600) == 0;
        };
        QVERIFY(fifo(QStringLiteral("event0")));
        QVERIFY(folders->describe(QStringLiteral("event1"), InputFolders::PadKeys));
        QFile file(folders->nodePath(QStringLiteral("event1")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(1 << 20));
        file.close();
        const int bell = folders->plug(QStringLiteral("event2"), InputFolders::PadKeys);
        QVERIFY(bell >= 0);
        QVERIFY(folders->describe(QStringLiteral("event2"),
                                  QByteArray("0 ").repeated(DeviceWatch::MaxDescriptionBytes) +
                                      InputFolders::PadKeys));

        showForm();
        const DeviceWatch& devices = form->gamepad->devices();
        QCOMPARE(devices.doorbells(), 0);
        QVERIFY(!devices.controllerPresent());
        QVERIFY(!form->gamepad->driverLoaded());
        QCOMPARE(SDL_WasInit(SDL_INIT_EVERYTHING), 0u);

        QVERIFY(fifo(QStringLiteral("event3")));
        const int pad = folders->plug(QStringLiteral("event4"), InputFolders::PadKeys);
        QVERIFY(pad >= 0);
        QTRY_VERIFY(form->gamepad->driverLoaded());
        QTest::qWait(50);
        QCOMPARE(devices.doorbells(), 1);
        folders->unplug(QStringLiteral("event4"), pad);
        QTRY_VERIFY(!devices.controllerPresent());
        ::close(bell);
    }

    // The folder of nodes goes and comes back, at once or after a while,
    // with the pad's node made anew and the old one still open: the new node
    // is the pad's doorbell, and pads plugged in later are seen.
    void aDeviceFolderMadeAgainIsWatchedAgain()
    {
        showForm();
        VirtualPad* pad = plugPad(QStringLiteral("event0"));
        QVERIFY(pad);
        const DeviceWatch& devices = form->gamepad->devices();
        QCOMPARE(devices.doorbells(), 1);

        // Before the game has looked.
        folders->removeNodes();
        folders->makeNodes();
        pad->renode();
        QTest::qWait(50);
        QTRY_COMPARE(devices.doorbells(), 1);
        int rings = devices.rings();
        pad->tap(SDL_CONTROLLER_BUTTON_DPAD_RIGHT);
        QTRY_COMPARE(guy().left(), 8);
        QVERIFY(devices.rings() > rings);

        // After it has.
        folders->removeNodes();
        QTRY_COMPARE(devices.doorbells(), 0);
        folders->makeNodes();
        pad->renode();
        QTRY_COMPARE(devices.doorbells(), 1);
        rings = devices.rings();
        pad->tap(SDL_CONTROLLER_BUTTON_DPAD_RIGHT);
        QTRY_COMPARE(guy().left(), 16);
        QVERIFY(devices.rings() > rings);

        VirtualPad* second = plugPad(QStringLiteral("event1"));
        QVERIFY(second);
        QTRY_COMPARE(devices.doorbells(), 2);
        rings = devices.rings();
        second->tap(SDL_CONTROLLER_BUTTON_DPAD_LEFT);
        QTRY_COMPARE(guy().left(), 8);
        QVERIFY(devices.rings() > rings);
    }

    // Thousands of nodes coming and going cost the game's thread little:
    // each is looked at once, not the whole folder at every change.
    void churnCostsLittle()
    {
        showForm();
        constexpr int Nodes = 2000;
        constexpr int Batch = 10;
        QVERIFY(folders->describe(QStringLiteral("keyboard"), InputFolders::KeyboardKeys));
        std::atomic<int> failed{0};
        const double before = threadSeconds();
        QEventLoop loop;
        // Made on a thread of its own, so that the game's thread does only
        // the game's part.
        std::thread maker([&] {
            for (int first = 0; first < 2 * Nodes; first += Batch) {
                for (int i = first; i < first + Batch; ++i) {
                    const QString node = nodeName(100 + i % Nodes);
                    if (i >= Nodes)
                        folders->unplug(node);
                    else if (!folders->describeAs(node, QStringLiteral("keyboard")) ||
                             ::symlink("/dev/null", QFile::encodeName(folders->nodePath(node))) !=
                                 0)
                        ++failed;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        loop.exec();
        maker.join();
        QTest::qWait(100);
        const double spent = threadSeconds() - before;
        qInfo("%d nodes made and removed: %.3f s of the game's thread", Nodes, spent);
        QCOMPARE(failed.load(), 0);
        QVERIFY2(spent < 0.5 * Slowness, qPrintable(QStringLiteral("%1 s").arg(spent)));
        QVERIFY(!form->gamepad->devices().controllerPresent());
        QVERIFY(QDir(folders->nodes()).isEmpty());
    }

    // More pads than are followed: the game holds a bounded number of
    // files, and when a followed pad goes, another takes its place.
    void manyPadsHoldFewFiles()
    {
        showForm();
        const DeviceWatch& devices = form->gamepad->devices();
        const int before = openFiles();
        constexpr int Pads = 3 * DeviceWatch::DefaultMaxPads;
        std::vector<int> bells;
        for (int i = 0; i < Pads; ++i) {
            bells.push_back(folders->plug(nodeName(i), InputFolders::PadKeys));
            QVERIFY(bells.back() >= 0);
        }
        QTRY_COMPARE(devices.doorbells(), DeviceWatch::DefaultMaxPads);
        QTest::qWait(100);
        QCOMPARE(devices.doorbells(), DeviceWatch::DefaultMaxPads);
        // The pads' writing ends are the test's; the controller library
        // opens a few of its own.
        QVERIFY2(openFiles() - before - Pads <= DeviceWatch::DefaultMaxPads + 16,
                 qPrintable(QString::number(openFiles() - before - Pads)));

        for (int i = 0; i < Pads - 4; ++i)
            folders->unplug(nodeName(i), bells[std::size_t(i)]);
        QTRY_COMPARE(devices.doorbells(), 4);
        for (int i = Pads - 4; i < Pads; ++i)
            folders->unplug(nodeName(i), bells[std::size_t(i)]);
        QTRY_COMPARE(devices.doorbells(), 0);
        QVERIFY(!devices.controllerPresent());
    }

    // A pad whose node the game cannot watch is read by the clock: often
    // while it is played, seldom once it rests, and at its next wake-up the
    // first press after the rest is seen. While a direction is held the
    // clock stays quick, so letting go stops the repeat at once.
    void aPadReadByTheClockRestsWhenUntouched()
    {
        showForm();
        Gamepad& gamepad = *form->gamepad;
        gamepad.setUnwatchedClock(10, 100, 300);
        VirtualPad* pad = plugPad(QStringLiteral("event0"));
        QVERIFY(pad);
        pad->unwatch();
        QTRY_COMPARE(gamepad.devices().doorbells(), 0);

        pad->tap(SDL_CONTROLLER_BUTTON_DPAD_RIGHT);
        QTRY_COMPARE(guy().left(), 8);
        QTest::qWait(400);
        int wakeUps = gamepad.wakeUps();
        QTest::qWait(1000);
        QVERIFY2(gamepad.wakeUps() - wakeUps <= 1000 / 100 + 2,
                 qPrintable(QString::number(gamepad.wakeUps() - wakeUps)));

        gamepad.setKeyRepeat(100, 50);
        wakeUps = gamepad.wakeUps();
        int seenAt = -1;
        const QMetaObject::Connection seen = connect(&gamepad, &Gamepad::keyPressed, [&] {
            if (seenAt < 0)
                seenAt = gamepad.wakeUps();
        });
        pad->button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, true);
        QTRY_VERIFY(guy().left() >= 16);
        disconnect(seen);
        QVERIFY2(seenAt - wakeUps <= 1, qPrintable(QString::number(seenAt - wakeUps)));

        gamepad.setUnwatchedClock(10, 1000, 300);
        QTest::qWait(600);
        QVERIFY(guy().left() > 24);
        pad->button(SDL_CONTROLLER_BUTTON_DPAD_RIGHT, false);
        QTest::qWait(30);
        const int at = guy().left();
        QTest::qWait(300);
        QCOMPARE(guy().left(), at);
    }
};

QTEST_MAIN(TestGamepad)
#include "tst_gamepad.moc"
