// SPDX-License-Identifier: MIT
#include "routerhttp.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QUrl>

namespace {

// The longest line of headers or of a chunk's size that is read.
constexpr qsizetype LongestLine = 4096;

bool isIn(QByteArrayView line, QByteArrayView name, QByteArray& value)
{
    if (line.size() <= name.size() || line.at(name.size()) != ':' ||
        !line.first(name.size()).toByteArray().toLower().startsWith(name.toByteArray()))
        return false;
    value = line.sliced(name.size() + 1).toByteArray().trimmed();
    return true;
}

} // namespace

QByteArray RouterUrl::hostHeader() const
{
    const QString name = host.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + host.toString() + QLatin1Char(']')
                             : host.toString();
    return name.toLatin1() + ':' + QByteArray::number(port);
}

std::optional<RouterUrl> routerUrl(QByteArrayView text, const QHostAddress& gateway)
{
    if (text.isEmpty() || text.size() > 1024)
        return std::nullopt;
    const QUrl url(QString::fromLatin1(text), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("http") || !url.userInfo().isEmpty() ||
        !url.fragment().isEmpty())
        return std::nullopt;
    QHostAddress host(url.host());
    if (host.isNull() || host != gateway)
        return std::nullopt;
    const int port = url.port(80);
    if (port < 1 || port > 65535)
        return std::nullopt;
    QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
    if (path.isEmpty())
        path = "/";
    if (url.hasQuery())
        path += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    host.setScopeId(gateway.scopeId());
    return RouterUrl{host, quint16(port), path};
}

HttpAnswerReader::Progress HttpAnswerReader::feed(QByteArrayView bytes)
{
    if (m_raw.size() + bytes.size() > MaxBytes)
        return Progress::TooLong;
    m_raw.append(bytes.data(), bytes.size());
    return parse(false);
}

HttpAnswerReader::Progress HttpAnswerReader::end()
{
    return parse(true);
}

HttpAnswerReader::Progress HttpAnswerReader::parse(bool closed)
{
    if (m_bodyStart < 0) {
        const Progress head = parseHead();
        if (head != Progress::Done)
            return head == Progress::More && closed ? Progress::Bad : head;
    }
    if (m_chunked)
        return parseChunked(closed);
    const qsizetype have = m_raw.size() - m_bodyStart;
    if (m_length >= 0 && have >= m_length) {
        m_body = m_raw.mid(m_bodyStart, m_length);
        return Progress::Done;
    }
    if (!closed)
        return Progress::More;
    if (m_length >= 0)
        return Progress::Bad; // cut short
    m_body = m_raw.mid(m_bodyStart);
    return Progress::Done;
}

HttpAnswerReader::Progress HttpAnswerReader::parseHead()
{
    const qsizetype end = m_raw.indexOf("\r\n\r\n");
    if (end < 0)
        return m_raw.size() > LongestLine * 4 ? Progress::TooLong : Progress::More;
    const QList<QByteArray> lines = m_raw.left(end).split('\n');
    // "HTTP/1.1 200 OK"
    const QByteArray statusLine = lines.first().trimmed();
    if (!statusLine.startsWith("HTTP/1.") || statusLine.size() < 12 || statusLine.at(8) != ' ')
        return Progress::Bad;
    bool ok = false;
    m_status = statusLine.mid(9, 3).toInt(&ok);
    if (!ok || m_status < 100 || m_status > 599)
        return Progress::Bad;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        QByteArray value;
        if (isIn(line, "content-length", value)) {
            m_length = value.toLongLong(&ok);
            if (!ok || m_length < 0)
                return Progress::Bad;
            if (m_length > MaxBytes)
                return Progress::TooLong;
        } else if (isIn(line, "transfer-encoding", value)) {
            m_chunked = value.toLower().contains("chunked");
        }
    }
    m_bodyStart = end + 4;
    return Progress::Done;
}

