// SPDX-License-Identifier: MIT
// A home router for the tests, as small as they need and as awkward as they
// ask: a UPnP-IGD (SSDP answers, a description and the SOAP calls a client
// makes) and, when asked, NAT-PMP. It forwards nothing: it writes what it
// is asked to stdout, one line each, and answers as its options say.
//
//   fakeigd ADDRESS [options]
//
// It answers SSDP searches on the interface that holds ADDRESS and serves
// HTTP on ADDRESS: every GET answers the description, every other request
// is a SOAP call to the WANIPConnection (whatever its path). One request a
// connection; one whose headers or body pass 64 KiB has its connection
// closed. Options (all combinable; a bad one gets the usage and exit 2):
//   --outside TEXT        NewExternalIPAddress, byte for byte (default
//                         198.51.100.1)
//   --status TEXT         NewConnectionStatus of GetStatusInfo (default
//                         Connected)
//   --permanent-only      error 725 to AddPortMapping and AddAnyPortMapping
//                         with any lease but "0"
//   --answer-delay MS     holds back the answer to AddPortMapping
//   --igd2                an InternetGatewayDevice:2 (WANDevice:2,
//                         WANConnectionDevice:2, WANIPConnection:2, in the
//                         description and the SOAP answers), found by
//                         searches for IGD:1 and IGD:2. Only it answers
//                         AddAnyPortMapping: the asked port if it is free or
//                         held by the same client and port, else the next
//                         free one above it (after 65535, from 1024); a port
//                         that is not 1-65535 gets error 402
//   --reserved-port TEXT  AddAnyPortMapping answers NewReservedPort TEXT and
//                         keeps the forward on the asked port
//   --add-error CODE      AddPortMapping and AddAnyPortMapping answer UPnP
//                         error CODE and make nothing
//   --any-error CODE      only AddAnyPortMapping does (before --add-error)
//   --taken PORT          PORT is forwarded to 192.168.77.99:PORT, lease 0
//                         (repeatable): AddPortMapping of it gets 718
//   --location URL        the LOCATION of search answers, "%a" replaced by
//                         ADDRESS and "%p" by the HTTP port (default
//                         "http://%a:%p/rootDesc.xml"); repeated, a search
//                         gets one answer for each, in their order
//   --junk-description    every GET answers 200 with a body that is no XML
//   --soap-body TEXT      every SOAP call that succeeds answers 200 with the
//                         body TEXT, in place of its response
//   --firewall6 STATE     the device has a WANIPv6FirewallControl:1 too, its
//                         firewall STATE on or off: GetFirewallStatus says
//                         so; AddPinhole answers UniqueID 1, 2, ... while it
//                         is on, error 702 (FirewallDisabled) while it is off;
//                         UpdatePinhole and DeletePinhole take a known ID.
//                         With an IPv6 ADDRESS, searches to ff02::c are
//                         answered on its interface
//   --pinhole-id TEXT     AddPinhole answers UniqueID TEXT (and keeps none)
//   --control-url URL     the WANIPConnection controlURL in the description,
//                         with the same replacements (default /ctl/IPConn)
//   --http-port PORT      the HTTP port (default: any free one)
//   --no-ssdp             answers no searches: an HTTP server only
//   --endless WHAT        WHAT is description (every GET) or soap (every
//                         other request, which is not carried out): the
//                         answer is a status line and headers, without a
//                         length, then filler written 16 KiB at a time while
//                         less than 64 KiB waits in the socket, until the
//                         peer closes
//   --search-flood N      N answers to each search (N at most 10000), sent
//                         in ten even parts over 0.1 s, the
//                         K-th with LOCATION http://ADDRESS:HTTP_PORT/
//                         rootDesc-K.xml, in place of --location
//   --natpmp MODE         NAT-PMP on UDP port 5351 of ADDRESS. The address
//                         answer carries --outside (--outside-later's from
//                         its time on) when it is a dotted IPv4
//                         address, else 0.0.0.0; the epoch is the seconds
//                         since the start. A mapping is granted the asked
//                         public port (the private one if 0) and lifetime; a
//                         lifetime of 0 removes it (all the client's of that
//                         protocol when the private port is 0 too). Another
//                         version than 0 gets result 1. MODE:
//       normal            as above
//       short-address     the address answer is its first 4 bytes only
//       short-map         a mapping answer is its first 8 bytes only
//       wrong-port        a mapping answer names the private port + 1
//       refuse            mappings get result 2 (not authorized), nothing kept
//       silent-map        mappings get no answer, nothing kept
//   --outside-later MS,TEXT  NAT-PMP answers TEXT as the outside address from
//                         MS after the start on
//
// A forward with a lease, or a NAT-PMP mapping with a lifetime, is let go
// when it runs out unless asked for again: "expired" says so.
//
// Lines on stdout:
//   ready
//   search                              an M-SEARCH came
//   GET PATH
//   AddPortMapping OUTSIDE_PORT CLIENT:PORT LEASE RESULT
//   AddAnyPortMapping OUTSIDE_PORT CLIENT:PORT LEASE RESULT RESERVED
//   DeletePortMapping OUTSIDE_PORT RESULT
//   GetSpecificPortMappingEntry OUTSIDE_PORT RESULT
//   GetExternalIPAddress
//   GetStatusInfo
//   GetFirewallStatus on|off
//   AddPinhole CLIENT PORT RESULT [UNIQUEID]
//   UpdatePinhole UNIQUEID RESULT
//   DeletePinhole UNIQUEID RESULT
//   natpmp OPCODE LENGTH                a NAT-PMP request came
//   natpmp-mappings N                   the NAT-PMP forwards kept, after each
//                                       mapping request (opcode 1 or 2)
//   expired OUTSIDE_PORT                a UPnP forward's lease ran out
//   natpmp-expired PUBLIC_PORT          a NAT-PMP mapping's lifetime ran out
//   endless WHAT BYTES                  the peer closed an endless answer;
//                                       BYTES of it (headers included) went
//                                       to the socket
// where RESULT is 0 or the UPnP error answered, and RESERVED is the
// NewReservedPort answered ("-" after an error).
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMap>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

