// SPDX-License-Identifier: MIT
#include "fontwarmup.h"

#include <dlfcn.h>

std::thread warmUpFontConfiguration()
{
    return std::thread([] {
        // The font library comes with Qt's GUI library; it is looked up
        // rather than linked so the game does not depend on it directly.
        using FcInit = int (*)();
        if (const auto init = reinterpret_cast<FcInit>(::dlsym(RTLD_DEFAULT, "FcInit")))
            init();
    });
}
