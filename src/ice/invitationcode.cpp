// SPDX-License-Identifier: MIT
#include "invitationcode.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtEndian>

namespace ice {

namespace {

constexpr quint8 Version = 1;
constexpr int ChecksumBytes = 4;
constexpr quint8 TypeBits = 0x03;
constexpr quint8 Ipv6Bit = 0x04;
constexpr int HeaderBytes = 2 + Code::UserFragmentBytes + Code::PasswordBytes;

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes;
}

QByteArray checksum(QByteArrayView bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).left(ChecksumBytes);
}

Decoded fault(Decoded::Fault kind, QString message)
{
    Decoded decoded;
    decoded.fault = kind;
    decoded.message = std::move(message);
    return decoded;
}

QString kindName(CodeKind kind)
{
    return kind == CodeKind::Invitation ? QStringLiteral("an invitation")
                                        : QStringLiteral("an answer");
}

} // namespace

Code Code::withNewCredentials(CodeKind kind)
{
    Code code;
    code.kind = kind;
    code.userFragment = randomBytes(UserFragmentBytes);
    code.password = randomBytes(PasswordBytes);
    return code;
}

// Base64's alphabet is ICE's (letters, digits, + and /); 3 bytes make 4
// characters, 16 bytes 22 without the padding: ICE's least.
QByteArray Code::userFragmentText() const
{
    return userFragment.toBase64(QByteArray::OmitTrailingEquals);
}

QByteArray Code::passwordText() const
{
    return password.toBase64(QByteArray::OmitTrailingEquals);
}

bool isAddressForPlayers(const QHostAddress& address, bool allowLoopback)
{
    if (address.isNull() || address.isMulticast() || address.isBroadcast() || address.isLinkLocal())
        return false;
    if (address.isLoopback())
        return allowLoopback;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v4 = address.toIPv4Address();
        const quint32 first = v4 >> 24;
        return first != 0 && first < 240;
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    if (address == QHostAddress::AnyIPv6)
        return false;
    // ::ffff:a.b.c.d and the old ::a.b.c.d: an IPv4 address belongs in an
    // IPv4 candidate.
    bool mapped = false;
    address.toIPv4Address(&mapped);
    if (mapped)
        return false;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    bool compatible = true;
    for (int i = 0; i < 12; ++i)
        compatible = compatible && bytes[i] == 0;
    return !compatible;
}

QString encodeCode(const Code& code)
{
    QByteArray bytes;
    bytes.reserve(HeaderBytes + Code::MaxCandidates * 19 + ChecksumBytes);
    bytes.append(char(Version));
    bytes.append(char(code.kind));
    bytes.append(code.userFragment.left(Code::UserFragmentBytes)
                     .leftJustified(Code::UserFragmentBytes, '\0'));
    bytes.append(code.password.left(Code::PasswordBytes).leftJustified(Code::PasswordBytes, '\0'));
    for (const Candidate& candidate : code.candidates.mid(0, Code::MaxCandidates)) {
        const bool v6 = candidate.address.protocol() == QAbstractSocket::IPv6Protocol;
        bytes.append(char(quint8(candidate.type) | (v6 ? Ipv6Bit : 0)));
        if (v6) {
            const Q_IPV6ADDR a = candidate.address.toIPv6Address();
            bytes.append(reinterpret_cast<const char*>(a.c), 16);
        } else {
            char a[4];
            qToBigEndian(candidate.address.toIPv4Address(), a);
            bytes.append(a, 4);
        }
        char port[2];
        qToBigEndian(candidate.port, port);
        bytes.append(port, 2);
    }
    bytes.append(checksum(bytes));
    return CodePrefix + QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding |
                                                           QByteArray::OmitTrailingEquals));
}

