// SPDX-License-Identifier: MIT
#include "routerhttp.h"

#include <QTcpSocket>
#include <QUrl>

#include <algorithm>

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
    if (m_over != Progress::More)
        return m_over;
    m_fed += bytes.size();
    if (m_fed > MaxBytes)
        return m_over = Progress::TooLong;
    m_raw.append(bytes.data(), bytes.size());
    return parse(false);
}

HttpAnswerReader::Progress HttpAnswerReader::end()
{
    if (m_over != Progress::More)
        return m_over;
    return parse(true);
}

// One line from `at`, its end (LF, or CRLF) taken off; none while its end
// has not come.
std::optional<QByteArray> HttpAnswerReader::takeLine(qsizetype& at)
{
    const qsizetype lineEnd = m_raw.indexOf('\n', std::max(at, m_scanned));
    if (lineEnd < 0) {
        m_scanned = m_raw.size();
        return std::nullopt;
    }
    QByteArray line = m_raw.mid(at, lineEnd - at);
    if (line.endsWith('\r'))
        line.chop(1);
    at = lineEnd + 1;
    return line;
}

HttpAnswerReader::Progress HttpAnswerReader::parse(bool closed)
{
    qsizetype at = 0;
    Progress progress = Progress::More;
    while (progress == Progress::More && m_stage != Stage::Over) {
        if (m_stage == Stage::Body || m_stage == Stage::ChunkData) {
            progress = bodyFrom(at);
            if (progress == Progress::More && at == m_raw.size())
                break;
            continue;
        }
        const qsizetype lineStart = at;
        const std::optional<QByteArray> line = takeLine(at);
        if (!line) {
            const qsizetype waiting = m_raw.size() - lineStart;
            if (m_stage == Stage::Head && m_headBytes + waiting > LongestLine * 4)
                progress = Progress::TooLong;
            else if (waiting > LongestLine)
                progress = m_stage == Stage::Head ? Progress::TooLong : Progress::Bad;
            break;
        }
        switch (m_stage) {
        case Stage::Head:
            m_headBytes += at - lineStart;
            progress = m_headBytes > LongestLine * 4 ? Progress::TooLong : headLine(*line);
            break;
        case Stage::ChunkSize:
            progress = chunkLine(*line);
            break;
        case Stage::ChunkEnd:
            // The data's own line end, and nothing before it.
            if (!line->isEmpty())
                progress = Progress::Bad;
            m_stage = Stage::ChunkSize;
            break;
        case Stage::Trailer:
            if (line->isEmpty()) {
                m_stage = Stage::Over;
                progress = Progress::Done;
            }
            break;
        default:
            break;
        }
    }
    // What was decoded goes; an unfinished line waits, scanned already.
    m_raw.remove(0, at);
    m_scanned = std::max<qsizetype>(0, m_scanned - at);
    if (progress == Progress::More && closed) {
        if (m_stage == Stage::Body && m_length < 0) {
            progress = Progress::Done; // the answer without a length ends here
        } else if (m_stage == Stage::Trailer) {
            progress = Progress::Done; // the last chunk came, and nothing after it
        } else {
            progress = Progress::Bad; // cut short
        }
    }
    if (progress != Progress::More)
        m_over = progress;
    return progress;
}

HttpAnswerReader::Progress HttpAnswerReader::headLine(const QByteArray& line)
{
    if (m_status == 0) {
        // "HTTP/1.1 200 OK"
        const QByteArray statusLine = line.trimmed();
        if (!statusLine.startsWith("HTTP/1.") || statusLine.size() < 12 || statusLine.at(8) != ' ')
            return Progress::Bad;
        bool ok = false;
        m_status = statusLine.mid(9, 3).toInt(&ok);
        if (!ok || m_status < 100 || m_status > 599)
            return Progress::Bad;
        return Progress::More;
    }
    if (line.trimmed().isEmpty()) {
        if (m_chunked) {
            m_stage = Stage::ChunkSize;
        } else if (m_length == 0) {
            m_stage = Stage::Over;
            return Progress::Done;
        } else {
            m_stage = Stage::Body;
        }
        return Progress::More;
    }
    const QByteArray header = line.trimmed();
    QByteArray value;
    bool ok = false;
    if (isIn(header, "content-length", value)) {
        m_length = value.toLongLong(&ok);
        if (!ok || m_length < 0)
            return Progress::Bad;
        if (m_length > MaxBytes)
            return Progress::TooLong;
    } else if (isIn(header, "transfer-encoding", value)) {
        m_chunked = value.toLower().contains("chunked");
    }
    return Progress::More;
}

// The body's bytes from `at`: a chunk's data, or the body itself.
HttpAnswerReader::Progress HttpAnswerReader::bodyFrom(qsizetype& at)
{
    const qsizetype available = m_raw.size() - at;
    if (m_stage == Stage::ChunkData) {
        const qsizetype taken = qsizetype(std::min<qint64>(available, m_chunkLeft));
        m_body.append(m_raw.constData() + at, taken);
        at += taken;
        m_chunkLeft -= taken;
        if (m_chunkLeft == 0)
            m_stage = Stage::ChunkEnd;
        return Progress::More;
    }
    if (m_length < 0) {
        m_body.append(m_raw.constData() + at, available);
        at += available;
        return Progress::More;
    }
    const qsizetype taken =
        qsizetype(std::min<qint64>(available, m_length - qint64(m_body.size())));
    m_body.append(m_raw.constData() + at, taken);
    at += taken;
    if (m_body.size() < m_length)
        return Progress::More;
    m_stage = Stage::Over;
    at = m_raw.size(); // what follows the length is no part of the answer
    return Progress::Done;
}

// A chunk's size, in hexadecimal, perhaps with extensions after ';'; a size
// of 0 ends the body.
HttpAnswerReader::Progress HttpAnswerReader::chunkLine(const QByteArray& line)
{
    QByteArray sizeText = line;
    if (const qsizetype extension = sizeText.indexOf(';'); extension >= 0)
        sizeText.truncate(extension);
    bool ok = false;
    const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
    if (!ok || size < 0 || size > MaxBytes)
        return Progress::Bad;
    if (size == 0) {
        m_stage = Stage::Trailer;
        return Progress::More;
    }
    m_chunkLeft = size;
    m_stage = Stage::ChunkData;
    return Progress::More;
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
