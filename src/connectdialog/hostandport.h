// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

// An address as players pass it on, with its port: "203.0.113.7:2539",
// "[2001:db8::5]:2539", "anna.example:2539". An IPv6 address alone
// ("2001:db8::5", "::1") and a host name alone have no port here.
struct HostAndPort {
    QString host;
    QString port;
};
std::optional<HostAndPort> splitHostAndPort(const QString& text);
