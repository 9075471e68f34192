// SPDX-License-Identifier: MIT
#pragma once

#include <thread>

// Reading the system's font configuration is the dearest part of start-up.
// It needs nothing from Qt, so it is done on a second thread while the
// application connects to the display. Join the thread before the first
// widget is made: both at once would read the configuration twice.
std::thread warmUpFontConfiguration();
