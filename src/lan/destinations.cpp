// SPDX-License-Identifier: MIT
#include "destinations.h"

#include "sock.h"

#include <QRegularExpression>
#include <QUrl>

#include <arpa/inet.h>

namespace {

// A port as written: one to five ASCII digits.
bool readPort(const QString& text, int& port)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    port = text.toInt();
    return true;
}

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
QString readOne(const QString& text, int defaultPort, Destination& destination)
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

    int portNumber = defaultPort;
    if (!port.isEmpty() && !readPort(port, portNumber))
        return notAnAddress(text);
    if (portNumber < 1 || portNumber > 65535)
        return Sock::portOutOfRange();

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
    destination.port = quint16(portNumber);
    destination.portGiven = !port.isEmpty();
    return {};
}

} // namespace

QString Destination::text() const
{
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    return (ipv6 ? QLatin1Char('[') + host + QLatin1Char(']') : host) + QLatin1Char(':') +
           QString::number(port);
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

DestinationList readDestinations(const QString& text, int defaultPort)
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
