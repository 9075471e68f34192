// SPDX-License-Identifier: MIT
#pragma once

#include "pcpattempt.h"
#include "routerattempt.h"

#include <QDeadlineTimer>
#include <QPointer>

#include <optional>

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

// The forward through UDP port 5351 of the gateway, where NAT-PMP (RFC 6886)
// and PCP (RFC 6887) answer, on the event loop: one socket, connected to the
// gateway, on a notifier; resends (250 ms, doubling) on a timer, an answer
// awaited AnswerDeadlineMs at most. An answer of the wrong length, kind or
// port is dropped, and the request's own schedule goes on.
//
// The outside address is found with NAT-PMP (which a PCP router answers
// too, and which makes nothing). The forward is asked for with PCP first,
// when wanted, by a PcpAttempt of its own: its answers carry the request's
// 96-bit nonce and the outside address, so a device on the home network
// cannot forge them without seeing the request. A router that answers PCP
// as NAT-PMP does ("unsupported version"), or not within PcpDeadlineMs, gets
// NAT-PMP from then on.
//
// NAT-PMP answers carry nothing that ties them to a request, and anyone on
// the home network can send one with the gateway's address: what arrived
// before a request is dropped unread, and an answer that would change what
// the game shows (an outside address, first or new, another port, a
// refusal) is taken only when a second, separately asked answer says the
// same.
//
// A standing NAT-PMP forward is asked for again, with the same port, at
// every Timing::check (and at half its life when that is sooner): the
// router's answer is the truth, and a forward it lost in any way (a
// restart, its rules reloaded, a removal by another program) is made again
// at once. The outside address is asked after it.
class NatPmpAttempt final : public RouterAttempt {
    Q_OBJECT

public:
    static constexpr int AnswerDeadlineMs = 2500;
    static constexpr int PcpDeadlineMs = 1000;
    // Asked at most this many times in a row for two answers that agree.
    static constexpr int MostAsks = 4;
    // Datagrams dropped unread before a request, at most.
    static constexpr int MostDropped = 1024;

    NatPmpAttempt(const QHostAddress& gateway, const QHostAddress& localAddress, quint16 port,
                  const Timing& timing, bool pcp, QObject* parent);
    ~NatPmpAttempt() override;

    const char* protocolName() const override { return throughPcp() ? "PCP" : "NAT-PMP"; }
    // Whether PCP makes the forward.
    bool throughPcp() const { return m_pcp && !m_natPmpOnly; }
    void find() override;
    void map() override;

private:
    void remove() override;
    enum class Request { None, OutsideAddress, Map, Renew, CheckAddress, Unmap };
    // What a NAT-PMP answer said: a libnatpmp error (or 1 for "granted
    // nothing"), else 0 and the address or port.
    struct Verdict {
        int result = 0;
        QHostAddress address;
        quint16 port = 0;
        bool operator==(const Verdict& other) const
        {
            return result == other.result && address == other.address && port == other.port;
        }
    };

    void mapThroughPcp();
    bool ask(Request request);
    bool send(Request request);
    void dropQueued();
    int read(natpmpresp_t& answer);
    void readAnswer();
    bool settled(Request request, const Verdict& verdict, bool expected);
    void addressAnswered(Request request, const Verdict& verdict);
    void mapAnswered(Request request, const Verdict& verdict, quint32 lifetime);
    void noAnswer();
    void unanswered(Request request);
    void done();
    void finish();
    void armResend();

    QHostAddress m_gateway;
    QHostAddress m_localAddress;
    Timing m_timing;
    natpmp_t m_natpmp{};
    bool m_open = false;
    QSocketNotifier* m_notifier = nullptr;
    OneShot m_resend{this};
    OneShot m_deadline{this};
    OneShot m_renew{this};
    OneShot m_check{this};
    Request m_request = Request::None;
    quint16 m_port = 0;
    quint16 m_outsidePort = 0;
    QHostAddress m_outside;
    RouterEpoch m_epoch;
    // PCP's forward, when wanted: asked first, and given up for NAT-PMP's
    // when the router does not speak it.
    bool m_wantsPcp = false;
    QPointer<PcpAttempt> m_pcp;
    bool m_natPmpOnly = false;
    // Answers of the current request that did not say what was expected.
    int m_asks = 0;
    std::optional<Verdict> m_pending;
    // After a check's renewal: the outside address is asked too.
    bool m_thenAddress = false;
    // When the lease last granted runs out.
    QDeadlineTimer m_leaseEnd;
    // A forward the router confirmed, and one it was asked for and may
    // have made without an answer getting back.
    bool m_mapped = false;
    bool m_asked = false;
};