#include <cstdio>
#include <optional>
#include <tuple>

namespace {

const QHostAddress SsdpGroup(QStringLiteral("239.255.255.250"));
const QHostAddress SsdpGroup6(QStringLiteral("ff02::c"));
constexpr quint16 SsdpPort = 1900;
constexpr quint16 NatPmpPort = 5351;
constexpr qsizetype HttpLimit = 64 * 1024; // of a request's headers, and of its body
constexpr qsizetype EndlessChunk = 16 * 1024;
constexpr qsizetype EndlessWindow = 64 * 1024;
const QByteArray OtherMachine = QByteArrayLiteral("192.168.77.99");

constexpr int InvalidAction = 401;
constexpr int InvalidArgs = 402;
constexpr int NoSuchEntryInArray = 714;
constexpr int ConflictInMappingEntry = 718;
constexpr int OnlyPermanentLeasesSupported = 725;
constexpr int NoPortMapsAvailable = 728;
constexpr int FirewallDisabled = 702;
const QByteArray FirewallType =
    QByteArrayLiteral("urn:schemas-upnp-org:service:WANIPv6FirewallControl:1");

// When a lease of SECONDS, given now, runs out; "0" or no number is for ever.
QDeadlineTimer leaseEnd(qint64 seconds)
{
    return seconds > 0 ? QDeadlineTimer(seconds * 1000) : QDeadlineTimer(QDeadlineTimer::Forever);
}

void say(const QByteArray& line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct Settings {
    QHostAddress address;
    QByteArray outside = "198.51.100.1";
    QByteArray status = "Connected";
    bool permanentOnly = false;
    int answerDelay = 0;
    bool igd2 = false;
    std::optional<QByteArray> reservedPort;
    int addError = 0;
    int anyError = 0;
    QList<quint16> taken;
    QByteArrayList locations;
    bool junkDescription = false;
    std::optional<QByteArray> soapBody;
    QByteArray firewall6; // empty (no such service), "on" or "off"
    std::optional<QByteArray> pinholeId;
    QByteArray controlUrl = "/ctl/IPConn";
    quint16 httpPort = 0;
    bool ssdp = true;
    QByteArray endless; // empty, "description" or "soap"
    int searchFlood = 0;
    QByteArray natPmp; // empty (none) or the mode
    int outsideLaterMs = -1;
    QByteArray outsideLater;
};

// ---- The command line ------------------------------------------------------

std::optional<int> number(const QByteArray& text, int lowest, int highest)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

bool setFlag(Settings& settings, const QByteArray& name)
{
    if (name == "--permanent-only")
        settings.permanentOnly = true;
    else if (name == "--igd2")
        settings.igd2 = true;
    else if (name == "--no-ssdp")
        settings.ssdp = false;
    else if (name == "--junk-description")
        settings.junkDescription = true;
    else
        return false;
    return true;
}

// Sets the option NAME to VALUE: false when either makes no sense.
bool setOption(Settings& settings, const QByteArray& name, const QByteArray& value)
{
    const auto setNumber = [&value](int& to, int lowest, int highest) {
        const std::optional<int> parsed = number(value, lowest, highest);
        to = parsed.value_or(to);
        return parsed.has_value();
    };
    int port = 0;
    if (name == "--outside")
        settings.outside = value;
    else if (name == "--status")
        settings.status = value;
    else if (name == "--answer-delay")
        return setNumber(settings.answerDelay, 0, 600000);
    else if (name == "--reserved-port")
        settings.reservedPort = value;
    else if (name == "--add-error")
        return setNumber(settings.addError, 1, 9999);
    else if (name == "--any-error")
        return setNumber(settings.anyError, 1, 9999);
    else if (name == "--taken" && setNumber(port, 1, 65535))
        settings.taken.append(quint16(port));
    else if (name == "--soap-body")
        settings.soapBody = value;
    else if (name == "--firewall6" && (value == "on" || value == "off"))
        settings.firewall6 = value;
    else if (name == "--pinhole-id")
        settings.pinholeId = value;
    else if (name == "--location")
        settings.locations.append(value);
    else if (name == "--control-url")
        settings.controlUrl = value;
    else if (name == "--http-port" && setNumber(port, 1, 65535))
        settings.httpPort = quint16(port);
    else if (name == "--endless" && (value == "description" || value == "soap"))
        settings.endless = value;
    else if (name == "--outside-later" && value.contains(',') &&
             number(value.left(value.indexOf(',')), 0, 600000)) {
        settings.outsideLaterMs = *number(value.left(value.indexOf(',')), 0, 600000);
        settings.outsideLater = value.mid(value.indexOf(',') + 1);
    } else if (name == "--search-flood")
        return setNumber(settings.searchFlood, 1, 10000);
    else if (name == "--natpmp" && QByteArrayList{"normal", "short-address", "short-map",
                                                  "wrong-port", "refuse", "silent-map"}
                                       .contains(value))
        settings.natPmp = value;
    else
        return false;
    return true;
}

std::optional<Settings> parse(const QByteArrayList& arguments)
{
    Settings settings;
    QByteArrayList addresses;
    for (qsizetype at = 0; at < arguments.size(); ++at) {
        const QByteArray& argument = arguments[at];
        if (!argument.startsWith("--"))
            addresses.append(argument);
        else if (!setFlag(settings, argument) &&
                 (at + 1 >= arguments.size() || !setOption(settings, argument, arguments[++at])))
            return std::nullopt;
    }
    settings.address = QHostAddress(QString::fromLatin1(addresses.value(0)));
    if (addresses.size() != 1 || settings.address.isNull())
        return std::nullopt;
    if (settings.locations.isEmpty())
        settings.locations.append("http://%a:%p/rootDesc.xml");
    return settings;
}

// ---- UPnP-IGD --------------------------------------------------------------

QByteArray expand(QByteArray pattern, const QHostAddress& address, quint16 port)
{
    const QByteArray host = address.protocol() == QAbstractSocket::IPv6Protocol
                                ? '[' + address.toString().toLatin1() + ']'
                                : address.toString().toLatin1();
    return pattern.replace("%a", host).replace("%p", QByteArray::number(port));
}

QByteArray httpResponse(const char* status, const QByteArray& body)
{
    return QByteArray("HTTP/1.1 ") + status +
           "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray envelope(const QByteArray& body)
{
    return "<?xml version=\"1.0\"?>\r\n<s:Envelope "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>" +
           body + "</s:Body></s:Envelope>";
}

QByteArray soapError(int code)
{
    return httpResponse(
        "500 Internal Server Error",
        envelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
                 "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
                 QByteArray::number(code) + "</errorCode></UPnPError></detail></s:Fault>"));
}

QByteArray argument(const QByteArray& body, const char* name)
{
    const QRegularExpression element(QStringLiteral("<%1>([^<]*)</%1>").arg(QLatin1String(name)));
    return element.match(QString::fromUtf8(body)).captured(1).toUtf8();
}

QByteArray element(const char* name, const QByteArray& value)
{
    return QByteArray("<") + name + '>' + value + "</" + name + '>';
}

// The router's description, and the SOAP calls to its WANIPConnection.
class Igd {
public:
    explicit Igd(const Settings& settings)
        : m_settings(settings)
        , m_version(settings.igd2 ? "2" : "1")
    {
        for (quint16 port : settings.taken)
            m_forwards[QByteArray::number(port)] = {OtherMachine, QByteArray::number(port), "0",
                                                    leaseEnd(0)};
    }

    QByteArray deviceType() const
    {
        return "urn:schemas-upnp-org:device:InternetGatewayDevice:" + m_version;
    }

    QByteArray description(quint16 httpPort) const
    {
        const QByteArray controlUrl = expand(m_settings.controlUrl, m_settings.address, httpPort);
        return "<?xml version=\"1.0\"?>\r\n"
               "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
               "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
               "<deviceType>" +
               deviceType() +
               "</deviceType><friendlyName>Test router</friendlyName>"
               "<UDN>uuid:6b6f7276-616c-6f6f-7000-000000000010</UDN><deviceList><device>"
               "<deviceType>urn:schemas-upnp-org:device:WANDevice:" +
               m_version +
               "</deviceType>"
               "<UDN>uuid:6b6f7276-616c-6f6f-7000-000000000011</UDN><serviceList><service>"
               "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
               "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>"
               "<controlURL>/ctl/CmnIfCfg</controlURL><eventSubURL>/evt/CmnIfCfg</eventSubURL>"
               "<SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList><deviceList><device>"
               "<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:" +
               m_version +
               "</deviceType>"
               "<UDN>uuid:6b6f7276-616c-6f6f-7000-000000000012</UDN><serviceList><service>"
               "<serviceType>" +
               serviceType() +
               "</serviceType><serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>"
               "<controlURL>" +
               controlUrl +
               "</controlURL><eventSubURL>/evt/IPConn</eventSubURL>"
               "<SCPDURL>/WANIPCn.xml</SCPDURL></service>" +
               firewallService() +
               "</serviceList></device></deviceList>"
               "</device></deviceList></device></root>";
    }

    // Lets go of the forwards whose lease ran out.
    void expire()
    {
        for (auto it = m_forwards.begin(); it != m_forwards.end();) {
            if (!it->until.hasExpired()) {
                ++it;
                continue;
            }
            say("expired " + it.key());
            it = m_forwards.erase(it);
        }
    }

    QByteArray call(const QByteArray& action, const QByteArray& body)
    {
        expire();
        if (action == "GetStatusInfo")
            return getStatusInfo();
        if (action == "GetExternalIPAddress")
            return getExternalIpAddress();
        if (action == "AddPortMapping")
            return addPortMapping(body);
        if (action == "AddAnyPortMapping" && m_settings.igd2)
            return addAnyPortMapping(body);
        if (action == "GetSpecificPortMappingEntry")
            return getSpecificPortMappingEntry(body);
        if (action == "DeletePortMapping")
            return deletePortMapping(body);
        if (!m_settings.firewall6.isEmpty()) {
            if (action == "GetFirewallStatus")
                return getFirewallStatus();
            if (action == "AddPinhole")
                return addPinhole(body);
            if (action == "UpdatePinhole" || action == "DeletePinhole")
                return changePinhole(action, body);
        }
        return soapError(InvalidAction);
    }

private:
    struct Forward {
        QByteArray client;
        QByteArray port;
        QByteArray lease;
        QDeadlineTimer until;
        QByteArray to() const { return client + ':' + port; }
    };

    QByteArray serviceType() const
    {
        return "urn:schemas-upnp-org:service:WANIPConnection:" + m_version;
    }

    QByteArray soapAnswer(const QByteArray& action, const QByteArray& arguments) const
    {
        if (m_settings.soapBody)
            return httpResponse("200 OK", *m_settings.soapBody);
        return httpResponse("200 OK",
                            envelope("<u:" + action + "Response xmlns:u=\"" + serviceType() +
                                     "\">" + arguments + "</u:" + action + "Response>"));
    }

    QByteArray firewallService() const
    {
        if (m_settings.firewall6.isEmpty())
            return {};
        return "<service><serviceType>" + FirewallType +
               "</serviceType><serviceId>urn:upnp-org:serviceId:WANIPv6Firewall1</serviceId>"
               "<controlURL>/ctl/IP6FCtl</controlURL><eventSubURL>/evt/IP6FCtl</eventSubURL>"
               "<SCPDURL>/WANIP6FC.xml</SCPDURL></service>";
    }

    QByteArray firewallAnswer(const QByteArray& action, const QByteArray& arguments) const
    {
        if (m_settings.soapBody)
            return httpResponse("200 OK", *m_settings.soapBody);
        return httpResponse("200 OK",
                            envelope("<u:" + action + "Response xmlns:u=\"" + FirewallType + "\">" +
                                     arguments + "</u:" + action + "Response>"));
    }

    QByteArray getFirewallStatus() const
    {
        say("GetFirewallStatus " + m_settings.firewall6);
        return firewallAnswer("GetFirewallStatus",
                              element("FirewallEnabled", m_settings.firewall6 == "on" ? "1" : "0") +
                                  element("InboundPinholeAllowed", "1"));
    }

    QByteArray addPinhole(const QByteArray& body)
    {
        const QByteArray to =
            argument(body, "InternalClient") + ' ' + argument(body, "InternalPort");
        if (m_settings.firewall6 != "on") {
            say("AddPinhole " + to + ' ' + QByteArray::number(FirewallDisabled));
            return soapError(FirewallDisabled);
        }
        QByteArray id = m_settings.pinholeId.value_or(QByteArray::number(++m_lastPinhole));
        if (!m_settings.pinholeId)
            m_pinholes.append(id);
        say("AddPinhole " + to + " 0 " + id);
        return firewallAnswer("AddPinhole", element("UniqueID", id));
    }

    QByteArray changePinhole(const QByteArray& action, const QByteArray& body)
    {
        const QByteArray id = argument(body, "UniqueID");
        const int result = m_pinholes.contains(id) ? 0 : NoSuchEntryInArray;
        if (!result && action == "DeletePinhole")
            m_pinholes.removeAll(id);
        say(action + ' ' + id + ' ' + QByteArray::number(result));
        return result ? soapError(result) : firewallAnswer(action, {});
    }

    QByteArray getStatusInfo() const
    {
        say("GetStatusInfo");
        return soapAnswer("GetStatusInfo",
                          element("NewConnectionStatus", m_settings.status) +
                              "<NewLastConnectionError>ERROR_NONE</NewLastConnectionError>"
                              "<NewUptime>1000</NewUptime>");
    }

    QByteArray getExternalIpAddress() const
    {
        say("GetExternalIPAddress");
        return soapAnswer("GetExternalIPAddress",
                          element("NewExternalIPAddress", m_settings.outside));
    }

    static Forward asked(const QByteArray& body)
    {
        const QByteArray lease = argument(body, "NewLeaseDuration");
        return {argument(body, "NewInternalClient"), argument(body, "NewInternalPort"), lease,
                leaseEnd(lease.toLongLong())};
    }

    bool conflicts(const QByteArray& outsidePort, const Forward& forward) const
    {
        return m_forwards.contains(outsidePort) && m_forwards[outsidePort].to() != forward.to();
    }

    // The error a forward is refused with, or 0.
    int refusal(const Forward& forward, int error) const
    {
        if (error)
            return error;
        if (m_settings.permanentOnly && forward.lease != "0")
            return OnlyPermanentLeasesSupported;
        return 0;
    }

    QByteArray addPortMapping(const QByteArray& body)
    {
        const QByteArray port = argument(body, "NewExternalPort");
        const Forward forward = asked(body);
        int result = refusal(forward, m_settings.addError);
        if (!result && conflicts(port, forward))
            result = ConflictInMappingEntry;
        if (!result)
            m_forwards[port] = forward;
        say("AddPortMapping " + port + ' ' + forward.to() + ' ' + forward.lease + ' ' +
            QByteArray::number(result));
        return result ? soapError(result) : soapAnswer("AddPortMapping", {});
    }

    static int nextPort(int port) { return port < 65535 ? port + 1 : 1024; }

    // The asked port if FORWARD may have it, else the next free one.
    std::optional<quint16> freePort(quint16 asked, const Forward& forward) const
    {
        for (int tried = 0, port = asked; tried < 65535; ++tried, port = nextPort(port)) {
            if (!conflicts(QByteArray::number(port), forward))
                return quint16(port);
        }
        return std::nullopt;
    }

    QByteArray addAnyPortMapping(const QByteArray& body)
    {
        const QByteArray port = argument(body, "NewExternalPort");
        const Forward forward = asked(body);
        const std::optional<int> askedPort = number(port, 1, 65535);
        int result =
            refusal(forward, m_settings.anyError ? m_settings.anyError : m_settings.addError);
        if (!result && !askedPort)
            result = InvalidArgs;
        QByteArray reserved = "-";
        if (!result && m_settings.reservedPort) {
            reserved = *m_settings.reservedPort;
            m_forwards[port] = forward;
        } else if (!result) {
            const std::optional<quint16> free = freePort(quint16(*askedPort), forward);
            result = free ? 0 : NoPortMapsAvailable;
            if (free) {
                reserved = QByteArray::number(*free);
                m_forwards[reserved] = forward;
            }
        }
        say("AddAnyPortMapping " + port + ' ' + forward.to() + ' ' + forward.lease + ' ' +
            QByteArray::number(result) + ' ' + reserved);
        return result ? soapError(result)
                      : soapAnswer("AddAnyPortMapping", element("NewReservedPort", reserved));
    }

    QByteArray getSpecificPortMappingEntry(const QByteArray& body) const
    {
        const QByteArray port = argument(body, "NewExternalPort");
        const bool held = m_forwards.contains(port);
        say("GetSpecificPortMappingEntry " + port + ' ' +
            QByteArray::number(held ? 0 : NoSuchEntryInArray));
        if (!held)
            return soapError(NoSuchEntryInArray);
        const Forward& forward = m_forwards[port];
        return soapAnswer("GetSpecificPortMappingEntry",
                          element("NewInternalPort", forward.port) +
                              element("NewInternalClient", forward.client) +
                              element("NewEnabled", "1") +
                              element("NewLeaseDuration", forward.lease));
    }

    QByteArray deletePortMapping(const QByteArray& body)
    {
        const QByteArray port = argument(body, "NewExternalPort");
        const int result = m_forwards.remove(port) ? 0 : NoSuchEntryInArray;
        say("DeletePortMapping " + port + ' ' + QByteArray::number(result));
        return result ? soapError(result) : soapAnswer("DeletePortMapping", {});
    }

    const Settings& m_settings;
    const QByteArray m_version;
    QMap<QByteArray, Forward> m_forwards; // by outside port
    QByteArrayList m_pinholes;            // their UniqueIDs
    int m_lastPinhole = 0;
};

// ---- HTTP ------------------------------------------------------------------

// An answer that never ends: headers, then filler 16 KiB at a time while
// less than 64 KiB waits in the socket, until the peer closes.
class EndlessAnswer : public QObject {
public:
    EndlessAnswer(QTcpSocket* socket, const QByteArray& what)
        : QObject(socket)
        , m_socket(socket)
        , m_what(what)
    {
        connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64 bytes) {
            m_written += bytes;
            topUp();
        });
        connect(socket, &QTcpSocket::disconnected, this, &EndlessAnswer::report);
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
                      "Connection: close\r\n\r\n");
        topUp();
    }

