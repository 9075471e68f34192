// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>
#include <QtGlobal>

// The windows keep their controls to themselves, and the session its socket
// and receiver. Each is made with its name in the code as its object name
// ("cmdOK", "adress", "sock"), and tests and benchmarks find it by that name.
// A name that finds nothing ends the program there and then, saying which.
template <class T> T* named(const QObject& owner, const char* name)
{
    T* found = owner.findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("%s has no %s named %s", owner.metaObject()->className(),
               T::staticMetaObject.className(), name);
    return found;
}
