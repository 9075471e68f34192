// SPDX-License-Identifier: MIT
// libFuzzer target: whatever a player pastes as a friend's code, the reader
// refuses it or takes a code that keeps the code's bounds (at most
// MaxCandidates candidates, every address one a player may be sent to, no
// duplicates), that a copy of the game writes back as a line read again as
// the same code; never a crash, a hang or memory past the line's size.
#include "ice/invitationcode.h"
#include "reads.h"

#include <QCryptographicHash>

#include <cstddef>
#include <cstdint>

namespace {

void check(QStringView text, ice::CodeKind kind, bool allowLoopback)
{
    const ice::Decoded decoded = ice::decodeCode(text, kind, {allowLoopback});
    if (!decoded.code) {
        require(decoded.fault != ice::Decoded::Fault::None && !decoded.message.isEmpty());
        return;
    }
    const ice::Code& code = *decoded.code;
    require(code.kind == kind && !code.candidates.isEmpty() &&
            code.candidates.size() <= ice::Code::MaxCandidates);
    require(code.userFragment.size() == ice::Code::UserFragmentBytes &&
            code.password.size() == ice::Code::PasswordBytes);
    for (qsizetype i = 0; i < code.candidates.size(); ++i) {
        const ice::Candidate& candidate = code.candidates[i];
        require(candidate.port != 0 && ice::isAddressForPlayers(candidate.address, allowLoopback));
        for (qsizetype j = 0; j < i; ++j)
            require(!(code.candidates[j] == candidate));
    }
    const QString line = ice::encodeCode(code);
    require(line.size() <= ice::MaxCodeLength);
    const ice::Decoded again = ice::decodeCode(line, kind, {allowLoopback});
    require(again.code && *again.code == code && again.dropped == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the kind awaited and whether loopback is allowed.
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    check(text, data[0] & 1 ? ice::CodeKind::Answer : ice::CodeKind::Invitation, data[0] & 2);
    // The same bytes as the body of a code, so the fuzzer gets past the
    // prefix at once.
    check(ice::CodePrefix + text, ice::CodeKind::Invitation, false);
    // And as the bytes of a code with a right checksum, so the fuzzer reaches
    // the candidates: what a hostile copy of the game could write.
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QByteArray sum = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).left(4);
    check(ice::CodePrefix + QString::fromLatin1((bytes + sum)
                                                    .toBase64(QByteArray::Base64UrlEncoding |
                                                              QByteArray::OmitTrailingEquals)),
          data[0] & 1 ? ice::CodeKind::Answer : ice::CodeKind::Invitation, data[0] & 2);
    return 0;
}