private:
    static QByteArray filler()
    {
        const QByteArray line = "<filler>endless</filler>\r\n";
        return line.repeated(EndlessChunk / line.size() + 1).left(EndlessChunk);
    }

    void topUp()
    {
        static const QByteArray chunk = filler();
        while (m_socket->state() == QAbstractSocket::ConnectedState &&
               m_socket->bytesToWrite() < EndlessWindow)
            m_socket->write(chunk);
    }

    void report()
    {
        if (!m_reported)
            say("endless " + m_what + ' ' + QByteArray::number(m_written));
        m_reported = true;
    }

    QTcpSocket* m_socket;
    QByteArray m_what;
    qint64 m_written = 0;
    bool m_reported = false;
};

class HttpServer : public QObject {
public:
    HttpServer(const Settings& settings, Igd& igd)
        : m_settings(settings)
        , m_igd(igd)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::takeConnections);
    }

    bool listen() { return m_server.listen(m_settings.address, m_settings.httpPort); }
    quint16 port() const { return m_server.serverPort(); }

private:
    struct Request {
        QByteArray headers;
        QByteArray body;
    };

    void takeConnections()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            socket->setReadBufferSize(HttpLimit);
            m_requests[socket];
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_requests.remove(socket);
                socket->deleteLater();
            });
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        }
    }

    // One request a connection: what comes after it is dropped.
    void read(QTcpSocket* socket)
    {
        if (!m_requests.contains(socket)) {
            socket->readAll();
            return;
        }
        QByteArray& received = m_requests[socket];
        received += socket->readAll();
        if (tooLong(received)) {
            socket->abort();
        } else if (const std::optional<Request> request = complete(received)) {
            m_requests.remove(socket);
            answer(socket, *request);
        }
    }

    // The Content-Length of HEADERS: 0 without one, -1 when unreadable.
    static qsizetype bodyLength(const QByteArray& headers)
    {
        const QRegularExpression lengthHeader(QStringLiteral("(?im)^content-length:\\s*(\\d+)"));
        const QString length = lengthHeader.match(QString::fromLatin1(headers)).captured(1);
        bool ok = true;
        const qsizetype bodyLength = length.isEmpty() ? 0 : length.toLongLong(&ok);
        return ok ? bodyLength : -1;
    }

    static bool tooLong(const QByteArray& received)
    {
        const qsizetype headersEnd = received.indexOf("\r\n\r\n");
        if (headersEnd < 0)
            return received.size() >= HttpLimit + 4;
        const qsizetype length = bodyLength(received.left(headersEnd));
        return headersEnd > HttpLimit || length < 0 || length > HttpLimit;
    }

    // The request, once all of it is there.
    static std::optional<Request> complete(const QByteArray& received)
    {
        const qsizetype headersEnd = received.indexOf("\r\n\r\n");
        if (headersEnd < 0)
            return std::nullopt;
        const QByteArray headers = received.left(headersEnd);
        const qsizetype length = bodyLength(headers);
        if (received.size() - headersEnd - 4 < length)
            return std::nullopt;
        return Request{headers, received.mid(headersEnd + 4, length)};
    }

    void answer(QTcpSocket* socket, const Request& request)
    {
        if (request.headers.startsWith("GET ")) {
            say("GET " + request.headers.split('\r').constFirst().split(' ').value(1));
            if (m_settings.endless == "description")
                new EndlessAnswer(socket, m_settings.endless);
            else if (m_settings.junkDescription)
                send(socket, httpResponse("200 OK", "}{ no description here \x01\xff"), 0);
            else
                send(socket, httpResponse("200 OK", m_igd.description(port())), 0);
            return;
        }
        if (m_settings.endless == "soap") {
            new EndlessAnswer(socket, m_settings.endless);
            return;
        }
        const QRegularExpression actionHeader(QStringLiteral("(?im)^soapaction:[^#]*#(\\w+)"));
        const QByteArray action =
            actionHeader.match(QString::fromLatin1(request.headers)).captured(1).toLatin1();
        send(socket, m_igd.call(action, request.body),
             action == "AddPortMapping" ? m_settings.answerDelay : 0);
    }

    static void send(QTcpSocket* socket, const QByteArray& response, int delay)
    {
        QTimer::singleShot(delay, socket, [socket, response] {
            socket->write(response);
            socket->disconnectFromHost();
        });
    }

    const Settings& m_settings;
    Igd& m_igd;
    QTcpServer m_server;
    QMap<QTcpSocket*, QByteArray> m_requests; // received of those not answered yet
};

