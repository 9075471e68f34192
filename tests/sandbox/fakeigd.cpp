// SPDX-License-Identifier: MIT
// A home router's UPnP-IGD (version 1), as small as the tests need, for what
// miniupnpd will not do: keep only permanent forwards (error 725), or name
// a private outside address. It answers SSDP searches on the interface that
// holds ADDRESS and the SOAP calls a client makes, forwards nothing, and
// writes each forward asked of it to stdout, one a line:
//   AddPortMapping OUTSIDE_PORT CLIENT:PORT LEASE RESULT
//   DeletePortMapping OUTSIDE_PORT RESULT
// where RESULT is 0 or the UPnP error answered.
// --answer-delay MS holds back the answer to AddPortMapping, as a slow
// router would.
//   fakeigd ADDRESS [--outside ADDRESS] [--permanent-only] [--answer-delay MS]
#include <QCoreApplication>
#include <QMap>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>

namespace {

const QHostAddress SsdpGroup(QStringLiteral("239.255.255.250"));
constexpr quint16 SsdpPort = 1900;
constexpr const char* DeviceType = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
constexpr const char* ServiceType = "urn:schemas-upnp-org:service:WANIPConnection:1";

constexpr int InvalidAction = 401;
constexpr int NoSuchEntryInArray = 714;
constexpr int ConflictInMappingEntry = 718;
constexpr int OnlyPermanentLeasesSupported = 725;

QByteArray description()
{
    return QByteArrayLiteral(
        "<?xml version=\"1.0\"?>\r\n"
        "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
        "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
        "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
        "<friendlyName>Test router</friendlyName>"
        "<UDN>uuid:6b6f7276-616c-6f6f-7000-000000000010</UDN><deviceList><device>"
        "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
        "<UDN>uuid:6b6f7276-616c-6f6f-7000-000000000011</UDN><serviceList><service>"
        "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
        "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>"
        "<controlURL>/ctl/CmnIfCfg</controlURL><eventSubURL>/evt/CmnIfCfg</eventSubURL>"
        "<SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList><deviceList><device>"
        "<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
        "<UDN>uuid:6b6f7276-616c-6f6f-7000-000000000012</UDN><serviceList><service>"
        "<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
        "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>"
        "<controlURL>/ctl/IPConn</controlURL><eventSubURL>/evt/IPConn</eventSubURL>"
        "<SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList></device></deviceList>"
        "</device></deviceList></device></root>");
}

QByteArray envelope(const QByteArray& body)
{
    return "<?xml version=\"1.0\"?>\r\n<s:Envelope "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>" +
           body + "</s:Body></s:Envelope>";
}

QByteArray httpResponse(const char* status, const QByteArray& body)
{
    return QByteArray("HTTP/1.1 ") + status +
           "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray soapAnswer(const QByteArray& action, const QByteArray& arguments)
{
    return httpResponse("200 OK", envelope("<u:" + action + "Response xmlns:u=\"" + ServiceType +
                                           "\">" + arguments + "</u:" + action + "Response>"));
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

void say(const QByteArray& line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class FakeIgd : public QObject {
public:
    FakeIgd(const QHostAddress& address, const QByteArray& outside, bool permanentOnly,
            int answerDelay)
        : m_address(address)
        , m_outside(outside)
        , m_permanentOnly(permanentOnly)
        , m_answerDelay(answerDelay)
    {
    }

    bool start()
    {
        if (!m_http.listen(m_address, 0) ||
            !m_ssdp.bind(QHostAddress::AnyIPv4, SsdpPort,
                         QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint))
            return false;
        bool joined = false;
        for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
            for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
                if (entry.ip() == m_address)
                    joined = m_ssdp.joinMulticastGroup(SsdpGroup, interface);
            }
        }
        connect(&m_ssdp, &QUdpSocket::readyRead, this, &FakeIgd::answerSearches);
        connect(&m_http, &QTcpServer::newConnection, this, &FakeIgd::takeConnections);
        return joined;
    }

private:
    void answerSearches()
    {
        while (m_ssdp.hasPendingDatagrams()) {
            const QNetworkDatagram search = m_ssdp.receiveDatagram();
            if (!search.data().startsWith("M-SEARCH"))
                continue;
            const QByteArray location = "http://" + m_address.toString().toLatin1() + ':' +
                                        QByteArray::number(m_http.serverPort()) + "/rootDesc.xml";
            const QByteArray answer =
                QByteArray("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: ") + DeviceType +
                "\r\nUSN: uuid:6b6f7276-616c-6f6f-7000-000000000010::" + DeviceType +
                "\r\nEXT:\r\nSERVER: Linux UPnP/1.1 fakeigd/1\r\nLOCATION: " + location +
                "\r\n\r\n";
            m_ssdp.writeDatagram(answer, search.senderAddress(), quint16(search.senderPort()));
        }
    }

    void takeConnections()
    {
        while (QTcpSocket* socket = m_http.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_requests.remove(socket);
                socket->deleteLater();
            });
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        }
    }

