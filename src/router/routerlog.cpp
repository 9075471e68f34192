// SPDX-License-Identifier: MIT
#include "routerlog.h"

Q_LOGGING_CATEGORY(lcRouter, "korvaloop.router", QtWarningMsg)
