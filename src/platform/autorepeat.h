// SPDX-License-Identifier: MIT
#pragma once

// How a held key repeats on this desktop: the first repeat after `delayMs`,
// then one every `intervalMs`.
struct AutoRepeat {
    int delayMs;
    int intervalMs;
};

// On X11 the server's keyboard settings, which the desktop's keyboard
// preferences write; elsewhere Qt's rate after the usual half a second.
AutoRepeat desktopAutoRepeat();
