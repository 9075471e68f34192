// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

// Some cases take long on purpose: a real router's lease running out, a
// box left open for a minute, a flood of ten seconds. They run with the slow
// tests (the CTest label "slow": ./test --all), which set KORVALOOP_SOAK;
// the everyday run takes the short form, which catches the same faults with
// the classes' time-outs made short.
inline bool soaking()
{
    return qEnvironmentVariableIsSet("KORVALOOP_SOAK");
}

// The everyday value, or the long one while soaking.
template <typename T> T soakOr(T everyday, T soak)
{
    return soaking() ? soak : everyday;
}

#define SKIP_UNLESS_SOAKING()                                                                      \
    do {                                                                                           \
        if (!soaking())                                                                            \
            QSKIP("a long run: with the slow tests (ctest -L slow)");                              \
    } while (false)
