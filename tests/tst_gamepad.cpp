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

#include <QElapsedTimer>
#include <QtTest>

#include <csignal>
#include <list>
#include <memory>

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

        form->con_Click();
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
        form->con_Click();
        QVERIFY(QTest::qWaitForWindowActive(&form->console()));
        QTest::qWait(30);
        const int at = guy().left();
        QTest::qWait(300);
        QCOMPARE(guy().left(), at);
    }
};

QTEST_MAIN(TestGamepad)
#include "tst_gamepad.moc"
