// SPDX-License-Identifier: MIT
#pragma once

#include "routerattempt.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <optional>

class QTcpSocket;

// A URL on the router, as this room will connect to it: only plain http to
// the gateway's own address, with no user name in front of the host (which
// one parser takes for the host and another for a name). A URL that says
// anything else is no URL of the router's.
struct RouterUrl {
    QHostAddress host;
    quint16 port = 80;
    QByteArray path; // with its query, as sent

    QByteArray hostHeader() const;
};
std::optional<RouterUrl> routerUrl(QByteArrayView text, const QHostAddress& gateway);

// An HTTP/1.1 answer taken in as it arrives, never more than MaxBytes of it
// (headers, body and chunk lines together): a router's description and its
// SOAP answers are a few KiB, and a device that sends more is not heard.
// Lines end in CRLF or in a bare LF, as HTTP/1.1 readers take both. What
// arrives is read once: the body, chunked or not, is decoded as it comes,
// and only an unfinished line waits for the rest.
class HttpAnswerReader {
public:
    static constexpr qsizetype MaxBytes = 64 * 1024;

    enum class Progress { More, Done, Bad, TooLong };

    Progress feed(QByteArrayView bytes);
    // The other side closed: an answer without a length ends here.
    Progress end();

    int status() const { return m_status; }
    const QByteArray& body() const { return m_body; }
    // Taken in, and not yet decoded: the start of a line at most.
    qsizetype buffered() const { return m_raw.size(); }

private:
    enum class Stage { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Over };

    Progress parse(bool closed);
    std::optional<QByteArray> takeLine(qsizetype& at);
    Progress headLine(const QByteArray& line);
    Progress bodyFrom(qsizetype& at);
    Progress chunkLine(const QByteArray& line);

    QByteArray m_raw;        // not yet decoded
    qsizetype m_scanned = 0; // of m_raw, known to hold no line end
    qsizetype m_fed = 0;
    qsizetype m_headBytes = 0;
    Stage m_stage = Stage::Head;
    Progress m_over = Progress::More;
    int m_status = 0;
    qint64 m_length = -1; // Content-Length, -1 when none
    bool m_chunked = false;
    qint64 m_chunkLeft = 0;
    QByteArray m_body;
};

// One request to the router (a GET, or a SOAP call when `soapAction` is
// set) and its answer, bounded in bytes by HttpAnswerReader and in time by
// `deadlineMs`; on the event loop, nothing waits. The connection closes
// after the answer.
struct RouterRequest {
    RouterUrl url;
    QByteArray soapAction; // "service type#action"; empty for a GET
    QByteArray body;

    QByteArray bytes() const;
};

class RouterHttp final : public QObject {
    Q_OBJECT

public:
    struct Answer {
        int status = 0;
        QByteArray body;
    };

    // Starts at once; exactly one of the signals follows, unless the object
    // is deleted first.
    RouterHttp(const RouterRequest& request, int deadlineMs, QObject* parent);

    // After failed(): nothing listens there any more, the address answered
    // so (as a router's server does that restarted on another port).
    bool refused() const { return m_refused; }

Q_SIGNALS:
    void answered(const RouterHttp::Answer& answer);
    void failed(const QString& why);

private:
    void read();
    void fail(const QString& why);

    QTcpSocket* m_socket;
    OneShot m_deadline{this};
    HttpAnswerReader m_reader;
    bool m_over = false;
    bool m_refused = false;
};
