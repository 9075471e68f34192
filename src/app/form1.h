// SPDX-License-Identifier: MIT
#pragma once

#include "game/consolelog.h"
#include "game/game.h"
#include "session/session.h"

#include <QMainWindow>

#include <memory>

class Console;
class Gamepad;
class Platform;
class QtPlatform;
class QAction;
class QMenu;
class SceneView;
class mplayer;

// The main window: the play surface, the menu bar, and the shell around the
// game that opens the other windows and shows the about and help boxes.
class Form1 final : public QMainWindow {
    Q_OBJECT

public:
    explicit Form1(Platform& platform, QWidget* parent = nullptr);
    ~Form1() override;

    // The program's own endings: SIGTERM and the like close the window, and
    // the console's "quit", which ends on the spot, still takes the port
    // off the home router first.
    void endWith(QtPlatform& platform);

    ConsoleLog log;
    Game game;
    SceneView* view;
    // The two-player mode; the menu item that opens its dialog is off while
    // connected.
    Session session;
    // Game controllers, typing into the game as the keyboard does.
    Gamepad* gamepad;
    // The controllers' Back/Select and Start trigger these two menu items.
    QAction* con;
    QAction* drukf2;

    // The console window, made when it is first needed: the log keeps every
    // line meanwhile, so nothing is lost by waiting, and start-up is quicker.
    Console& console();
    // The connection dialog, made the first time it is opened.
    mplayer& dialog();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void Form_Load();
    void Form_Unload();
    void buildMenu();

    void con_Click();
    void mplay_Click();
    void chat_Click();
    void about_Click();
    void help_Click();
    void guy_Click();

    static QString aboutText();
    static QString helpText();

    // Each menu and menu item has its name here as its object name too.
    QMenu* nieuw;
    QAction* mplay;
    QAction* chat;
    QAction* scoreid;
    QAction* about;
    QAction* help;

    Platform& m_platform;
    // A window of its own, not a child of this one: while it is active the
    // game's shortcut keys must not reach the game.
    std::unique_ptr<Console> m_console;
    std::unique_ptr<Console> m_discardedConsole; // closed, deleted from the event loop
    std::unique_ptr<mplayer> m_dialog;
    bool m_placed = false;
};
