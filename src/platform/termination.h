// SPDX-License-Identifier: MIT
#pragma once

class QWidget;

// When the desktop asks the program to end (SIGTERM, SIGINT, SIGHUP, say at
// log-out or Ctrl+C in a terminal), the main window is closed the ordinary
// way, so every window closes and the program ends with exit code 0.
void closeOnTermination(QWidget* mainWindow);
