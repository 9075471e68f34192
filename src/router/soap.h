// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

struct NameValueParserData;

// The SOAP calls a UPnP-IGD router takes: the request's body is built here,
// its answer read by miniupnpc's own parser.
struct SoapArgument {
    const char* name;
    QByteArray value;
};
QByteArray soapRequestBody(QByteArrayView serviceType, QByteArrayView action,
                           const QList<SoapArgument>& arguments);

// The answer to `action`: success only when it is HTTP 200 with that
// action's response in a SOAP envelope's body; a 200 with anything else is
// a bad answer, neither success nor a UPnP error.
class SoapAnswer {
public:
    SoapAnswer(int httpStatus, const QByteArray& body, QByteArrayView action);
    ~SoapAnswer();
    SoapAnswer(const SoapAnswer&) = delete;
    SoapAnswer& operator=(const SoapAnswer&) = delete;

    bool succeeded() const { return m_error == 0; }
    // HTTP 200 with no response to the action asked: garbage, or another's.
    bool isBad() const { return m_bad; }
    // The UPnP error the router answered (718 and the like); -1 for a failed
    // answer that names none.
    int error() const { return m_error; }
    // What a player or the log is told of the error, miniupnpc's words
    // where it has them.
    QString errorText() const;
    // An argument of the answer, as the router wrote it; empty when absent.
    QByteArray value(const char* name) const;

private:
    std::unique_ptr<NameValueParserData> m_data;
    int m_error = 0;
    bool m_bad = false;
    QByteArray m_action;
};
