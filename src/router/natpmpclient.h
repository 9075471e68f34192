// SPDX-License-Identifier: MIT
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <natpmp.h>

class QSocketNotifier;

// One forward of a TCP port asked of the gateway with NAT-PMP (RFC 6886;
// a router that speaks PCP answers it too), through libnatpmp on the event
// loop: its socket on a notifier, its resends on a timer. libnatpmp's own
// schedule waits two minutes on a silent gateway; here an answer is awaited
// AnswerDeadlineMs at most. The socket is connected to the gateway, and
// libnatpmp takes no answer from anyone else.
class NatPmpClient final : public QObject {
    Q_OBJECT

public:
    static constexpr int AnswerDeadlineMs = 2500;
    // When the object is destroyed while a forward stands: how long each of
    // two removal requests waits for the router's answer.
    static constexpr int RemovalWaitMs = 200;

    NatPmpClient(const QHostAddress& gateway, QObject* parent);
    ~NatPmpClient() override;

    // Each answers with a signal; false when the request cannot even be sent.
    bool askOutsideAddress();
    bool map(quint16 port, quint32 lifetime);

    // Removes the forward if one was made, then deletes itself (at the
    // latest with its parent); returns at once. No signal comes after it.
    void release();

Q_SIGNALS:
    // 0.0.0.0 when the router answers that it has none (a network failure,
    // which miniupnpd also says when its own outside address is private).
    void outsideAddressAnswered(const QHostAddress& address);
    // Also after each renewal, at half the lifetime the router granted.
    void mapped(quint16 outsidePort, quint32 lifetime);
    void failed();
    // A renewal went unanswered or was refused: the forward is gone.
    void lost();

private:
    enum class Request { None, OutsideAddress, Map, Renew, Unmap };

    bool send(Request request);
    void readAnswer();
    void answered(const natpmpresp_t& answer);
    void giveUp();
    void finish();
    void armResend();

    natpmp_t m_natpmp{};
    bool m_open = false;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_resend;
    QTimer m_deadline;
    QTimer m_renew;
    Request m_request = Request::None;
    quint16 m_port = 0;
    quint16 m_outsidePort = 0;
    quint32 m_lifetime = 0;
    // A forward the router confirmed, and one it was asked for and may have
    // made without an answer getting back.
    bool m_mapped = false;
    bool m_asked = false;
    bool m_released = false;
};