// ---- SSDP ------------------------------------------------------------------

class Ssdp : public QObject {
public:
    Ssdp(const Settings& settings, const Igd& igd, const HttpServer& http)
        : m_settings(settings)
        , m_igd(igd)
        , m_http(http)
    {
    }

    bool start()
    {
        const bool ipv6 = m_settings.address.protocol() == QAbstractSocket::IPv6Protocol;
        if (!m_socket.bind(ipv6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, SsdpPort,
                           QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint))
            return false;
        bool joined = false;
        for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
            for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
                if (entry.ip() == m_settings.address)
                    joined = m_socket.joinMulticastGroup(ipv6 ? SsdpGroup6 : SsdpGroup, interface);
            }
        }
        connect(&m_socket, &QUdpSocket::readyRead, this, &Ssdp::answerSearches);
        return joined;
    }

private:
    void answerSearches()
    {
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram search = m_socket.receiveDatagram();
            if (!search.data().startsWith("M-SEARCH"))
                continue;
            say("search");
            const QByteArrayList all = answers(searchTarget(search.data()));
            const qsizetype part = (all.size() + 9) / 10;
            for (qsizetype from = 0; from < all.size(); from += part) {
                QTimer::singleShot(int(from / part) * 10, this,
                                   [this, answers = all.mid(from, part),
                                    to = search.senderAddress(), port = search.senderPort()] {
                                       for (const QByteArray& answer : answers)
                                           m_socket.writeDatagram(answer, to, quint16(port));
                                   });
            }
        }
    }

    // What the answers name as found: a version 2 device is found by
    // searches for version 1 too.
    QByteArray searchTarget(const QByteArray& search) const
    {
        const QRegularExpression target(QStringLiteral("(?im)^st:\\s*(\\S+)"));
        const QByteArray asked = target.match(QString::fromLatin1(search)).captured(1).toLatin1();
        if (m_settings.igd2 && asked == "urn:schemas-upnp-org:device:InternetGatewayDevice:1")
            return asked;
        return m_igd.deviceType();
    }

    QByteArrayList answers(const QByteArray& target) const
    {
        if (!m_settings.searchFlood) {
            QByteArrayList located;
            for (const QByteArray& location : m_settings.locations)
                located.append(answer(target, expand(location, m_settings.address, m_http.port())));
            return located;
        }
        QByteArrayList flood;
        for (int k = 1; k <= m_settings.searchFlood; ++k)
            flood.append(answer(target, "http://" + m_settings.address.toString().toLatin1() + ':' +
                                            QByteArray::number(m_http.port()) + "/rootDesc-" +
                                            QByteArray::number(k) + ".xml"));
        return flood;
    }

    static QByteArray answer(const QByteArray& target, const QByteArray& location)
    {
        return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + target +
               "\r\nUSN: uuid:6b6f7276-616c-6f6f-7000-000000000010::" + target +
               "\r\nEXT:\r\nSERVER: Linux UPnP/1.1 fakeigd/1\r\nLOCATION: " + location + "\r\n\r\n";
    }

    const Settings& m_settings;
    const Igd& m_igd;
    const HttpServer& m_http;
    QUdpSocket m_socket;
};

