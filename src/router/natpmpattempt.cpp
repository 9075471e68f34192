// SPDX-License-Identifier: MIT
#include "natpmpattempt.h"

#include "routerlog.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QtEndian>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <utility>

namespace {

constexpr int OpcodeOutsideAddress = 0;
constexpr int OpcodeMapTcp = 2;
constexpr qsizetype ErrorAnswerSize = 8;
constexpr qsizetype OutsideAddressAnswerSize = 12;
constexpr qsizetype MapAnswerSize = 16;

// A lease is renewed at half its life, daily at the longest, and not more
// often than Timing::shortestRenewal however short a life the router grants.
constexpr quint32 LongestRenewalSeconds = 86400;

QString natPmpError(int result)
{
    return QStringLiteral("%1 (libnatpmp %2)").arg(QLatin1String(strnatpmperr(result))).arg(result);
}

} // namespace

NatPmpDatagram checkNatPmpDatagram(QByteArrayView datagram, int opcode, quint16 port)
{
    if (datagram.size() < ErrorAnswerSize || datagram[0] != 0 ||
        quint8(datagram[1]) != 128 + opcode)
        return NatPmpDatagram::Drop;
    if (qFromBigEndian<quint16>(datagram.data() + 2) != 0)
        return NatPmpDatagram::ErrorAnswer;
    if (opcode == OpcodeOutsideAddress)
        return datagram.size() >= OutsideAddressAnswerSize ? NatPmpDatagram::Answer
                                                           : NatPmpDatagram::Drop;
    if (datagram.size() < MapAnswerSize || qFromBigEndian<quint16>(datagram.data() + 8) != port)
        return NatPmpDatagram::Drop;
    return NatPmpDatagram::Answer;
}

NatPmpAttempt::NatPmpAttempt(const QHostAddress& gateway, quint16 port, const Timing& timing,
                             QObject* parent)
    : RouterAttempt(parent)
    , m_timing(timing)
    , m_port(port)
    , m_outsidePort(port)
{
    m_open = initnatpmp(&m_natpmp, 1, htonl(gateway.toIPv4Address())) == 0;
    for (QTimer* timer : {&m_resend, &m_deadline, &m_renew, &m_check})
        timer->setSingleShot(true);
    connect(&m_resend, &QTimer::timeout, this, &NatPmpAttempt::readAnswer);
    connect(&m_deadline, &QTimer::timeout, this, &NatPmpAttempt::noAnswer);
    connect(&m_renew, &QTimer::timeout, this, [this] {
        if (m_request != Request::None) { // a check under way: right after it
            m_renew.start(AnswerDeadlineMs);
            return;
        }
        m_request = Request::Renew;
        if (!send(Request::Renew))
            noAnswer();
    });
    connect(&m_check, &QTimer::timeout, this, [this] {
        if (m_request == Request::None)
            send(Request::Check);
        m_check.start(m_timing.check);
    });
    if (m_open) {
        m_notifier = new QSocketNotifier(qintptr(m_natpmp.s), QSocketNotifier::Read, this);
        m_notifier->setEnabled(false);
        connect(m_notifier, &QSocketNotifier::activated, this, &NatPmpAttempt::readAnswer);
    }
}

// The game is ending with a forward on the router: a short, bounded wait
// for the router to confirm its removal, asked twice in case a datagram is
// lost.
NatPmpAttempt::~NatPmpAttempt()
{
    if (!m_open)
        return;
    delete m_notifier;
    if (m_mapped || m_request == Request::Unmap) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            // A removal release() asked for is on its way already.
            const bool asked = attempt == 0 && m_request == Request::Unmap;
            if (!asked &&
                sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_port, 0, 0) < 0)
                break;
            m_request = Request::Unmap;
            const QDeadlineTimer wait(RemovalWaitMs);
            bool removed = false;
            pollfd socket{m_natpmp.s, POLLIN, 0};
            while (!removed && poll(&socket, 1, int(wait.remainingTime())) > 0) {
                natpmpresp_t answer{};
                const int result = read(answer);
                removed = result != NATPMP_TRYAGAIN;
            }
            if (removed)
                break;
        }
        qCInfo(lcRouter) << "NAT-PMP: forward of port" << m_port << "removed on the way out";
    }
    closenatpmp(&m_natpmp);
}

