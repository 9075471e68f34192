// SPDX-License-Identifier: MIT
#include "form1.h"

#include "connectdialog/mplayer.h"
#include "console/console.h"
#include "gamepad/gamepad.h"
#include "gamepadlink.h"
#include "platform/appinfo.h"
#include "platform/platform.h"
#include "platform/qtplatform.h"
#include "platform/termination.h"
#include "platform/uifont.h"
#include "platform/window.h"
#include "sceneview.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QTimer>

#include <utility>

Form1::Form1(Platform& platform, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , game(log, platform)
    , view(new SceneView(game.scene, this))
    , session(game, platform)
    , m_platform(platform)
{
    setWindowTitle(QStringLiteral("Tiddelwaag"));
    setFont(uiFont(8.25));
    setCentralWidget(view);
    buildMenu();
    connect(&session, &Session::stateChanged, mplay, [this](ConnectionState state) {
        mplay->setEnabled(state != ConnectionState::Connected);
    });
    gamepad = new Gamepad(this);
    linkGamepad(*this);
    // The play surface is all there is: the window never changes size.
    setFixedSize(sizeHint());
    // No control here takes the keyboard; every key press is the game's.
    setFocusPolicy(Qt::StrongFocus);

    connect(view, &SceneView::guyClicked, this, &Form1::guy_Click);
    connect(&game, &Game::exitRequested, this, [this] {
        if (m_console)
            m_console->hide();
    });

    Form_Load();
}

Form1::~Form1() = default;

void Form1::buildMenu()
{
    // A global menu would take the status entry out of the game's window.
    menuBar()->setNativeMenuBar(false);
    nieuw = menuBar()->addMenu(QStringLiteral("Bestand"));
    con = nieuw->addAction(QStringLiteral("Console"), QKeySequence(Qt::Key_F1), this,
                           &Form1::con_Click);
    drukf2 = nieuw->addAction(QStringLiteral("Nieuw Spel"), QKeySequence(Qt::Key_F2), &game,
                              &Game::drukf2_Click);
    mplay = nieuw->addAction(QStringLiteral("Multiplayer"), QKeySequence(Qt::Key_F3), this,
                             &Form1::mplay_Click);
    chat = nieuw->addAction(QStringLiteral("Chat"), QKeySequence(Qt::Key_F4), this,
                            &Form1::chat_Click);

    scoreid = menuBar()->addAction(game.scoreid());
    connect(&game, &Game::scoreidChanged, scoreid, &QAction::setText);
    about = menuBar()->addAction(QStringLiteral("&About"), this, &Form1::about_Click);
    help = menuBar()->addAction(QStringLiteral("Help"), this, &Form1::help_Click);

    const std::pair<QObject*, const char*> names[] = {
        {nieuw, "nieuw"}, {con, "con"},         {drukf2, "drukf2"}, {mplay, "mplay"},
        {chat, "chat"},   {scoreid, "scoreid"}, {about, "about"},   {help, "help"},
    };
    for (const auto& [item, name] : names)
        item->setObjectName(QLatin1String(name));
}

void Form1::Form_Load()
{
    game.canJump = true;
    game.gameOver = false;
    game.doorOpen = false;
    log.append(QStringLiteral("game initialized"));
}

void Form1::Form_Unload()
{
    if (m_console)
        m_console->close();
    if (m_dialog)
        m_dialog->close();
}

Console& Form1::console()
{
    if (!m_console) {
        m_console = std::make_unique<Console>(log);
        m_console->setPeer(&session);
        connect(m_console.get(), &Console::commandRecognised, &game, &Game::queueCommand);
        connect(m_console.get(), &Console::discarded, this, [this] {
            // Not inside its own close event: it goes once that is over.
            m_discardedConsole = std::move(m_console);
            QTimer::singleShot(0, this, [this] { m_discardedConsole.reset(); });
        });
    }
    return *m_console;
}

void Form1::endWith(QtPlatform& platform)
{
    closeOnTermination(this);
    // The console's "quit" skips the destructors: the router's forward is
    // removed, and the other player is told the connection ends, as the
    // kernel does for TCP but nobody would for a path through both routers.
    platform.setLastWords([this] {
        session.forgetRouter();
        session.Close();
    });
}

void Form1::con_Click()
{
    console().show();
    console().raise();
    console().activateWindow();
}

mplayer& Form1::dialog()
{
    if (!m_dialog)
        m_dialog = std::make_unique<mplayer>(session, this);
    return *m_dialog;
}

void Form1::mplay_Click()
{
    dialog().show();
    dialog().raise();
    dialog().activateWindow();
}

void Form1::chat_Click()
{
    session.chat_Click();
}

QString Form1::aboutText()
{
    return QStringLiteral("Versie: %1.%2.%3\r\n"
                          "Code: het Korvaloop-team\r\n"
                          "Graphics: met de hand geprogrammeerd door het Korvaloop-team")
        .arg(appinfo::Major)
        .arg(appinfo::Minor)
        .arg(appinfo::Revision);
}

QString Form1::helpText()
{
    return QStringLiteral("Num lock moet aan zijn, je gebruikt de pijltjes op het numpad om je "
                          "poppetje te besturen, en je springt met spatie.");
}

void Form1::about_Click()
{
    m_platform.MsgBox(aboutText(), appinfo::Title);
}

void Form1::help_Click()
{
    m_platform.MsgBox(helpText(), appinfo::Title);
}

void Form1::guy_Click()
{
    activateWindow();
    setFocus();
}

void Form1::keyPressEvent(QKeyEvent* event)
{
    // Only keys that make a character reach the game, as their character
    // code: with Num Lock off the keypad's arrows make none.
    const QString text = event->text();
    if (text.isEmpty()) {
        QMainWindow::keyPressEvent(event);
        return;
    }
    game.Form_KeyPress(text.at(0).unicode());
}

void Form1::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void Form1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!m_placed) {
        centreOnScreen(this);
        m_placed = true;
        setFocus();
    }
}