// ---- NAT-PMP ---------------------------------------------------------------

class NatPmp : public QObject {
public:
    explicit NatPmp(const Settings& settings)
        : m_settings(settings)
    {
        m_started.start();
    }

    bool start()
    {
        connect(&m_socket, &QUdpSocket::readyRead, this, &NatPmp::answerRequests);
        return m_socket.bind(m_settings.address, NatPmpPort);
    }

private:
    enum Result : quint16 { Success = 0, UnsupportedVersion = 1, NotAuthorized = 2 };
    enum Opcode : quint8 { AddressRequest = 0, MapUdp = 1, MapTcp = 2, Answer = 128 };

    struct Mapping {
        quint32 client;
        quint8 opcode;
        quint16 privatePort;
        bool operator<(const Mapping& other) const
        {
            return std::tie(client, opcode, privatePort) <
                   std::tie(other.client, other.opcode, other.privatePort);
        }
    };

public:
    // Lets go of the mappings whose lifetime ran out.
    void expire()
    {
        for (auto it = m_mappings.begin(); it != m_mappings.end();) {
            if (!it->until.hasExpired()) {
                ++it;
                continue;
            }
            say("natpmp-expired " + QByteArray::number(it->publicPort));
            it = m_mappings.erase(it);
        }
    }

private:
    void answerRequests()
    {
        expire();
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram request = m_socket.receiveDatagram();
            const QByteArray data = request.data();
            if (data.size() < 2)
                continue;
            say("natpmp " + QByteArray::number(quint8(data[1])) + ' ' +
                QByteArray::number(data.size()));
            const std::optional<QByteArray> answer = answerTo(data, request.senderAddress());
            if (answer)
                m_socket.writeDatagram(*answer, request.senderAddress(),
                                       quint16(request.senderPort()));
        }
    }

    std::optional<QByteArray> answerTo(const QByteArray& request, const QHostAddress& client)
    {
        const quint8 opcode = quint8(request[1]);
        if (request[0] != 0)
            return header(opcode, UnsupportedVersion);
        if (opcode == AddressRequest)
            return addressAnswer();
        if (opcode != MapUdp && opcode != MapTcp)
            return std::nullopt;
        std::optional<QByteArray> answer;
        if (request.size() >= 12)
            answer = mappingAnswer(request, client);
        say("natpmp-mappings " + QByteArray::number(m_mappings.size()));
        return answer;
    }

    // Version, opcode, result and epoch: what every answer starts with.
    QByteArray header(quint8 opcode, quint16 result) const
    {
        QByteArray header(8, '\0');
        header[1] = char(Answer + opcode);
        qToBigEndian(result, header.data() + 2);
        qToBigEndian(quint32(m_started.elapsed() / 1000), header.data() + 4);
        return header;
    }

    QByteArray addressAnswer() const
    {
        const QByteArray& text =
            m_settings.outsideLaterMs >= 0 && m_started.elapsed() >= m_settings.outsideLaterMs
                ? m_settings.outsideLater
                : m_settings.outside;
        const QHostAddress outside(QString::fromLatin1(text));
        const bool dotted = QRegularExpression(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"))
                                .match(QString::fromLatin1(text))
                                .hasMatch() &&
                            outside.protocol() == QAbstractSocket::IPv4Protocol;
        QByteArray answer = header(AddressRequest, Success) + QByteArray(4, '\0');
        qToBigEndian(dotted ? outside.toIPv4Address() : 0, answer.data() + 8);
        return m_settings.natPmp == "short-address" ? answer.left(4) : answer;
    }

    std::optional<QByteArray> mappingAnswer(const QByteArray& request, const QHostAddress& client)
    {
        const QByteArray& mode = m_settings.natPmp;
        if (mode == "silent-map")
            return std::nullopt;
        const quint8 opcode = quint8(request[1]);
        const quint16 privatePort = qFromBigEndian<quint16>(request.constData() + 4);
        const quint16 askedPort = qFromBigEndian<quint16>(request.constData() + 6);
        const quint32 lifetime = qFromBigEndian<quint32>(request.constData() + 8);
        if (mode == "refuse")
            return header(opcode, NotAuthorized) + mapping(privatePort, 0, 0);
        const quint16 publicPort = lifetime == 0 ? 0 : askedPort ? askedPort : privatePort;
        record({client.toIPv4Address(), opcode, privatePort}, publicPort, lifetime);
        if (mode == "short-map")
            return header(opcode, Success);
        const quint16 named = mode == "wrong-port" ? quint16(privatePort + 1) : privatePort;
        return header(opcode, Success) + mapping(named, publicPort, lifetime);
    }

    // A lifetime of 0 removes the forward, or all the client's of that
    // protocol when the private port is 0 too.
    void record(const Mapping& asked, quint16 publicPort, quint32 lifetime)
    {
        if (publicPort) {
            m_mappings[asked] = {publicPort, leaseEnd(lifetime)};
            return;
        }
        for (auto it = m_mappings.begin(); it != m_mappings.end();) {
            const Mapping& held = it.key();
            const bool removed = held.client == asked.client && held.opcode == asked.opcode &&
                                 (asked.privatePort == 0 || held.privatePort == asked.privatePort);
            it = removed ? m_mappings.erase(it) : std::next(it);
        }
    }

    static QByteArray mapping(quint16 privatePort, quint16 publicPort, quint32 lifetime)
    {
        QByteArray mapping(8, '\0');
        qToBigEndian(privatePort, mapping.data());
        qToBigEndian(publicPort, mapping.data() + 2);
        qToBigEndian(lifetime, mapping.data() + 4);
        return mapping;
    }

    const Settings& m_settings;
    QElapsedTimer m_started;
    QUdpSocket m_socket;
    struct Held {
        quint16 publicPort;
        QDeadlineTimer until;
    };
    QMap<Mapping, Held> m_mappings;
};

