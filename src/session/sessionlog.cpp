// SPDX-License-Identifier: MIT
#include "sessionlog.h"

Q_LOGGING_CATEGORY(lcSession, "korvaloop.session", QtWarningMsg)
