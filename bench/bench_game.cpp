// SPDX-License-Identifier: MIT
// Prints how the console log and the scene painting hold up:
//   log:   time of the first and of the last 10,000 of 100,000 appends, and their ratio
//   frame: median time to paint the whole scene once, offscreen, with short
//          chat lines and with the longest line a peer can send
#include "app/form1.h"
#include "app/sceneview.h"
#include "console/console.h"
#include "platform/qtplatform.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void benchLog(Form1& form)
{
    constexpr int Lines = 100000;
    constexpr int Slice = 10000;
    form.con->trigger(); // a shown console is the dearer case: its view takes every line
    QCoreApplication::processEvents();

    QElapsedTimer clock;
    qint64 first = 0;
    qint64 last = 0;
    const QString line = QStringLiteral("key picked up");
    for (int i = 0; i < Lines; ++i) {
        if (i == 0 || i == Lines - Slice)
            clock.start();
        form.log.append(line);
        if (i % 100 == 99)
            QCoreApplication::processEvents(); // the view lays out what came meanwhile
        if (i == Slice - 1)
            first = clock.nsecsElapsed();
        if (i == Lines - 1)
            last = clock.nsecsElapsed();
    }
    std::printf("log: first 10000 appends %.2f ms, last 10000 appends %.2f ms, ratio %.2f\n",
                double(first) / 1e6, double(last) / 1e6, double(last) / double(first));
}

double medianFrameMs(Form1& form)
{
    constexpr int Frames = 500;
    QImage image(640, 480, QImage::Format_ARGB32_Premultiplied);
    std::vector<qint64> times;
    times.reserve(Frames);
    QElapsedTimer clock;
    for (int i = 0; i < Frames; ++i) {
        clock.start();
        QPainter painter(&image);
        form.view->render(painter, image.rect());
        painter.end();
        times.push_back(clock.nsecsElapsed());
    }
    std::nth_element(times.begin(), times.begin() + Frames / 2, times.end());
    return double(times[Frames / 2]) / 1e6;
}

void benchFrame(Form1& form)
{
    Game& game = form.game;
    // A busy frame: both players, the key, a banner and both chat lines.
    game.scene.guyrm.setVisible(true);
    game.scene.guylm.setVisible(true);
    game.scene.redchat.setCaption(QStringLiteral("Player: hallo daar"));
    game.scene.greenchat.setCaption(QStringLiteral("P2: hoi"));
    game.Win();
    const double usual = medianFrameMs(form);
    // The longest chat line a peer can send: just under 64 KiB of words.
    game.scene.greenchat.setCaption(QStringLiteral("P2: ") +
                                    QStringLiteral("hallo daar ").repeated(64 * 1024 / 11));
    const double longest = medianFrameMs(form);
    std::printf("frame: median full-scene paint %.3f ms, %.3f ms with a 64 KiB chat line, "
                "over 500 frames each\n",
                usual, longest);
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QtPlatform platform;
    Form1 form(platform);
    benchFrame(form);
    benchLog(form);
    return 0;
}