// ---- The router ------------------------------------------------------------

class FakeRouter {
public:
    explicit FakeRouter(const Settings& settings)
        : m_settings(settings)
        , m_igd(settings)
        , m_http(settings, m_igd)
        , m_ssdp(settings, m_igd, m_http)
        , m_natPmp(settings)
    {
        // Leases run out whether or not anyone asks.
        m_expiry.callOnTimeout([this] {
            m_igd.expire();
            m_natPmp.expire();
        });
        m_expiry.start(100);
    }

    bool start()
    {
        return m_http.listen() && (!m_settings.ssdp || m_ssdp.start()) &&
               (m_settings.natPmp.isEmpty() || m_natPmp.start());
    }

private:
    const Settings& m_settings;
    Igd m_igd;
    HttpServer m_http;
    Ssdp m_ssdp;
    NatPmp m_natPmp;
    QTimer m_expiry;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QByteArrayList arguments;
    for (int at = 1; at < argc; ++at)
        arguments.append(argv[at]);
    const std::optional<Settings> settings = parse(arguments);
    if (!settings) {
        std::fprintf(stderr,
                     "usage: fakeigd ADDRESS [--outside TEXT] [--status TEXT] [--permanent-only]\n"
                     "  [--answer-delay MS] [--igd2] [--reserved-port TEXT] [--add-error CODE]\n"
                     "  [--any-error CODE] [--taken PORT]... [--location URL] [--control-url URL]\n"
                     "  [--http-port PORT] [--no-ssdp] [--junk-description] [--soap-body TEXT]\n"
                     "  [--endless description|soap] [--firewall6 on|off] [--pinhole-id TEXT]\n"
                     "  [--search-flood N] [--natpmp normal|short-address|short-map|wrong-port|"
                     "refuse|silent-map]\n  [--outside-later MS,TEXT]\n");
        return 2;
    }
    FakeRouter router(*settings);
    if (!router.start()) {
        std::fprintf(stderr, "fakeigd: cannot listen on %s\n",
                     qPrintable(settings->address.toString()));
        return 1;
    }
    say("ready");
    return app.exec();
}
