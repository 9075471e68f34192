// SPDX-License-Identifier: MIT
#include "natpmpattempt.h"

#include "routerlog.h"

#include <QSocketNotifier>
#include <QtEndian>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

constexpr int OpcodeOutsideAddress = 0;
constexpr int OpcodeMapTcp = 2;
constexpr qsizetype ErrorAnswerSize = 8;
constexpr qsizetype OutsideAddressAnswerSize = 12;
constexpr qsizetype MapAnswerSize = 16;
// A verdict's result for a forward answered with no port or no lifetime;
// libnatpmp's errors are below 0.
constexpr int GrantedNothing = 1;

QString natPmpError(int result)
{
    if (result == GrantedNothing)
        return QStringLiteral("the router granted no forward");
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

NatPmpAttempt::NatPmpAttempt(const QHostAddress& gateway, const QHostAddress& localAddress,
                             quint16 port, const Timing& timing, bool pcp, QObject* parent)
    : RouterAttempt(parent)
    , m_gateway(gateway)
    , m_localAddress(localAddress)
    , m_timing(timing)
    , m_port(port)
    , m_outsidePort(port)
    , m_wantsPcp(pcp)
{
    m_open = initnatpmp(&m_natpmp, 1, htonl(gateway.toIPv4Address())) == 0;
    connect(&m_resend, &QTimer::timeout, this, &NatPmpAttempt::readAnswer);
    connect(&m_deadline, &QTimer::timeout, this, &NatPmpAttempt::noAnswer);
    connect(&m_renew, &QTimer::timeout, this, [this] {
        if (m_request != Request::None) { // a check under way: right after it
            m_renew.start(AnswerDeadlineMs);
            return;
        }
        m_thenAddress = false;
        if (!ask(Request::Renew))
            unanswered(Request::Renew);
    });
    connect(&m_check, &QTimer::timeout, this, [this] {
        m_check.start(m_timing.check);
        if (m_request != Request::None)
            return;
        // The forward asked for again, whether or not the router still has
        // it, and the outside address after it.
        m_thenAddress = true;
        if (!ask(Request::Renew))
            unanswered(Request::Renew);
    });
    if (m_open) {
        m_notifier = new QSocketNotifier(qintptr(m_natpmp.s), QSocketNotifier::Read, this);
        m_notifier->setEnabled(false);
        connect(m_notifier, &QSocketNotifier::activated, this, &NatPmpAttempt::readAnswer);
    }
}

NatPmpAttempt::~NatPmpAttempt()
{
    if (m_pcp)
        m_pcp->disconnect(this);
    delete m_notifier; // before its socket closes
    if (m_open)
        closenatpmp(&m_natpmp);
}

void NatPmpAttempt::find()
{
    if (!m_open || !ask(Request::OutsideAddress))
        failLater(Failure::NoAnswer, QStringLiteral("NAT-PMP cannot be asked here"));
}

void NatPmpAttempt::map()
{
    if (m_wantsPcp && !m_pcp)
        mapThroughPcp();
    else if (!ask(Request::Map))
        failLater(Failure::NoAnswer, QStringLiteral("NAT-PMP cannot be asked here"));
}

void NatPmpAttempt::mapThroughPcp()
{
    m_pcp = new PcpAttempt(m_gateway, m_localAddress, m_port, m_timing, this, PcpDeadlineMs);
    connect(m_pcp, &RouterAttempt::mapped, this,
            [this](const QHostAddress& outside, quint16 outsidePort) {
                m_outside = outside;
                Q_EMIT mapped(outside, outsidePort);
            });
    connect(m_pcp, &RouterAttempt::lost, this, &RouterAttempt::lost);
    connect(m_pcp, &RouterAttempt::failed, this, [this](Failure failure, const QString& reason) {
        if (failure != Failure::NoAnswer) {
            Q_EMIT failed(failure, reason);
            return;
        }
        qCInfo(lcRouter) << "PCP: not spoken here: NAT-PMP then";
        m_natPmpOnly = true;
        m_pcp->disconnect(this);
        if (!ask(Request::Map))
            Q_EMIT failed(Failure::NoAnswer, QStringLiteral("NAT-PMP cannot be asked here"));
    });
    m_pcp->find(); // its found() says nothing new
    m_pcp->map();
}

void NatPmpAttempt::remove()
{
    m_renew.stop();
    m_check.stop();
    if (throughPcp()) {
        connect(m_pcp, &QObject::destroyed, this, &NatPmpAttempt::finish);
        m_pcp->release();
        return;
    }
    if (m_pcp)
        m_pcp->release(); // a forward it may have made: one removal
    if (m_mapped) {
        done();
        if (send(Request::Unmap))
            return;
    } else if (m_asked) {
        // The router may have made it, its answer still on the way: one
        // request, no waiting. A resend could come after another protocol
        // has made the forward of the same port, on a router that keeps both
        // in one table and would take the removal for that one.
        sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_port, 0, 0);
    }
    finish();
}

