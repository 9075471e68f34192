// SPDX-License-Identifier: MIT
#include "natpmpattempt.h"

#include "routerlog.h"

#include <QRandomGenerator>
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
constexpr qsizetype PcpNonceSize = 12;
constexpr int PcpFirstResendMs = 250;

QString natPmpError(int result)
{
    if (result == GrantedNothing)
        return QStringLiteral("the router granted no forward");
    return QStringLiteral("%1 (libnatpmp %2)").arg(QLatin1String(strnatpmperr(result))).arg(result);
}

// The IPv4 address an IPv4-mapped IPv6 address maps; null for any other.
QHostAddress mappedIpv4(const QHostAddress& address)
{
    const Q_IPV6ADDR ip = address.toIPv6Address();
    for (int at = 0; at < 10; ++at) {
        if (ip[at] != 0)
            return {};
    }
    if (ip[10] != 0xff || ip[11] != 0xff)
        return {};
    return QHostAddress(qFromBigEndian<quint32>(ip.c + 12));
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
    , m_timing(timing)
    , m_port(port)
    , m_outsidePort(port)
{
    m_open = initnatpmp(&m_natpmp, 1, htonl(gateway.toIPv4Address())) == 0;
    const bool pcpAskable = pcp && localAddress.protocol() == QAbstractSocket::IPv4Protocol;
    m_pcp = pcpAskable ? Pcp::Untried : Pcp::NotSpoken;
    m_pcpRequest.client = localAddress;
    m_pcpRequest.port = port;
    m_pcpRequest.lifetime = quint32(timing.lease.count());
    // The nonce is all that ties an answer, a renewal and the removal to
    // this forward.
    m_pcpRequest.nonce.resize(PcpNonceSize);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(m_pcpRequest.nonce.data()),
                                          PcpNonceSize / 4);
    connect(&m_resend, &QTimer::timeout, this, [this] {
        if (m_viaPcp)
            resendPcp();
        else
            readAnswer();
    });
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
        // it; through NAT-PMP, the outside address after it.
        m_thenAddress = !throughPcp();
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
    if (!ask(Request::Map))
        failLater(Failure::NoAnswer, QStringLiteral("NAT-PMP cannot be asked here"));
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
        done();
        if (send(Request::Unmap))
            return;
    } else if (m_open) {
        // The router may have made it, its answer still on the way: one
        // request, no waiting. A resend could come after another protocol
        // has made the forward of the same port, on a router that keeps both
        // in one table and would take the removal for that one.
        if (m_askedPcp) {
            pcp::MapRequest removal = m_pcpRequest;
            removal.lifetime = 0;
            const QByteArray datagram = pcp::mapRequest(removal);
            ::send(m_natpmp.s, datagram.constData(), size_t(datagram.size()), 0);
        }
        if (m_askedNatPmp)
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
    const bool forward =
        request == Request::Map || request == Request::Renew || request == Request::Unmap;
    if (forward && m_pcp != Pcp::NotSpoken) {
        if (m_pcp == Pcp::Untried)
            m_pcp = Pcp::Trying;
        return sendPcp(request);
    }
    m_viaPcp = false;
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
        m_askedNatPmp = true;
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

bool NatPmpAttempt::sendPcp(Request request)
{
    m_viaPcp = true;
    m_request = request;
    if (request == Request::Unmap) {
        qCInfo(lcRouter) << "PCP: removing the forward of port" << m_port;
    } else {
        m_askedPcp = true;
        qCInfo(lcRouter) << "PCP: asking to forward TCP port" << m_port << "to"
                         << m_pcpRequest.client.toString() << "for" << m_pcpRequest.lifetime << "s";
    }
    m_pcpResendMs = PcpFirstResendMs;
    m_deadline.start(m_pcp == Pcp::Trying ? PcpDeadlineMs : AnswerDeadlineMs);
    m_notifier->setEnabled(true);
    resendPcp();
    return true;
}

void NatPmpAttempt::resendPcp()
{
    if (m_request == Request::None || !m_viaPcp)
        return;
    pcp::MapRequest request = m_pcpRequest;
    if (m_request == Request::Unmap)
        request.lifetime = 0;
    const QByteArray datagram = pcp::mapRequest(request);
    if (::send(m_natpmp.s, datagram.constData(), size_t(datagram.size()), 0) < 0)
        qCInfo(lcRouter) << "PCP: cannot send:" << qt_error_string(errno);
    m_resend.start(m_pcpResendMs);
    m_pcpResendMs *= 2;
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
    if (m_viaPcp) {
        readPcp();
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
    answered(request, verdict, lifetime, result < 0 ? 0 : answer.epoch);
}

void NatPmpAttempt::readPcp()
{
    for (int datagrams = 0; datagrams < MostDropped && m_request != Request::None && m_viaPcp;
         ++datagrams) {
        char buffer[pcp::LongestMessage + 1];
        const ssize_t size = recv(m_natpmp.s, buffer, sizeof buffer, MSG_DONTWAIT);
        if (size < 0) {
            if (errno == ECONNREFUSED)
                continue;
            return;
        }
        const QByteArrayView datagram(buffer, size);
        if (const std::optional<pcp::MapAnswer> answer =
                pcp::readMapAnswer(datagram, m_pcpRequest)) {
            const Request request = std::exchange(m_request, Request::None);
            done();
            pcpAnswered(request, *answer);
            return;
        }
        if (m_pcp == Pcp::Trying && pcp::isNatPmpOnlyAnswer(datagram)) {
            qCInfo(lcRouter) << "PCP: the router speaks NAT-PMP only";
            m_pcp = Pcp::NotSpoken;
            const Request request = std::exchange(m_request, Request::None);
            done();
            if (!send(request))
                unanswered(request);
            return;
        }
        qCInfo(lcRouter) << "PCP: dropped an answer of" << size
                         << "bytes that is no answer to what was asked";
    }
}

void NatPmpAttempt::answered(Request request, const Verdict& verdict, quint32 lifetime,
                             quint32 epoch)
{
    if (verdict.result == 0)
        noteEpoch(epoch);
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
    granted(request, verdict.port, lifetime, false);
}

void NatPmpAttempt::pcpAnswered(Request request, const pcp::MapAnswer& answer)
{
    m_pcp = Pcp::Spoken; // the answer carries the request's nonce
    if (request == Request::Unmap) {
        m_mapped = false;
        finish();
        return;
    }
    if (answer.result != 0 || answer.lifetime == 0 || answer.externalPort == 0) {
        const QString reason = answer.result != 0 ? pcp::resultText(answer.result)
                                                  : QStringLiteral("the router forwarded nothing");
        qCInfo(lcRouter) << "PCP: the router answered:" << reason;
        m_mapped = false;
        if (request == Request::Map)
            Q_EMIT failed(answer.result != 0 ? Failure::Refused : Failure::BadAnswer, reason);
        else
            Q_EMIT lost();
        return;
    }
    noteEpoch(answer.epoch);
    // The router's own word on its outside address, tied to the request.
    const QHostAddress outside = mappedIpv4(answer.externalAddress);
    const bool moved = outside != m_outside;
    m_outside = outside;
    granted(request, answer.externalPort, answer.lifetime, moved);
}

void NatPmpAttempt::granted(Request request, quint16 outsidePort, quint32 lifetime,
                            bool addressChanged)
{
    qCInfo(lcRouter, "%s: forwarded %s port %u for %u s", protocolName(),
           qPrintable(m_outside.toString()), outsidePort, lifetime);
    m_mapped = true;
    const bool moved = outsidePort != m_outsidePort;
    m_outsidePort = outsidePort;
    m_leaseEnd.setRemainingTime(qint64(lifetime) * 1000);
    m_renew.start(m_timing.renewal(lifetime));
    if (!m_check.isActive())
        m_check.start(m_timing.check);
    if (request == Request::Map || moved || addressChanged) {
        Q_EMIT mapped(m_outside, outsidePort);
        if (m_released)
            return;
    }
    if (std::exchange(m_thenAddress, false) && !ask(Request::CheckAddress))
        unanswered(Request::CheckAddress);
}

void NatPmpAttempt::noAnswer()
{
    const Request request = std::exchange(m_request, Request::None);
    done();
    if (m_viaPcp && m_pcp == Pcp::Trying) {
        qCInfo(lcRouter) << "PCP: no answer within" << PcpDeadlineMs << "ms: NAT-PMP then";
        m_pcp = Pcp::NotSpoken;
        if (send(request))
            return;
    } else {
        qCInfo(lcRouter, "%s: no answer within %d ms", protocolName(), AnswerDeadlineMs);
    }
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

void NatPmpAttempt::noteEpoch(quint32 epoch)
{
    if (m_epoch.restarted(epoch) && m_mapped)
        qCInfo(lcRouter) << "NAT-PMP: the router's epoch went back: it restarted";
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
