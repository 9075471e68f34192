// SPDX-License-Identifier: MIT
#include "lanlog.h"

Q_LOGGING_CATEGORY(lcLan, "korvaloop.lan", QtWarningMsg)
