// SPDX-License-Identifier: MIT
#include "natpmpclient.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <utility>

namespace {

// A lease is renewed at half its life; a router's longer grants still renew daily.
constexpr quint32 LongestRenewalSeconds = 86400;

} // namespace

NatPmpClient::NatPmpClient(const QHostAddress& gateway, QObject* parent)
    : QObject(parent)
{
    m_open = initnatpmp(&m_natpmp, 1, htonl(gateway.toIPv4Address())) == 0;
    for (QTimer* timer : {&m_resend, &m_deadline, &m_renew})
        timer->setSingleShot(true);
    connect(&m_resend, &QTimer::timeout, this, &NatPmpClient::readAnswer);
    connect(&m_deadline, &QTimer::timeout, this, &NatPmpClient::giveUp);
    connect(&m_renew, &QTimer::timeout, this, [this] {
        m_deadline.start(AnswerDeadlineMs);
        if (!send(Request::Renew))
            giveUp();
    });
    if (m_open) {
        m_notifier = new QSocketNotifier(qintptr(m_natpmp.s), QSocketNotifier::Read, this);
        m_notifier->setEnabled(false);
        connect(m_notifier, &QSocketNotifier::activated, this, &NatPmpClient::readAnswer);
    }
}

// The game is ending with a forward on the router: a short, bounded wait
// for the router to confirm its removal, asked twice in case a datagram is lost.
NatPmpClient::~NatPmpClient()
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
            const QDeadlineTimer wait(RemovalWaitMs);
            bool removed = false;
            pollfd socket{m_natpmp.s, POLLIN, 0};
            while (!removed && poll(&socket, 1, int(wait.remainingTime())) > 0) {
                natpmpresp_t answer{};
                const int result = readnatpmpresponseorretry(&m_natpmp, &answer);
                removed = result != NATPMP_TRYAGAIN &&
                          (result < 0 || answer.pnu.newportmapping.privateport == m_port);
            }
            if (removed)
                break;
        }
    }
    closenatpmp(&m_natpmp);
}

bool NatPmpClient::askOutsideAddress()
{
    m_deadline.start(AnswerDeadlineMs);
    if (send(Request::OutsideAddress))
        return true;
    m_deadline.stop();
    return false;
}

bool NatPmpClient::map(quint16 port, quint32 lifetime)
{
    m_port = port;
    m_outsidePort = port;
    m_lifetime = lifetime;
    m_deadline.start(AnswerDeadlineMs);
    if (send(Request::Map))
        return true;
    m_deadline.stop();
    return false;
}

void NatPmpClient::release()
{
    if (m_released)
        return;
    m_released = true;
    blockSignals(true);
    m_renew.stop();
    if (m_mapped) {
        m_deadline.start(AnswerDeadlineMs);
        if (send(Request::Unmap))
            return;
    } else if (m_asked && m_open) {
        // The router may have made it, its answer still on the way: one
        // request, no waiting. A resend could come after UPnP has made the
        // forward of the same port, on a router that may keep both in one
        // table and take the removal for that one.
        sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_port, 0, 0);
    }
    finish();
}

bool NatPmpClient::send(Request request)
{
    if (!m_open)
        return false;
    int result = NATPMP_ERR_INVALIDARGS;
    switch (request) {
    case Request::OutsideAddress:
        result = sendpublicaddressrequest(&m_natpmp);
        break;
    case Request::Map:
    case Request::Renew:
        result = sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_port, m_outsidePort,
                                           m_lifetime);
        m_asked = true;
        break;
    case Request::Unmap:
        result = sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_port, 0, 0);
        break;
    case Request::None:
        break;
    }
    if (result < 0)
        return false;
    m_request = request;
    m_notifier->setEnabled(true);
    armResend();
    return true;
}

// libnatpmp resends the request when its time has come, in this same call.
void NatPmpClient::readAnswer()
{
    if (m_request == Request::None) {
        m_notifier->setEnabled(false);
        return;
    }
    natpmpresp_t answer{};
    const int result = readnatpmpresponseorretry(&m_natpmp, &answer);
    if (result == NATPMP_TRYAGAIN) {
        armResend();
    } else if (result == NATPMP_ERR_NETWORKFAILURE && m_request == Request::OutsideAddress) {
        // The router answers but has no outside address it would tell.
        answer.type = NATPMP_RESPTYPE_PUBLICADDRESS;
        answer.pnu.publicaddress.addr.s_addr = 0;
        answered(answer);
    } else if (result < 0) { // refused, an error answer, or nobody on the port
        giveUp();
    } else {
        answered(answer);
    }
}

void NatPmpClient::answered(const natpmpresp_t& answer)
{
    const Request request = m_request;
    const bool aboutOurPort = answer.type == NATPMP_RESPTYPE_TCPPORTMAPPING &&
                              answer.pnu.newportmapping.privateport == m_port;
    const bool expected = request == Request::OutsideAddress
                              ? answer.type == NATPMP_RESPTYPE_PUBLICADDRESS
                              : aboutOurPort;
    if (!expected) {
        // A late answer to an earlier request took this one's place in
        // libnatpmp: ask again, within the same deadline.
        if (!send(request))
            giveUp();
        return;
    }
    m_request = Request::None;
    m_deadline.stop();
    m_resend.stop();
    m_notifier->setEnabled(false);

    const quint16 outsidePort = answer.pnu.newportmapping.mappedpublicport;
    const quint32 lifetime = answer.pnu.newportmapping.lifetime;
    switch (request) {
    case Request::OutsideAddress:
        Q_EMIT outsideAddressAnswered(QHostAddress(ntohl(answer.pnu.publicaddress.addr.s_addr)));
        break;
    case Request::Map:
    case Request::Renew:
        if (outsidePort == 0 || lifetime == 0) {
            m_mapped = false;
            Q_EMIT(request == Request::Map ? failed() : lost());
            break;
        }
        m_mapped = true;
        m_outsidePort = outsidePort;
        m_renew.start(int(std::min(lifetime, LongestRenewalSeconds) * 1000 / 2));
        Q_EMIT mapped(outsidePort, lifetime);
        break;
    case Request::Unmap:
        m_mapped = false;
        finish();
        break;
    case Request::None:
        break;
    }
}

void NatPmpClient::giveUp()
{
    const Request request = std::exchange(m_request, Request::None);
    m_deadline.stop();
    m_resend.stop();
    if (m_notifier)
        m_notifier->setEnabled(false);
    switch (request) {
    case Request::OutsideAddress:
    case Request::Map:
        Q_EMIT failed();
        break;
    case Request::Renew:
        m_mapped = false;
        Q_EMIT lost();
        break;
    case Request::Unmap:
        m_mapped = false;
        finish();
        break;
    case Request::None:
        break;
    }
}

void NatPmpClient::finish()
{
    m_request = Request::None;
    deleteLater();
}

void NatPmpClient::armResend()
{
    timeval wait{};
    if (getnatpmprequesttimeout(&m_natpmp, &wait) != 0)
        return;
    const qint64 ms = qint64(wait.tv_sec) * 1000 + wait.tv_usec / 1000;
    m_resend.start(int(std::clamp<qint64>(ms, 0, AnswerDeadlineMs)));
}
