// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace appinfo {

// The caption of every message box.
inline const QString Title = QStringLiteral("Korvaloop");

inline constexpr int Major = KORVALOOP_VERSION_MAJOR;
inline constexpr int Minor = KORVALOOP_VERSION_MINOR;
inline constexpr int Revision = KORVALOOP_VERSION_PATCH;

} // namespace appinfo