void NatPmpAttempt::find()
{
    if (!m_open || !send(Request::OutsideAddress))
        Q_EMIT failed(Failure::NoAnswer, QStringLiteral("NAT-PMP cannot be asked here"));
}

void NatPmpAttempt::map()
{
    if (!send(Request::Map))
        Q_EMIT failed(Failure::NoAnswer, QStringLiteral("NAT-PMP cannot be asked here"));
}

void NatPmpAttempt::release()
{
    if (m_released)
        return;
    m_released = true;
    blockSignals(true);
    m_renew.stop();
    m_check.stop();
    if (m_mapped) {
        if (send(Request::Unmap))
            return;
    } else if (m_asked && m_open) {
        // The router may have made it, its answer still on the way: one
        // request, no waiting. A resend could come after another protocol
        // has made the forward of the same port, on a router that keeps both
        // in one table and would take the removal for that one.
        sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_port, 0, 0);
    }
    finish();
}

bool NatPmpAttempt::send(Request request)
{
    if (!m_open)
        return false;
    int result = NATPMP_ERR_INVALIDARGS;
    switch (request) {
    case Request::OutsideAddress:
    case Request::Check:
        qCDebug(lcRouter) << "NAT-PMP: asking the outside address";
        result = sendpublicaddressrequest(&m_natpmp);
        break;
    case Request::Map:
    case Request::Renew: {
        const quint32 lifetime = quint32(m_timing.lease.count());
        qCInfo(lcRouter) << "NAT-PMP: asking to forward TCP port" << m_outsidePort << "to" << m_port
                         << "for" << lifetime << "s";
        result = sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_port, m_outsidePort,
                                           lifetime);
        m_asked = true;
        break;
    }
    case Request::Unmap:
        qCInfo(lcRouter) << "NAT-PMP: removing the forward of port" << m_port;
        result = sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_port, 0, 0);
        break;
    case Request::None:
        break;
    }
    if (result < 0) {
        qCInfo(lcRouter) << "NAT-PMP: cannot send:" << natPmpError(result);
        return false;
    }
    m_request = request;
    m_deadline.start(AnswerDeadlineMs);
    m_notifier->setEnabled(true);
    armResend();
    return true;
}

// libnatpmp's read, for a datagram that passed the checks; one that did not
// is taken off the socket and counts as none.
int NatPmpAttempt::read(natpmpresp_t& answer)
{
    const int opcode = m_request == Request::OutsideAddress || m_request == Request::Check
                           ? OpcodeOutsideAddress
                           : OpcodeMapTcp;
    char peek[MapAnswerSize + 1];
    const ssize_t size = recv(m_natpmp.s, peek, sizeof peek, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size >= 0) {
        const QByteArrayView datagram(peek, std::min<qsizetype>(size, qsizetype(sizeof peek)));
        if (checkNatPmpDatagram(datagram, opcode, m_port) == NatPmpDatagram::Drop) {
            qCInfo(lcRouter) << "NAT-PMP: dropped an answer of" << size
                             << "bytes that is no answer to what was asked";
            recv(m_natpmp.s, peek, sizeof peek, MSG_DONTWAIT);
            return NATPMP_TRYAGAIN;
        }
    }
    // Also when nothing came: libnatpmp resends the request when its time
    // has come, in this same call.
    return readnatpmpresponseorretry(&m_natpmp, &answer);
}

void NatPmpAttempt::readAnswer()
{
    if (m_request == Request::None) {
        m_notifier->setEnabled(false);
        return;
    }
    natpmpresp_t answer{};
    const int result = read(answer);
    if (result == NATPMP_TRYAGAIN)
        armResend();
    else if (result < 0)
        refused(result);
    else
        answered(answer);
}

