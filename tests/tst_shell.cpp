// SPDX-License-Identifier: MIT
#include "app/form1.h"
#include "app/sceneview.h"
#include "connectdialog/mplayer.h"
#include "console/console.h"
#include "named.h"
#include "recordingplatform.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QtTest>

namespace {

QStringList lines(const ConsoleLog& log)
{
    QStringList result = log.text().split(QStringLiteral("\r\n"));
    result.removeLast();
    return result;
}

} // namespace

class TestShell : public QObject {
    Q_OBJECT

    RecordingPlatform* platform = nullptr;
    Form1* form = nullptr;

    void showForm()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
    }

private slots:
    void init()
    {
        platform = new RecordingPlatform;
        form = new Form1(*platform);
    }

    void cleanup()
    {
        delete form;
        delete platform;
    }

    void everyObjectStartsInItsPlace_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("box");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<QString>("caption");
        QTest::newRow("guy") << "guy" << QRect(0, 444, 34, 35) << true << "";
        QTest::newRow("guyl") << "guyl" << QRect(60, 426, 34, 35) << false << "";
        QTest::newRow("guyrm") << "guyrm" << QRect(168, 328, 35, 38) << false << "";
        QTest::newRow("guylm") << "guylm" << QRect(184, 328, 35, 38) << false << "";
        QTest::newRow("key") << "key" << QRect(5, 164, 54, 41) << true << "";
        QTest::newRow("Shape1") << "Shape1" << QRect(47, 17, 26, 32) << true << "";
        QTest::newRow("Shape2") << "Shape2" << QRect(73, 17, 7, 32) << true << "";
        QTest::newRow("Shape3") << "Shape3" << QRect(73, 12, 32, 7) << false << "";
        QTest::newRow("Shape5") << "Shape5" << QRect(197, 475, 34, 7) << true << "";
        QTest::newRow("goed") << "goed" << QRect(208, 230, 243, 39) << false << "Goed Gedaan!";
        QTest::newRow("dood") << "dood" << QRect(217, 223, 198, 41) << false << "Game Over!";
        QTest::newRow("redchat") << "redchat" << QRect(48, 336, 500, 17) << true << "";
        QTest::newRow("greenchat") << "greenchat" << QRect(104, 336, 500, 17) << true << "";
    }

    void everyObjectStartsInItsPlace()
    {
        QFETCH(QString, name);
        QFETCH(QRect, box);
        QFETCH(bool, visible);
        QFETCH(QString, caption);
        Scene& scene = form->game.scene;
        const std::map<QString, const SceneObject*> byName{{"guy", &scene.guy},
                                                           {"guyl", &scene.guyl},
                                                           {"guyrm", &scene.guyrm},
                                                           {"guylm", &scene.guylm},
                                                           {"key", &scene.key},
                                                           {"Shape1", &scene.Shape1},
                                                           {"Shape2", &scene.Shape2},
                                                           {"Shape3", &scene.Shape3},
                                                           {"Shape5", &scene.Shape5},
                                                           {"goed", &scene.goed},
                                                           {"dood", &scene.dood},
                                                           {"redchat", &scene.redchat},
                                                           {"greenchat", &scene.greenchat}};
        const SceneObject* object = byName.at(name);
        QCOMPARE(object->box(), box);
        QCOMPARE(object->isVisible(), visible);
        QCOMPARE(object->caption(), caption);
        QVERIFY(scene.Text1.text.isEmpty());
    }

    void startUpStateOfFlagsTimersAndLog()
    {
        Game& game = form->game;
        QVERIFY(game.canJump);
        QVERIFY(!game.gameOver);
        QVERIFY(!game.doorOpen);
        QVERIFY(!game.hasPlayed);

        const std::vector<std::pair<const GameTimer*, int>> timers{
            {&game.just, 100},      {&game.jump1, 100},     {&game.jump2, 100},
            {&game.jump3, 100},     {&game.jump4, 100},     {&game.jump5, 100},
            {&game.Timer1, 100},    {&game.Timer2, 100},    {&game.Timer3, 100},
            {&game.Timer4, 100},    {&game.Timer5, 100},    {&game.mul, 100},
            {&game.wischatr, 5000}, {&game.wischatgr, 5000}};
        for (const auto& [timer, interval] : timers) {
            QCOMPARE(timer->interval(), interval);
            QCOMPARE(timer->isEnabled(), timer == &game.just);
        }
        QVERIFY(game.just.isTicking());

        // The console exists from the first line on, hidden, with that line.
        QCOMPARE(lines(form->log), QStringList{QStringLiteral("game initialized")});
        QVERIFY(!form->console().isVisible());
        form->con->trigger();
        QVERIFY(form->console().isVisible());
        QCOMPARE(named<LogView>(form->console(), "rtb")->toPlainText(),
                 QStringLiteral("game initialized"));
    }

    void windowAndMenuBar()
    {
        showForm();
        QCOMPARE(form->windowTitle(), QStringLiteral("Tiddelwaag"));
        QCOMPARE(form->view->size(), QSize(640, 480));
        QCOMPARE(form->view->geometry().top(), form->menuBar()->geometry().bottom() + 1);
        QCOMPARE(form->minimumSize(), form->maximumSize());
        QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(form->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(form->windowFlags() & Qt::WindowCloseButtonHint);
        QCOMPARE(QIcon(QStringLiteral(":/art/icon-48.png")).availableSizes(),
                 QList<QSize>{QSize(48, 48)});

        QList<QString> top;
        for (QAction* action : form->menuBar()->actions())
            top.append(action->text());
        QCOMPARE(top, (QList<QString>{"Bestand", "Frimsel gepakt: Nee", "&About", "Help"}));

        QList<QPair<QString, QKeySequence>> items;
        for (QAction* action : named<QMenu>(*form, "nieuw")->actions())
            items.append({action->text(), action->shortcut()});
        QCOMPARE(items, (QList<QPair<QString, QKeySequence>>{{"Console", QKeySequence("F1")},
                                                             {"Nieuw Spel", QKeySequence("F2")},
                                                             {"Multiplayer", QKeySequence("F3")},
                                                             {"Chat", QKeySequence("F4")}}));
    }

    void shortcutsBelongToTheMainWindow()
    {
        showForm();
        QTest::keyClick(form, Qt::Key_F2);
        QCOMPARE(lines(form->log).mid(1), (QStringList{"door closed", "New game initialized"}));

        QTest::keyClick(form, Qt::Key_F1);
        QVERIFY(form->console().isVisible());
        QVERIFY(QTest::qWaitForWindowActive(&form->console()));

        // While the console or the dialog is the active window, F1 to F4 are
        // its keys, not the game's.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F2);
        QCOMPARE(lines(form->log).size(), 3);

        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
        QTest::keyClick(form, Qt::Key_F3);
        QWidget* dialog = &form->dialog();
        QVERIFY(dialog->isVisible());
        QTRY_COMPARE(QApplication::activeWindow(), dialog);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F2);
        QCOMPARE(lines(form->log).size(), 3);
    }

    void keysReachTheGameAsCharacters()
    {
        showForm();
        QTest::keyClick(form, Qt::Key_6);
        QTest::keyClick(form, Qt::Key_6, Qt::KeypadModifier);
        QCOMPARE(form->game.scene.guy.left(), 16);
        // Keys that make no character (the keypad with Num Lock off) never reach it.
        QTest::keyClick(form, Qt::Key_Right);
        QTest::keyClick(form, Qt::Key_Up);
        QCOMPARE(form->game.scene.guy.left(), 16);
        QVERIFY(form->game.hasPlayed);
        QCOMPARE(named<QAction>(*form, "scoreid")->text(), QStringLiteral("Frimsel gepakt: Nee"));

        form->game.OpenDoor();
        QTest::keyClick(form, Qt::Key_X);
        QCOMPARE(named<QAction>(*form, "scoreid")->text(), QStringLiteral("Frimsel gepakt: Ja"));
    }

    void consoleWordsRunInTheGameOnePerTick()
    {
        QLineEdit* command = named<QLineEdit>(form->console(), "command");
        command->setText(QStringLiteral("goright"));
        QTest::keyClick(command, Qt::Key_Return);
        QTest::keyClick(command, Qt::Key_Return);
        command->setText(QStringLiteral("exit"));
        QTest::keyClick(command, Qt::Key_Return);
        form->con->trigger();

        Q_EMIT form->game.just.ticked();
        QCOMPARE(form->game.scene.guy.left(), 8);
        Q_EMIT form->game.just.ticked();
        QCOMPARE(form->game.scene.guy.left(), 16);
        QVERIFY(form->console().isVisible());
        Q_EMIT form->game.just.ticked();
        QVERIFY(!form->console().isVisible());
    }

    void clickOnGuyGivesTheKeyboardBack()
    {
        showForm();
        form->con->trigger();
        QVERIFY(QTest::qWaitForWindowActive(&form->console()));
        QTest::mouseClick(form->view, Qt::LeftButton, {}, QPoint(10, 460));
        QVERIFY(QTest::qWaitForWindowActive(form));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_6);
        QCOMPARE(form->game.scene.guy.left(), 8);
    }

    void aboutAndHelpBoxes()
    {
        named<QAction>(*form, "about")->trigger();
        named<QAction>(*form, "help")->trigger();
        QCOMPARE(platform->boxes.size(), 2);
        const QStringList about = platform->boxes[0].first.split(QStringLiteral("\r\n"));
        QCOMPARE(about.size(), 3);
        QCOMPARE(about[0], QStringLiteral("Versie: 1.1.0"));
        QVERIFY(!about[1].isEmpty() && !about[2].isEmpty());
        QCOMPARE(platform->boxes[0].second, QStringLiteral("Korvaloop"));
        QCOMPARE(platform->boxes[1],
                 qMakePair(QStringLiteral("Num lock moet aan zijn, je gebruikt de pijltjes op het "
                                          "numpad om je poppetje te besturen, en je springt met "
                                          "spatie."),
                           QStringLiteral("Korvaloop")));
    }

    // Closed with its close box, the console is gone with what it held; F1
    // or the next line makes a new, empty one.
    void closingTheConsoleDiscardsIt()
    {
        showForm();
        QTest::keyClick(form, Qt::Key_F1);
        QPointer<Console> first = &form->console();
        QVERIFY(QTest::qWaitForWindowExposed(first));
        QLineEdit* command = named<QLineEdit>(*first, "command");
        command->setText(QStringLiteral("goleft2"));
        QTest::keyClick(command, Qt::Key_Return);
        command->setText(QStringLiteral("half typed"));
        first->close();
        QTRY_VERIFY(!first);
        QCOMPARE(lines(form->log), QStringList());

        form->game.OpenDoor();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
        QTest::keyClick(form, Qt::Key_F1);
        Console& second = form->console();
        QVERIFY(second.isVisible());
        QTRY_COMPARE(named<LogView>(second, "rtb")->toPlainText(), QStringLiteral("door open"));
        QCOMPARE(named<QLineEdit>(second, "command")->text(), QString());
    }

    void closingTheMainWindowClosesTheConsole()
    {
        showForm();
        form->con->trigger();
        QVERIFY(form->console().isVisible());
        QVERIFY(form->close());
        QVERIFY(!form->console().isVisible());
    }

    void sceneIsPaintedInItsOrder()
    {
        QImage image(640, 480, QImage::Format_RGB32);
        auto paint = [&] {
            QPainter painter(&image);
            form->view->render(painter, image.rect());
        };
        paint();
        QCOMPARE(image.pixelColor(76, 30), QColor(255, 255, 0));     // the closed door
        QCOMPARE(image.pixelColor(60, 30), QColor(255, 0, 0));       // the panel beside it
        QCOMPARE(image.pixelColor(73, 30), QColor(0, 0, 0));         // the door's outline
        QCOMPARE(image.pixelColor(210, 477), QColor(255, 255, 255)); // the hazard mark
        QVERIFY(image.pixelColor(90, 15) != QColor(255, 255, 0));

        Game& game = form->game;
        game.OpenDoor();
        game.Win();
        paint();
        QCOMPARE(image.pixelColor(90, 15), QColor(255, 255, 0)); // the open door
        QVERIFY(image.pixelColor(76, 30) != QColor(255, 255, 0));
        // Some of the banner's green shows in its box, and nothing of it outside.
        bool green = false;
        for (int x = 208; x < 208 + 243 && !green; ++x)
            for (int y = 230; y < 230 + 39 && !green; ++y)
                green = image.pixelColor(x, y) == QColor(0, 192, 0);
        QVERIFY(green);
    }

    // On a screen that doubles every pixel, the pixel art stays sharp: each
    // scene pixel becomes a solid 2 x 2 block, nothing is smoothed.
    void sceneStaysCrispWhenScaled()
    {
        QImage image(1280, 960, QImage::Format_RGB32);
        image.setDevicePixelRatio(2);
        {
            QPainter painter(&image);
            form->view->render(painter, QRect(0, 0, 640, 480));
        }
        int blurred = 0;
        for (int y = 0; y < 960; y += 2)
            for (int x = 0; x < 1280; x += 2) {
                const QRgb pixel = image.pixel(x, y);
                blurred += image.pixel(x + 1, y) != pixel || image.pixel(x, y + 1) != pixel ||
                           image.pixel(x + 1, y + 1) != pixel;
            }
        QCOMPARE(blurred, 0);
    }

    void bannersFitTheirBoxes()
    {
        // The stand-in font must not cut the banners off.
        for (const SceneObject* banner : {&form->game.scene.goed, &form->game.scene.dood}) {
            const auto& look = std::get<LabelLook>(banner->look());
            QFont font = form->font();
            font.setPointSizeF(look.pointSize);
            font.setBold(true);
            const QFontMetrics metrics(font);
            QVERIFY2(metrics.horizontalAdvance(banner->caption()) <= banner->width(),
                     qPrintable(banner->caption()));
            QVERIFY(metrics.height() <= banner->height());
        }
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
