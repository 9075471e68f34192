// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

// The one line each player sends the other to open a path through both
// routers: the hosting player's invitation, the joining player's answer.
//
//   korvaloop-<base64url, no padding>
//
// of the bytes
//   version (1) | kind (1: invitation, 2: answer)
//   | ICE user fragment, 3 random bytes | ICE password, 16 random bytes
//   | up to MaxCandidates candidates, each: flags (bits 0-1 the type: 0 host,
//     1 server-reflexive, 2 relayed; bit 2 IPv6; the rest zero),
//     the address (4 or 16 bytes), the UDP port (2 bytes, big-endian)
//   | the first 4 bytes of the SHA-256 of all the bytes before them.
//
// The ICE credentials are the random bytes in base64 (4 and 22 characters,
// ICE's own alphabet); priorities and foundations are not sent: the reader
// derives them from the type and the order. The text is untrusted: a pasted
// line from a chat.
namespace ice {

enum class CodeKind : quint8 { Invitation = 1, Answer = 2 };

struct Candidate {
    enum class Type : quint8 { Host = 0, ServerReflexive = 1, Relayed = 2 };
    Type type = Type::Host;
    QHostAddress address;
    quint16 port = 0;
    friend bool operator==(const Candidate&, const Candidate&) = default;
};

struct Code {
    static constexpr int UserFragmentBytes = 3;
    static constexpr int PasswordBytes = 16;
    static constexpr int MaxCandidates = 8;

    CodeKind kind = CodeKind::Invitation;
    QByteArray userFragment; // UserFragmentBytes random bytes
    QByteArray password;     // PasswordBytes random bytes
    QList<Candidate> candidates;

    // Fresh random credentials, no candidates.
    static Code withNewCredentials(CodeKind kind);
    // The credentials as ICE takes them.
    QByteArray userFragmentText() const;
    QByteArray passwordText() const;
    friend bool operator==(const Code&, const Code&) = default;
};

// Whether an address may be sent to, or taken from, another player: not
// loopback (unless allowed, for tests on one machine), not unspecified,
// multicast, broadcast, link-local, "this network" (0/8), reserved (240/4) or
// an IPv4 address dressed as IPv6.
bool isAddressForPlayers(const QHostAddress& address, bool allowLoopback = false);

inline constexpr QLatin1StringView CodePrefix{"korvaloop-"};
// Longer texts are refused before they are read.
inline constexpr qsizetype MaxCodeLength = 320;

// The line for a code. Candidates past MaxCandidates are left out.
QString encodeCode(const Code& code);

struct DecodeOptions {
    bool allowLoopback = false;
};

struct Decoded {
    enum class Fault {
        None,
        NotACode,     // no prefix, or too long to be one
        Damaged,      // a wrong character, cut short, checksum wrong
        NewerVersion, // from a newer game
        WrongKind,    // an invitation where an answer belongs, or the other way
        Garbage,      // checksum right but not a valid code
        NoAddress,    // every candidate dropped
    };
    std::optional<Code> code;
    Fault fault = Fault::None;
    int dropped = 0; // candidates left out: bad addresses, duplicates
    // The player's words for the fault; empty when there is none.
    QString message;
};

// Reads a pasted line; `expected` is the kind this player waits for.
// Surrounding white space is ignored. Every fault is found at once.
Decoded decodeCode(QStringView text, CodeKind expected, DecodeOptions options = {});

} // namespace ice