// A request of its own, not a repetition: answers are counted afresh.
bool NatPmpAttempt::ask(Request request)
{
    m_asks = 0;
    m_pending.reset();
    return send(request);
}

bool NatPmpAttempt::send(Request request)
{
    if (!m_open)
        return false;
    // Whatever came before the request is no answer to it: anyone on the
    // home network can send a datagram from the gateway's address.
    dropQueued();
    int result = NATPMP_ERR_INVALIDARGS;
    switch (request) {
    case Request::OutsideAddress:
    case Request::CheckAddress:
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

// Takes what waits on the socket off it, unread, a bounded number.
void NatPmpAttempt::dropQueued()
{
    char buffer[pcp::LongestMessage + 1];
    int dropped = 0;
    while (dropped < MostDropped) {
        // A refusal the network reported (ICMP) ends no request here.
        if (recv(m_natpmp.s, buffer, sizeof buffer, MSG_DONTWAIT) < 0 && errno != ECONNREFUSED)
            break;
        ++dropped;
    }
    if (dropped > 0)
        qCInfo(lcRouter) << "NAT-PMP: dropped" << dropped
                         << "datagrams from the gateway's address that came unasked";
}

// libnatpmp's read, for a datagram that passed the checks; one that did not
// is taken off the socket and counts as none.
int NatPmpAttempt::read(natpmpresp_t& answer)
{
    const int opcode = m_request == Request::OutsideAddress || m_request == Request::CheckAddress
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
    if (result == NATPMP_TRYAGAIN) {
        armResend();
        return;
    }
    Verdict verdict;
    quint32 lifetime = 0;
    if (result < 0) {
        verdict.result = result;
    } else if (answer.type == NATPMP_RESPTYPE_PUBLICADDRESS) {
        verdict.address = QHostAddress(ntohl(answer.pnu.publicaddress.addr.s_addr));
    } else {
        verdict.port = answer.pnu.newportmapping.mappedpublicport;
        lifetime = answer.pnu.newportmapping.lifetime;
        if (verdict.port == 0 || lifetime == 0)
            verdict = {GrantedNothing, {}, 0};
    }
    const Request request = std::exchange(m_request, Request::None);
    done();
    if (verdict.result == 0 && m_epoch.restarted(answer.epoch) && m_mapped)
        qCInfo(lcRouter) << "NAT-PMP: the router's epoch went back: it restarted";
    switch (request) {
    case Request::OutsideAddress:
    case Request::CheckAddress:
        addressAnswered(request, verdict);
        break;
    case Request::Map:
    case Request::Renew:
        mapAnswered(request, verdict, lifetime);
        break;
    case Request::Unmap:
        m_mapped = false;
        finish();
        break;
    case Request::None:
        break;
    }
}

// Whether a NAT-PMP answer is to be taken: when it says what was expected,
// or the same as the answer before it to the same question. Else the
// question is asked again, a bounded number of times, and then counts as
// unanswered.
bool NatPmpAttempt::settled(Request request, const Verdict& verdict, bool expected)
{
    if (expected || (m_pending && *m_pending == verdict)) {
        m_pending.reset();
        return true;
    }
    m_pending = verdict;
    if (++m_asks < MostAsks) {
        qCDebug(lcRouter) << "NAT-PMP: asking again, to be sure of the answer";
        if (send(request))
            return false;
    } else {
        qCInfo(lcRouter) << "NAT-PMP: the router's answers disagree";
    }
    m_pending.reset();
    unanswered(request);
    return false;
}

void NatPmpAttempt::addressAnswered(Request request, const Verdict& verdict)
{
    const bool expected =
        request == Request::CheckAddress && verdict.result == 0 && verdict.address == m_outside;
    if (!settled(request, verdict, expected))
        return;
    if (verdict.result != 0) {
        qCInfo(lcRouter) << "NAT-PMP: the router answered:" << natPmpError(verdict.result);
        // At a check, the forward may stand all the same: asked again at
        // the next one.
        if (request == Request::OutsideAddress)
            Q_EMIT failed(verdict.result == NATPMP_ERR_NETWORKFAILURE ? Failure::NotConnected
                                                                      : Failure::Refused,
                          natPmpError(verdict.result));
        return;
    }
    qCInfo(lcRouter) << "NAT-PMP: outside address" << verdict.address.toString();
    if (request == Request::OutsideAddress) {
        m_outside = verdict.address;
        Q_EMIT found(verdict.address);
    } else if (verdict.address != m_outside) {
        m_outside = verdict.address;
        Q_EMIT mapped(m_outside, m_outsidePort);
    }
}

void NatPmpAttempt::mapAnswered(Request request, const Verdict& verdict, quint32 lifetime)
{
    const bool expected = verdict.result == 0 && verdict.port == m_outsidePort;
    if (!settled(request, verdict, expected))
        return;
    if (verdict.result != 0) {
        qCInfo(lcRouter) << "NAT-PMP: the router answered:" << natPmpError(verdict.result);
        m_mapped = false;
        if (request == Request::Map)
            Q_EMIT failed(Failure::Refused, natPmpError(verdict.result));
        else
            Q_EMIT lost();
        return;
    }
    qCInfo(lcRouter, "NAT-PMP: forwarded %s port %u for %u s", qPrintable(m_outside.toString()),
           verdict.port, lifetime);
    m_mapped = true;
    const bool moved = verdict.port != std::exchange(m_outsidePort, verdict.port);
    m_leaseEnd.setRemainingTime(qint64(lifetime) * 1000);
    m_renew.start(m_timing.renewal(lifetime));
    if (!m_check.isActive())
        m_check.start(m_timing.check);
    if (request == Request::Map || moved) {
        Q_EMIT mapped(m_outside, m_outsidePort);
        if (released())
            return;
    }
    if (std::exchange(m_thenAddress, false) && !ask(Request::CheckAddress))
        unanswered(Request::CheckAddress);
}

void NatPmpAttempt::noAnswer()
{
    const Request request = std::exchange(m_request, Request::None);
    done();
    qCInfo(lcRouter, "NAT-PMP: no answer within %d ms", AnswerDeadlineMs);
    unanswered(request);
}

void NatPmpAttempt::unanswered(Request request)
{
    switch (request) {
    case Request::OutsideAddress:
    case Request::Map:
        Q_EMIT failed(Failure::NoAnswer, QStringLiteral("no answer to NAT-PMP"));
        break;
    case Request::Renew:
        // Asked again soon while the lease lasts: the forward may stand.
        if (m_leaseEnd.hasExpired()) {
            m_mapped = false;
            Q_EMIT lost();
        } else {
            m_renew.start(
                int(std::clamp<qint64>(m_leaseEnd.remainingTime() / 2, 1000, AnswerDeadlineMs)));
        }
        break;
    case Request::CheckAddress:
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
