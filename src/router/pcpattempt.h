// SPDX-License-Identifier: MIT
#pragma once

#include "routerattempt.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <optional>

class QUdpSocket;

// PCP (RFC 6887), the part the game needs: a MAP request that opens the
// router's IPv6 firewall for the game's TCP port on this machine's address,
// or forwards it from the router's IPv4 outside address (NatPmpAttempt),
// renewed, and deleted with a lifetime of 0. One small UDP exchange with
// the gateway, whose every answer must carry the request's nonce; no Debian
// library speaks PCP, so it is done here.
namespace pcp {

constexpr quint16 ServerPort = 5351;
constexpr qsizetype MapSize = 60;
// RFC 6887, 7: no PCP message is longer.
constexpr qsizetype LongestMessage = 1100;

struct MapRequest {
    QByteArray nonce; // 12 bytes
    // IPv6 for a pinhole; IPv4 for a forward from the router's IPv4
    // outside address, which is asked for as "any IPv4 address".
    QHostAddress client;
    quint16 port = 0;
    quint32 lifetime = 0;
};
QByteArray mapRequest(const MapRequest& request);

struct MapAnswer {
    int result = -1; // 0 success; RFC 6887's result codes otherwise
    quint32 lifetime = 0;
    quint32 epoch = 0;
    quint16 externalPort = 0;
    QHostAddress externalAddress;
};
// The answer to `request`, or nothing when the datagram is none: too short
// or too long, another version or opcode, another nonce, protocol or port.
std::optional<MapAnswer> readMapAnswer(QByteArrayView datagram, const MapRequest& request);

QString resultText(int result);

// Whether a datagram is a NAT-PMP router's answer to a PCP request: NAT-PMP
// version 0, "unsupported version" (RFC 6887, 9).
bool isNatPmpOnlyAnswer(QByteArrayView datagram);

} // namespace pcp

// An opening asked for with PCP's MAP request: the IPv6 pinhole for this
// machine's address, or, for an IPv4 address, the forward from the router's
// outside address (NatPmpAttempt asks it so). Found at once (there is nothing
// to look up first), opened with map(), renewed at every Timing::check (or at
// half a shorter life, not sooner than Timing::shortestRenewal), which also
// makes it again if the router lost it; a renewal unanswered is asked again
// soon while the lease lasts, and past it the opening is lost. A router that
// answers as only NAT-PMP does ("unsupported version"), or not within
// `firstAnswerMs`, has failed(NoAnswer).
class PcpAttempt final : public RouterAttempt {
    Q_OBJECT

public:
    static constexpr int AnswerDeadlineMs = 2500;

    PcpAttempt(const QHostAddress& gateway, const QHostAddress& localAddress, quint16 port,
               const Timing& timing, QObject* parent, int firstAnswerMs = AnswerDeadlineMs);

    const char* protocolName() const override { return "PCP"; }
    void find() override;
    void map() override;

private:
    // A removal the router confirmed nothing for is sent once, unrepeated: a
    // resend could come after another protocol made the forward of the same
    // port, on a router that keeps both in one table.
    void remove() override;
    enum class Request { None, Map, Renew, Delete };

    void send(Request request);
    void resend();
    void read();
    void answered(const pcp::MapAnswer& answer);
    void noAnswer();

    QHostAddress m_gateway;
    pcp::MapRequest m_request;
    Timing m_timing;
    int m_firstAnswerMs;
    QUdpSocket* m_socket;
    OneShot m_resend{this};
    OneShot m_deadline{this};
    OneShot m_renew{this};
    Request m_asking = Request::None;
    int m_resendMs = 0;
    QHostAddress m_outside;
    quint16 m_outsidePort = 0;
    RouterEpoch m_epoch;
    QDeadlineTimer m_leaseEnd;
    bool m_open = false;  // the router confirmed the opening
    bool m_asked = false; // a MAP went out
};
