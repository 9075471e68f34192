// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

// One address as players pass it on, with its port: "203.0.113.7:2539",
// "[2001:db8::5]:2539", "anna.example:2539". An IPv6 address alone
// ("2001:db8::5", "::1"), a host name alone, and several addresses are none
// of these. The host keeps the brackets of an IPv6 address.
struct HostAndPort {
    QString host;
    QString port;
};
std::optional<HostAndPort> splitHostAndPort(const QString& text);