void NatPmpAttempt::answered(const natpmpresp_t& answer)
{
    const Request request = std::exchange(m_request, Request::None);
    done();
    const bool wasMapped = m_mapped;
    if (m_epoch.restarted(answer.epoch) && wasMapped) {
        qCInfo(lcRouter) << "NAT-PMP: the router's epoch went back: it restarted, and its "
                            "forwards are gone";
        m_mapped = false;
        Q_EMIT lost();
        return;
    }
    switch (request) {
    case Request::OutsideAddress:
    case Request::Check: {
        const QHostAddress outside(ntohl(answer.pnu.publicaddress.addr.s_addr));
        qCInfo(lcRouter) << "NAT-PMP: outside address" << outside.toString() << "at epoch"
                         << answer.epoch;
        if (request == Request::OutsideAddress) {
            m_outside = outside;
            Q_EMIT found(outside);
        } else if (outside != m_outside) {
            m_outside = outside;
            Q_EMIT mapped(m_outside, m_outsidePort);
        }
        break;
    }
    case Request::Map:
    case Request::Renew: {
        const quint16 outsidePort = answer.pnu.newportmapping.mappedpublicport;
        const quint32 lifetime = answer.pnu.newportmapping.lifetime;
        qCInfo(lcRouter) << "NAT-PMP: forwarded outside port" << outsidePort << "for" << lifetime
                         << "s";
        if (outsidePort == 0 || lifetime == 0) {
            m_mapped = false;
            if (request == Request::Map)
                Q_EMIT failed(Failure::Refused, QStringLiteral("the router granted no forward"));
            else
                Q_EMIT lost();
            break;
        }
        m_mapped = true;
        const bool moved = outsidePort != m_outsidePort;
        m_outsidePort = outsidePort;
        const auto shortest = quint32(
            std::clamp<qint64>(m_timing.shortestRenewal.count(), 1, LongestRenewalSeconds / 2));
        const quint32 renewal = std::clamp(lifetime / 2, shortest, LongestRenewalSeconds / 2);
        m_renew.start(std::chrono::seconds(renewal));
        if (!m_check.isActive())
            m_check.start(m_timing.check);
        if (request == Request::Map || moved)
            Q_EMIT mapped(m_outside, outsidePort);
        break;
    }
    case Request::Unmap:
        m_mapped = false;
        finish();
        break;
    case Request::None:
        break;
    }
}

void NatPmpAttempt::refused(int result)
{
    const Request request = std::exchange(m_request, Request::None);
    done();
    qCInfo(lcRouter) << "NAT-PMP: the router answered:" << natPmpError(result);
    switch (request) {
    case Request::OutsideAddress:
        Q_EMIT failed(result == NATPMP_ERR_NETWORKFAILURE ? Failure::NotConnected
                                                          : Failure::Refused,
                      natPmpError(result));
        break;
    case Request::Map:
        Q_EMIT failed(Failure::Refused, natPmpError(result));
        break;
    case Request::Renew:
        m_mapped = false;
        Q_EMIT lost();
        break;
    case Request::Check: // the forward may stand all the same: asked again at the next check
        break;
    case Request::Unmap:
        m_mapped = false;
        finish();
        break;
    case Request::None:
        break;
    }
}

void NatPmpAttempt::noAnswer()
{
    const Request request = std::exchange(m_request, Request::None);
    done();
    qCInfo(lcRouter) << "NAT-PMP: no answer within" << AnswerDeadlineMs << "ms";
    switch (request) {
    case Request::OutsideAddress:
    case Request::Map:
        Q_EMIT failed(Failure::NoAnswer, QStringLiteral("no answer to NAT-PMP"));
        break;
    case Request::Renew:
        m_mapped = false;
        Q_EMIT lost();
        break;
    case Request::Check:
        break;
    case Request::Unmap:
        m_mapped = false;
        finish();
        break;
    case Request::None:
        break;
    }
}

void NatPmpAttempt::done()
{
    m_deadline.stop();
    m_resend.stop();
    if (m_notifier)
        m_notifier->setEnabled(false);
}

void NatPmpAttempt::finish()
{
    m_request = Request::None;
    deleteLater();
}

void NatPmpAttempt::armResend()
{
    timeval wait{};
    if (getnatpmprequesttimeout(&m_natpmp, &wait) != 0)
        return;
    const qint64 ms = qint64(wait.tv_sec) * 1000 + wait.tv_usec / 1000;
    m_resend.start(int(std::clamp<qint64>(ms, 0, AnswerDeadlineMs)));
}
