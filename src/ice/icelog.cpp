// SPDX-License-Identifier: MIT
#include "icelog.h"

Q_LOGGING_CATEGORY(lcIce, "korvaloop.ice", QtWarningMsg)
