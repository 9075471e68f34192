// SPDX-License-Identifier: MIT
#pragma once

#include "connectdialog/answerrow.h"
#include "connectdialog/mplayer.h"
#include "connectdialog/routerrow.h"
#include "connectdialog/statusline.h"
#include "named.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

// The connection dialog as a player works it: the window and its controls,
// found by their object names, which are their names in mplayer.
struct DialogControls {
    explicit DialogControls(mplayer& dialog)
        : window(dialog)
        , Label2(named<QLabel>(dialog, "Label2"))
        , username(named<QLineEdit>(dialog, "username"))
        , Label1(named<QLabel>(dialog, "Label1"))
        , update(named<QLineEdit>(dialog, "update"))
        , lblLabels{named<QLabel>(dialog, "lblLabels[0]"), named<QLabel>(dialog, "lblLabels[1]")}
        , adress(named<QComboBox>(dialog, "adress"))
        , port(named<QLineEdit>(dialog, "port"))
        , host(named<QRadioButton>(dialog, "host"))
        , join(named<QRadioButton>(dialog, "join"))
        , status(named<StatusLine>(dialog, "status"))
        , cmdOK(named<QPushButton>(dialog, "cmdOK"))
        , cmdCancel(named<QPushButton>(dialog, "cmdCancel"))
        , router(named<RouterRow>(dialog, "router"))
        , answerRow(named<AnswerRow>(dialog, "answerRow"))
    {
    }

    mplayer& window;
    QLabel* Label2;
    QLineEdit* username;
    QLabel* Label1;
    QLineEdit* update;
    QLabel* lblLabels[2];
    QComboBox* adress;
    QLineEdit* port;
    QRadioButton* host;
    QRadioButton* join;
    StatusLine* status;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    RouterRow* router;
    AnswerRow* answerRow;
};
