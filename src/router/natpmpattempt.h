// SPDX-License-Identifier: MIT
#pragma once

#include "routerattempt.h"

#include <QTimer>

// libnatpmp declares its error texts only on request.
#define ENABLE_STRNATPMPERR
#include <natpmp.h>

class QSocketNotifier;

// Whether a datagram the gateway sent may be read as the answer to a
// NAT-PMP request with `opcode` (0 the outside address, 2 a TCP forward) for
// `port`: libnatpmp reads whatever arrives as a whole answer, so a short one
// would fill the answer with what its buffer held before.
enum class NatPmpDatagram { Answer, ErrorAnswer, Drop };
NatPmpDatagram checkNatPmpDatagram(QByteArrayView datagram, int opcode, quint16 port);

// NAT-PMP (RFC 6886; a router that speaks PCP answers it too) through
// libnatpmp on the event loop: its socket, connected to the gateway, on a
// notifier, its resends (250 ms, doubling) on a timer, an answer awaited
// AnswerDeadlineMs at most. An answer of the wrong length, kind or port is
// dropped, and the request's own schedule goes on. A standing forward is
// checked every Timing::check by asking the outside address: an epoch that
// went back says the router restarted and forgot it.
class NatPmpAttempt final : public RouterAttempt {
    Q_OBJECT

public:
    static constexpr int AnswerDeadlineMs = 2500;
    // When the attempt is deleted while a forward stands: how long each of
    // two removal requests waits for the router's answer.
    static constexpr int RemovalWaitMs = 200;

    NatPmpAttempt(const QHostAddress& gateway, quint16 port, const Timing& timing, QObject* parent);
    ~NatPmpAttempt() override;

    const char* protocolName() const override { return "NAT-PMP"; }
    void find() override;
    void map() override;
    void release() override;

private:
    enum class Request { None, OutsideAddress, Map, Renew, Check, Unmap };

    bool send(Request request);
    int read(natpmpresp_t& answer);
    void readAnswer();
    void answered(const natpmpresp_t& answer);
    void refused(int result);
    void noAnswer();
    void done();
    void finish();
    void armResend();

    Timing m_timing;
    natpmp_t m_natpmp{};
    bool m_open = false;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_resend;
    QTimer m_deadline;
    QTimer m_renew;
    QTimer m_check;
    Request m_request = Request::None;
    quint16 m_port = 0;
    quint16 m_outsidePort = 0;
    QHostAddress m_outside;
    RouterEpoch m_epoch;
    // A forward the router confirmed, and one it was asked for and may have
    // made without an answer getting back.
    bool m_mapped = false;
    bool m_asked = false;
    bool m_released = false;
};
