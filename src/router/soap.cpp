// SPDX-License-Identifier: MIT
#include "soap.h"

#include <QXmlStreamReader>

#include <miniupnpc/upnperrors.h>
#include <miniupnpc/upnpreplyparse.h>

namespace {

QByteArray escaped(const QByteArray& text)
{
    return QString::fromUtf8(text).toHtmlEscaped().toUtf8();
}

// Envelope, Body, and in it the action's response, whole (whatever the
// prefixes, declared or not, as routers write them): what a router answers
// that did what it was asked.
bool isResponseTo(const QByteArray& body, QByteArrayView action)
{
    const QString response = QString::fromLatin1(action) + QLatin1String("Response");
    QXmlStreamReader xml(body);
    xml.setNamespaceProcessing(false);
    int depth = 0;
    bool inResponse = false;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement: {
            ++depth;
            QStringView name = xml.qualifiedName();
            name = name.sliced(name.indexOf(QLatin1Char(':')) + 1);
            if (depth == 2 && name == QLatin1String("Header")) {
                xml.skipCurrentElement();
                --depth;
                break;
            }
            const bool expected = (depth == 1 && name == QLatin1String("Envelope")) ||
                                  (depth == 2 && name == QLatin1String("Body")) ||
                                  (depth == 3 && name == response) || depth > 3;
            if (!expected)
                return false;
            inResponse = inResponse || depth == 3;
            break;
        }
        case QXmlStreamReader::EndElement:
            if (depth-- == 3 && inResponse)
                return true;
            break;
        default:
            break;
        }
    }
    return false;
}

} // namespace

QByteArray soapRequestBody(QByteArrayView serviceType, QByteArrayView action,
                           const QList<SoapArgument>& arguments)
{
    QByteArray body = "<?xml version=\"1.0\"?>\r\n"
                      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                      "<s:Body><u:" +
                      action.toByteArray() + " xmlns:u=\"" + escaped(serviceType.toByteArray()) +
                      "\">";
    for (const SoapArgument& argument : arguments)
        body += QByteArray("<") + argument.name + '>' + escaped(argument.value) + "</" +
                argument.name + '>';
    body += "</u:" + action.toByteArray() + "></s:Body></s:Envelope>\r\n";
    return body;
}

SoapAnswer::SoapAnswer(int httpStatus, const QByteArray& body, QByteArrayView action)
    : m_data(std::make_unique<NameValueParserData>())
    , m_action(action.toByteArray())
{
    ParseNameValue(body.constData(), int(body.size()), m_data.get());
    const QByteArray code = value("errorCode");
    if (!code.isEmpty()) {
        bool ok = false;
        m_error = code.toInt(&ok);
        if (!ok || m_error <= 0)
            m_error = -1;
    } else if (httpStatus != 200) {
        m_error = -1;
    } else if (!isResponseTo(body, action)) {
        m_error = -1;
        m_bad = true;
    }
}

SoapAnswer::~SoapAnswer()
{
    ClearNameValueList(m_data.get());
}

QString SoapAnswer::errorText() const
{
    if (m_error == 0)
        return {};
    if (m_bad)
        return QStringLiteral("an answer of HTTP 200 that is no SOAP answer to %1")
            .arg(QString::fromLatin1(m_action));
    if (m_error < 0)
        return QStringLiteral("an answer that is neither success nor a UPnP error");
    const char* text = strupnperror(m_error);
    return text ? QStringLiteral("%1 (UPnP error %2)").arg(QLatin1String(text)).arg(m_error)
                : QStringLiteral("UPnP error %1").arg(m_error);
}

QByteArray SoapAnswer::value(const char* name) const
{
    // GetValueFromNameValueList takes a non-const list and changes nothing.
    const char* found = GetValueFromNameValueList(m_data.get(), name);
    return found ? QByteArray(found) : QByteArray();
}