    void read(QTcpSocket* socket)
    {
        QByteArray& request = m_requests[socket];
        request += socket->readAll();
        const qsizetype headersEnd = request.indexOf("\r\n\r\n");
        if (headersEnd < 0)
            return;
        const QByteArray headers = request.left(headersEnd);
        const QRegularExpression lengthHeader(QStringLiteral("(?im)^content-length:\\s*(\\d+)"));
        const qsizetype length =
            lengthHeader.match(QString::fromLatin1(headers)).captured(1).toLongLong();
        const QByteArray body = request.mid(headersEnd + 4);
        if (body.size() < length)
            return;
        m_requests.remove(socket);
        const QByteArray response = answer(headers, body);
        const bool adding = headers.contains("#AddPortMapping");
        QTimer::singleShot(adding ? m_answerDelay : 0, socket, [socket, response] {
            socket->write(response);
            socket->disconnectFromHost();
        });
    }

    QByteArray answer(const QByteArray& headers, const QByteArray& body)
    {
        if (headers.startsWith("GET "))
            return httpResponse("200 OK", description());
        const QRegularExpression actionHeader(QStringLiteral("(?im)^soapaction:[^#]*#(\\w+)"));
        const QByteArray action =
            actionHeader.match(QString::fromLatin1(headers)).captured(1).toLatin1();
        if (action == "GetStatusInfo")
            return soapAnswer(action, "<NewConnectionStatus>Connected</NewConnectionStatus>"
                                      "<NewLastConnectionError>ERROR_NONE</NewLastConnectionError>"
                                      "<NewUptime>1000</NewUptime>");
        if (action == "GetExternalIPAddress")
            return soapAnswer(action,
                              "<NewExternalIPAddress>" + m_outside + "</NewExternalIPAddress>");
        if (action == "AddPortMapping")
            return addPortMapping(body);
        if (action == "DeletePortMapping") {
            const QByteArray port = argument(body, "NewExternalPort");
            const int result = m_forwards.remove(port) ? 0 : NoSuchEntryInArray;
            say("DeletePortMapping " + port + ' ' + QByteArray::number(result));
            return result ? soapError(result) : soapAnswer(action, {});
        }
        return soapError(InvalidAction);
    }

    QByteArray addPortMapping(const QByteArray& body)
    {
        const QByteArray port = argument(body, "NewExternalPort");
        const QByteArray client =
            argument(body, "NewInternalClient") + ':' + argument(body, "NewInternalPort");
        const QByteArray lease = argument(body, "NewLeaseDuration");
        int result = 0;
        if (m_permanentOnly && lease != "0")
            result = OnlyPermanentLeasesSupported;
        else if (m_forwards.contains(port) && m_forwards[port] != client)
            result = ConflictInMappingEntry;
        else
            m_forwards[port] = client;
        say("AddPortMapping " + port + ' ' + client + ' ' + lease + ' ' +
            QByteArray::number(result));
        return result ? soapError(result) : soapAnswer("AddPortMapping", {});
    }

    QHostAddress m_address;
    QByteArray m_outside;
    bool m_permanentOnly;
    int m_answerDelay;
    QUdpSocket m_ssdp;
    QTcpServer m_http;
    QMap<QTcpSocket*, QByteArray> m_requests;
    QMap<QByteArray, QByteArray> m_forwards; // outside port: client and port
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const bool permanentOnly = arguments.removeAll(QStringLiteral("--permanent-only")) > 0;
    const auto option = [&arguments](const char* name, const QString& otherwise) {
        const qsizetype at = arguments.indexOf(QLatin1String(name));
        if (at < 0 || at + 1 >= arguments.size())
            return otherwise;
        const QString value = arguments.takeAt(at + 1);
        arguments.removeAt(at);
        return value;
    };
    const QByteArray outside = option("--outside", QStringLiteral("198.51.100.1")).toLatin1();
    const int answerDelay = option("--answer-delay", QStringLiteral("0")).toInt();
    const QHostAddress address(arguments.value(0));
    if (address.isNull() || arguments.size() != 1) {
        std::fprintf(stderr, "usage: fakeigd ADDRESS [--outside ADDRESS] [--permanent-only] "
                             "[--answer-delay MS]\n");
        return 2;
    }
    FakeIgd igd(address, outside, permanentOnly, answerDelay);
    if (!igd.start()) {
        std::fprintf(stderr, "fakeigd: cannot listen on %s\n", qPrintable(address.toString()));
        return 1;
    }
    say("ready");
    return app.exec();
}
