// SPDX-License-Identifier: MIT
#include "gamepadlog.h"

Q_LOGGING_CATEGORY(lcGamepad, "korvaloop.gamepad", QtWarningMsg)