Decoded decodeCode(QStringView text, CodeKind expected, DecodeOptions options)
{
    const QString notOurs =
        QStringLiteral(
            "This is not a Korvaloop code: copy the whole line your friend sent, from %1 on.")
            .arg(CodePrefix);
    const QString damaged = QStringLiteral(
        "This code is damaged or cut short: ask your friend to copy it again and send it "
        "whole.");
    text = text.trimmed();
    if (text.size() > MaxCodeLength)
        return fault(Decoded::Fault::NotACode, notOurs);
    if (!text.startsWith(CodePrefix, Qt::CaseSensitive))
        return fault(Decoded::Fault::NotACode, notOurs);
    const QStringView body = text.mid(CodePrefix.size());
    for (const QChar c : body) {
        const char16_t u = c.unicode();
        const bool base64url = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                               (u >= '0' && u <= '9') || u == '-' || u == '_';
        if (!base64url)
            return fault(Decoded::Fault::Damaged, damaged);
    }
    const auto result = QByteArray::fromBase64Encoding(
        body.toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    // A length of 1 mod 4 is no base64 at all: a character lost.
    if (!result || body.size() % 4 == 1)
        return fault(Decoded::Fault::Damaged, damaged);
    const QByteArray& bytes = result.decoded;
    if (bytes.size() < 2 + ChecksumBytes)
        return fault(Decoded::Fault::Damaged, damaged);
    const QByteArrayView signedPart = QByteArrayView(bytes).first(bytes.size() - ChecksumBytes);
    if (checksum(signedPart) != QByteArrayView(bytes).last(ChecksumBytes))
        return fault(Decoded::Fault::Damaged, damaged);
    if (quint8(bytes[0]) != Version)
        return fault(Decoded::Fault::NewerVersion,
                     QStringLiteral("This code comes from another version of Korvaloop: both "
                                    "players need the same version."));
    const quint8 kind = quint8(bytes[1]);
    if (kind != quint8(CodeKind::Invitation) && kind != quint8(CodeKind::Answer))
        return fault(Decoded::Fault::Garbage,
                     QStringLiteral("This code is not one Korvaloop makes."));
    if (CodeKind(kind) != expected)
        return fault(Decoded::Fault::WrongKind,
                     QStringLiteral("This is %1, and %2 belongs here.")
                         .arg(kindName(CodeKind(kind)), kindName(expected)));
    if (signedPart.size() < HeaderBytes)
        return fault(Decoded::Fault::Garbage,
                     QStringLiteral("This code is not one Korvaloop makes."));

    Decoded decoded;
    Code code;
    code.kind = CodeKind(kind);
    code.userFragment = signedPart.sliced(2, Code::UserFragmentBytes).toByteArray();
    code.password =
        signedPart.sliced(2 + Code::UserFragmentBytes, Code::PasswordBytes).toByteArray();
    QByteArrayView rest = signedPart.sliced(HeaderBytes);
    int read = 0;
    while (!rest.isEmpty()) {
        const quint8 flags = quint8(rest[0]);
        const bool v6 = flags & Ipv6Bit;
        const qsizetype size = 1 + (v6 ? 16 : 4) + 2;
        if ((flags & ~(TypeBits | Ipv6Bit)) != 0 || (flags & TypeBits) > 2 || rest.size() < size ||
            ++read > Code::MaxCandidates)
            return fault(Decoded::Fault::Garbage,
                         QStringLiteral("This code is not one Korvaloop makes."));
        Candidate candidate;
        candidate.type = Candidate::Type(flags & TypeBits);
        if (v6) {
            Q_IPV6ADDR a;
            std::copy_n(rest.data() + 1, 16, a.c);
            candidate.address = QHostAddress(a);
        } else {
            candidate.address = QHostAddress(qFromBigEndian<quint32>(rest.data() + 1));
        }
        candidate.port = qFromBigEndian<quint16>(rest.data() + size - 2);
        rest = rest.sliced(size);
        if (candidate.port == 0 || !isAddressForPlayers(candidate.address, options.allowLoopback) ||
            code.candidates.contains(candidate)) {
            ++decoded.dropped;
            continue;
        }
        code.candidates.append(candidate);
    }
    if (code.candidates.isEmpty()) {
        Decoded none = fault(Decoded::Fault::NoAddress,
                             QStringLiteral("This code holds no address a game can be "
                                            "reached at."));
        none.dropped = decoded.dropped;
        return none;
    }
    decoded.code = std::move(code);
    return decoded;
}

} // namespace ice
