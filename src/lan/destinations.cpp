// SPDX-License-Identifier: MIT
#include "destinations.h"

#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

#include <arpa/inet.h>

namespace {

// A name that DNS could hold, international ones included: QUrl's check of
// the rules for host names, and no longer than DNS takes.
bool isHostName(const QString& name)
{
    const QByteArray ace = QUrl::toAce(name);
    return !ace.isEmpty() && ace.size() <= 253;
}

// An IPv4 address as players write it: four decimal numbers of 0 to 255,
// with no leading zero. The other forms the C library reads ("2539",
// "127.1", "010.0.0.1", "0x7f000001") name places nobody meant.
bool isDottedQuad(const QString& host)
{
    in_addr ignored;
    return ::inet_pton(AF_INET, host.toLatin1().constData(), &ignored) == 1;
}

// A name whose last label is a number (decimal, or hex as 0x...) is none
// that DNS hands out: the resolver would read it as an IPv4 address in one
// of those forms ("2539" as 0.0.9.235).
bool looksLikeANumber(const QString& name)
{
    QString last = name.endsWith(QLatin1Char('.')) ? name.chopped(1) : name;
    last = last.mid(last.lastIndexOf(QLatin1Char('.')) + 1);
    static const QRegularExpression number(QStringLiteral("^([0-9]+|0[xX][0-9a-fA-F]*)$"));
    return number.match(last).hasMatch();
}

QString shortened(const QString& text)
{
    constexpr int Shown = 40;
    return text.size() <= Shown ? text : text.left(Shown) + QChar(0x2026);
}

QString notAnAddress(const QString& text)
{
    return QStringLiteral("Not an address: ") + shortened(text);
}

// One destination, or why it is none.
QString readOne(const QString& text, std::optional<quint16> defaultPort, Destination& destination)
{
    QString host = text;
    QString port;
    bool bracketed = false;
    if (host.startsWith(QLatin1Char('['))) {
        // "[2001:db8::5]" or "[2001:db8::5]:2539"
        const qsizetype end = host.indexOf(QLatin1Char(']'));
        if (end < 0)
            return notAnAddress(text);
        const QString after = host.mid(end + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(QLatin1Char(':')))
                return notAnAddress(text);
            port = after.mid(1);
            if (port.isEmpty())
                return notAnAddress(text);
        }
        host = host.mid(1, end - 1);
        bracketed = true;
    } else if (host.count(QLatin1Char(':')) == 1) {
        // "198.51.100.1:2539" or "anna.example:2539"; more colons than one
        // make a bare IPv6 address, which has no port.
        const qsizetype colon = host.indexOf(QLatin1Char(':'));
        port = host.mid(colon + 1);
        host = host.left(colon);
        if (port.isEmpty())
            return notAnAddress(text);
    }

    // A port in the text is up to five digits; one outside 1 to 65535 is
    // told as such.
    const bool digits = port.size() <= 5 && std::all_of(port.cbegin(), port.cend(), [](QChar c) {
                            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
                        });
    if (!digits)
        return notAnAddress(text);
    const std::optional<quint16> portNumber = port.isEmpty() ? defaultPort : readPort(port);
    if (!portNumber)
        return portOutOfRange();

    const QHostAddress address(host);
    const auto family = address.protocol();
    if (bracketed && family != QAbstractSocket::IPv6Protocol)
        return notAnAddress(text);
    if (host.contains(QLatin1Char(':')) && family != QAbstractSocket::IPv6Protocol)
        return notAnAddress(text);
    if (family == QAbstractSocket::IPv4Protocol && !isDottedQuad(host))
        return notAnAddress(text);
    if (family == QAbstractSocket::UnknownNetworkLayerProtocol &&
        (!isHostName(host) || looksLikeANumber(host)))
        return notAnAddress(text);

    destination.host = host;
    if (family != QAbstractSocket::UnknownNetworkLayerProtocol)
        destination.address = address;
    destination.port = *portNumber;
    destination.portGiven = !port.isEmpty();
    return {};
}

} // namespace

QString withPort(const QString& host, quint16 port)
{
    const bool ipv6 = host.contains(QLatin1Char(':'));
    return (ipv6 ? QLatin1Char('[') + host + QLatin1Char(']') : host) + QLatin1Char(':') +
           QString::number(port);
}

QString withPort(const QHostAddress& address, quint16 port)
{
    return withPort(address.toString(), port);
}

std::optional<quint16> readPort(const QString& text)
{
    const QString digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 5)
        return std::nullopt;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const int port = digits.toInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

QString portOutOfRange()
{
    return QStringLiteral("Port must be 1 to 65535");
}

QString Destination::text() const
{
    return withPort(host, port);
}

QString Destination::hostText() const
{
    return host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
}

bool Destination::operator==(const Destination& other) const
{
    if (port != other.port)
        return false;
    if (address.isNull() || other.address.isNull())
        return address.isNull() && other.address.isNull() &&
               host.compare(other.host, Qt::CaseInsensitive) == 0;
    return address.isEqual(other.address, QHostAddress::ConvertV4MappedToIPv4);
}

DestinationList readDestinations(const QString& text, std::optional<quint16> defaultPort)
{
    DestinationList result;
    if (text.size() > MaxTextLength) {
        result.error = QStringLiteral("Too long for an address");
        return result;
    }
    static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
    const QStringList entries = text.split(separators, Qt::SkipEmptyParts);
    if (entries.isEmpty()) {
        result.error = QStringLiteral("No address given");
        return result;
    }
    for (const QString& entry : entries) {
        Destination destination;
        result.error = readOne(entry, defaultPort, destination);
        if (!result.error.isEmpty()) {
            result.list.clear();
            return result;
        }
        if (result.list.contains(destination))
            continue;
        if (result.list.size() == MaxDestinations) {
            result.list.clear();
            result.error = QStringLiteral("More than %1 addresses").arg(MaxDestinations);
            return result;
        }
        result.list.append(destination);
    }
    return result;
}