// Size line, data, CRLF; a size of 0 ends it.
HttpAnswerReader::Progress HttpAnswerReader::parseChunked(bool closed)
{
    QByteArray body;
    qsizetype at = m_bodyStart;
    for (;;) {
        const qsizetype lineEnd = m_raw.indexOf("\r\n", at);
        if (lineEnd < 0)
            return closed ? Progress::Bad : Progress::More;
        QByteArray sizeText = m_raw.mid(at, lineEnd - at);
        if (const qsizetype extension = sizeText.indexOf(';'); extension >= 0)
            sizeText.truncate(extension);
        bool ok = false;
        const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0 || size > MaxBytes)
            return Progress::Bad;
        at = lineEnd + 2;
        if (size == 0) {
            m_body = body;
            return Progress::Done;
        }
        if (m_raw.size() < at + size + 2)
            return closed ? Progress::Bad : Progress::More;
        body.append(m_raw.constData() + at, size);
        at += size + 2;
    }
}

QByteArray RouterRequest::bytes() const
{
    QByteArray head;
    if (soapAction.isEmpty()) {
        head = "GET " + url.path + " HTTP/1.1\r\nHost: " + url.hostHeader() +
               "\r\nConnection: close\r\n\r\n";
        return head;
    }
    head = "POST " + url.path + " HTTP/1.1\r\nHost: " + url.hostHeader() +
           "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"" + soapAction +
           "\"\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n";
    return head + body;
}

RouterHttp::RouterHttp(const RouterRequest& request, int deadlineMs, QObject* parent)
    : QObject(parent)
    , m_socket(new QTcpSocket(this))
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("no answer in time")); });
    connect(m_socket, &QTcpSocket::connected, this,
            [this, bytes = request.bytes()] { m_socket->write(bytes); });
    connect(m_socket, &QTcpSocket::readyRead, this, &RouterHttp::read);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        if (m_over)
            return;
        if (m_reader.end() == HttpAnswerReader::Progress::Done) {
            m_over = true;
            m_deadline.stop();
            Q_EMIT answered({m_reader.status(), m_reader.body()});
        } else {
            fail(QStringLiteral("the answer was cut short"));
        }
    });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        m_refused = error == QAbstractSocket::ConnectionRefusedError;
        if (error != QAbstractSocket::RemoteHostClosedError)
            fail(m_socket->errorString());
    });
    // Nothing more is taken in than the bound: the kernel holds the rest.
    m_socket->setReadBufferSize(HttpAnswerReader::MaxBytes);
    m_deadline.start(deadlineMs);
    m_socket->connectToHost(request.url.host, request.url.port);
}

void RouterHttp::read()
{
    if (m_over)
        return;
    switch (m_reader.feed(m_socket->readAll())) {
    case HttpAnswerReader::Progress::More:
        return;
    case HttpAnswerReader::Progress::Done:
        m_over = true;
        m_deadline.stop();
        m_socket->abort();
        Q_EMIT answered({m_reader.status(), m_reader.body()});
        return;
    case HttpAnswerReader::Progress::Bad:
        fail(QStringLiteral("not an HTTP answer"));
        return;
    case HttpAnswerReader::Progress::TooLong:
        fail(QStringLiteral("an answer of over %1 bytes").arg(HttpAnswerReader::MaxBytes));
        return;
    }
}

void RouterHttp::fail(const QString& why)
{
    if (m_over)
        return;
    m_over = true;
    m_deadline.stop();
    m_socket->abort();
    Q_EMIT failed(why);
}

std::optional<RouterHttp::Answer> RouterHttp::exchangeNow(const RouterRequest& request,
                                                          int deadlineMs)
{
    const QDeadlineTimer deadline(deadlineMs);
    QTcpSocket socket;
    socket.connectToHost(request.url.host, request.url.port);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return std::nullopt;
    socket.write(request.bytes());
    HttpAnswerReader reader;
    while (!deadline.hasExpired()) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime()))) {
            if (socket.state() != QAbstractSocket::ConnectedState &&
                reader.end() == HttpAnswerReader::Progress::Done)
                return Answer{reader.status(), reader.body()};
            return std::nullopt;
        }
        switch (reader.feed(socket.read(HttpAnswerReader::MaxBytes))) {
        case HttpAnswerReader::Progress::More:
            continue;
        case HttpAnswerReader::Progress::Done:
            return Answer{reader.status(), reader.body()};
        case HttpAnswerReader::Progress::Bad:
        case HttpAnswerReader::Progress::TooLong:
            return std::nullopt;
        }
    }
    return std::nullopt;
}
