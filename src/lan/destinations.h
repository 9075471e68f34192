// SPDX-License-Identifier: MIT
#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

// One place a join can go: an address or a host name, and a port.
struct Destination {
    QString host;         // as given, without the brackets of an IPv6 address
    QHostAddress address; // none for a host name, which is looked up
    quint16 port = 0;
    bool portGiven = false; // false: the port field's
    // As players write it: "198.51.100.1:2539", "[2001:db8::5]:2539",
    // "anna.example:2539".
    QString text() const;
    // The host as players write it beside a port: an IPv6 address in
    // brackets ("[2001:db8::5]").
    QString hostText() const;
    bool operator==(const Destination& other) const;
};

// What a join was told, taken apart: where to go, or why not.
struct DestinationList {
    QList<Destination> list;
    QString error; // empty when the text holds one or more destinations
};

// The one writer of an address with its port, as players pass it on: an IPv6
// address in brackets ("[2001:db8::5]:2539"), anything else as it is
// ("198.51.100.1:2539", "anna.example:2539").
QString withPort(const QString& host, quint16 port);
QString withPort(const QHostAddress& address, quint16 port);

// A port as a field holds it: a whole number of 1 to 65535 in ASCII digits,
// blanks around it forgiven; nothing otherwise, and portOutOfRange() says why.
std::optional<quint16> readPort(const QString& text);
QString portOutOfRange();

// The address field holds one or several destinations, separated by blanks
// (as Co&py gives them: "198.51.100.1:2539  [2001:db8:1::10]:2539") or
// commas. Each is an IPv4 address (four decimal numbers, as in
// "198.51.100.1"; none of the C library's other forms), an IPv6 address
// (bare, or in brackets) or a host name, with ":port" or without; one
// without takes `defaultPort`, and is refused when there is none.
// The same destination given twice counts once. What is not an address is
// refused, and so are more than MaxDestinations and a text longer than
// MaxTextLength: the field is the player's, but a paste can hold anything.
inline constexpr int MaxDestinations = 16;
inline constexpr int MaxTextLength = 4096;
DestinationList readDestinations(const QString& text, std::optional<quint16> defaultPort);
