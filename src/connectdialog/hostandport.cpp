// SPDX-License-Identifier: MIT
#include "hostandport.h"

#include "lan/destinations.h"

// Read as a join reads the address field, so that the two never disagree.
std::optional<HostAndPort> splitHostAndPort(const QString& text)
{
    constexpr int AnyPort = 1; // a destination without its own is none of these
    const DestinationList read = readDestinations(text, AnyPort);
    if (read.list.size() != 1 || !read.list.first().portGiven)
        return std::nullopt;
    const Destination& destination = read.list.first();
    const qsizetype colon = destination.text().lastIndexOf(QLatin1Char(':'));
    return HostAndPort{destination.text().left(colon), QString::number(destination.port)};
}
