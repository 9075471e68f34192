// SPDX-License-Identifier: MIT
// The one-line codes two players exchange to open a path through their
// routers: what a player pastes from a chat is read at once, and a code that
// is damaged, cut short, from another program, of the wrong kind or full of
// addresses no player should be sent to is refused or cleaned, never taken.
#include "ice/invitationcode.h"

#include <QCryptographicHash>
#include <QtTest>

using namespace ice;

namespace {

Candidate candidate(Candidate::Type type, const char* address, quint16 port)
{
    return Candidate{type, QHostAddress(QString::fromLatin1(address)), port};
}

Code sample(CodeKind kind = CodeKind::Invitation)
{
    Code code = Code::withNewCredentials(kind);
    code.candidates = {candidate(Candidate::Type::Host, "192.168.1.20", 40123),
                       candidate(Candidate::Type::ServerReflexive, "198.51.100.7", 61000)};
    return code;
}

// A line written the way the game writes one, from raw bytes, so the tests
// can sign what the game itself would never write.
QString signedLine(const QByteArray& bytes)
{
    const QByteArray all =
        bytes + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).left(4);
    return CodePrefix + QString::fromLatin1(all.toBase64(QByteArray::Base64UrlEncoding |
                                                         QByteArray::OmitTrailingEquals));
}

QByteArray header(quint8 version = 1, quint8 kind = 1)
{
    return QByteArray(1, char(version)) + char(kind) + QByteArray(19, 'k');
}

QByteArray v4(quint8 flags, quint32 address, quint16 port)
{
    QByteArray bytes(1, char(flags));
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.append(char(address >> shift));
    return bytes + char(port >> 8) + char(port);
}

constexpr quint32 Public = 0xc6336407; // 198.51.100.7

} // namespace

class TestInvitationCode : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void aCodeReadsBackAsItWasWritten();
    void aDamagedCodeIsRefusedAtOnce();
    void textFromElsewhereIsNoCode();
    void theWrongKindIsNamed();
    void addressesNoPlayerShouldBeSentToAreDropped();
    void aSignedCodeWithGarbageIsRefused();
};

void TestInvitationCode::aCodeReadsBackAsItWasWritten()
{
    for (const CodeKind kind : {CodeKind::Invitation, CodeKind::Answer}) {
        const Code code = sample(kind);
        const QString line = encodeCode(code);
        qInfo("one host and one server-reflexive IPv4 candidate: %lld characters",
              qlonglong(line.size()));
        const Decoded decoded = decodeCode(line, kind);
        QVERIFY2(decoded.code, qPrintable(decoded.message));
        QCOMPARE(*decoded.code, code);
        QCOMPARE(decoded.code->userFragmentText().size(), 4);
        QCOMPARE(decoded.code->passwordText().size(), 22);
        // As a chat delivers it: with a line break and spaces around.
        QVERIFY(decodeCode(QStringLiteral("  ") + line + QStringLiteral("\r\n"), kind).code);
    }
    // IPv6, a relay, and as many candidates as a code takes; more are left
    // out by the writer.
    Code full = Code::withNewCredentials(CodeKind::Answer);
    full.candidates.append(candidate(Candidate::Type::Host, "2001:db8::20", 1));
    full.candidates.append(candidate(Candidate::Type::Relayed, "198.51.100.9", 65535));
    for (quint16 port = 2; full.candidates.size() < Code::MaxCandidates + 3; ++port)
        full.candidates.append(candidate(Candidate::Type::Host, "2001:db8::21", port));
    const QString line = encodeCode(full);
    QVERIFY(line.size() <= MaxCodeLength);
    const Decoded decoded = decodeCode(line, CodeKind::Answer);
    QVERIFY2(decoded.code, qPrintable(decoded.message));
    QCOMPARE(decoded.code->candidates, full.candidates.first(Code::MaxCandidates));
}

void TestInvitationCode::aDamagedCodeIsRefusedAtOnce()
{
    const QString line = encodeCode(sample());
    const QString alphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
    // Every character after the prefix mistyped, each in two ways.
    for (qsizetype i = CodePrefix.size(); i < line.size(); ++i) {
        for (const int step : {1, 33}) {
            QString wrong = line;
            wrong[i] = alphabet[(alphabet.indexOf(line[i]) + step) % alphabet.size()];
            const Decoded decoded = decodeCode(wrong, CodeKind::Invitation);
            QVERIFY2(!decoded.code, qPrintable(wrong));
            QCOMPARE(decoded.fault, Decoded::Fault::Damaged);
        }
    }
    // Cut short anywhere after the prefix, or one character too many.
    for (qsizetype length = CodePrefix.size(); length < line.size(); ++length) {
        const Decoded decoded = decodeCode(line.first(length), CodeKind::Invitation);
        QVERIFY2(!decoded.code, qPrintable(line.first(length)));
        QCOMPARE(decoded.fault, Decoded::Fault::Damaged);
        QVERIFY(!decoded.message.isEmpty());
    }
    QCOMPARE(decodeCode(line + QLatin1Char('A'), CodeKind::Invitation).fault,
             Decoded::Fault::Damaged);
    // A chat that broke the line or put in a character of its own.
    for (const QString& broken :
         {line.first(30) + QLatin1Char(' ') + line.sliced(30),
          line.first(30) + QLatin1Char('\n') + line.sliced(30),
          line.first(30) + QChar(0x2026) + line.sliced(30), line + QLatin1Char('=')})
        QCOMPARE(decodeCode(broken, CodeKind::Invitation).fault, Decoded::Fault::Damaged);
}

void TestInvitationCode::textFromElsewhereIsNoCode()
{
    for (const QString& text :
         {QString(), QStringLiteral("198.51.100.7:8001"), QStringLiteral("[2001:db8::1]:8001"),
          QStringLiteral("https://example.org/korvaloop-abc"),
          QStringLiteral("v=0 o=- 4611731400430051336 2 IN IP4 127.0.0.1"),
          QStringLiteral("KORVALOOP-") + encodeCode(sample()).sliced(CodePrefix.size()),
          QString(MaxCodeLength + 1, QLatin1Char('k')),
          CodePrefix + QString(MaxCodeLength, QLatin1Char('A'))}) {
        const Decoded decoded = decodeCode(text, CodeKind::Invitation);
        QVERIFY(!decoded.code);
        QCOMPARE(decoded.fault, Decoded::Fault::NotACode);
        QVERIFY(decoded.message.contains(CodePrefix));
    }
    // The prefix alone, or with text of another program's behind it.
    for (const QString& text : {QString(CodePrefix), CodePrefix + QStringLiteral("hello"),
                                CodePrefix + QStringLiteral("aGVsbG8gd29ybGQ")})
        QCOMPARE(decodeCode(text, CodeKind::Invitation).fault, Decoded::Fault::Damaged);
}

void TestInvitationCode::theWrongKindIsNamed()
{
    const Decoded answerForInvitation =
        decodeCode(encodeCode(sample(CodeKind::Answer)), CodeKind::Invitation);
    QCOMPARE(answerForInvitation.fault, Decoded::Fault::WrongKind);
    QCOMPARE(answerForInvitation.message,
             QStringLiteral("This is an answer, and an invitation belongs here."));
    const Decoded invitationForAnswer =
        decodeCode(encodeCode(sample(CodeKind::Invitation)), CodeKind::Answer);
    QCOMPARE(invitationForAnswer.fault, Decoded::Fault::WrongKind);
    QCOMPARE(invitationForAnswer.message,
             QStringLiteral("This is an invitation, and an answer belongs here."));
}

void TestInvitationCode::addressesNoPlayerShouldBeSentToAreDropped()
{
    Code code = Code::withNewCredentials(CodeKind::Invitation);
    const Candidate good = candidate(Candidate::Type::ServerReflexive, "198.51.100.7", 61000);
    const char* bad[] = {"127.0.0.1",
                         "127.8.9.10",
                         "0.0.0.0",
                         "0.1.2.3",
                         "224.0.0.251",
                         "239.1.2.3",
                         "255.255.255.255",
                         "169.254.7.7",
                         "240.0.0.1",
                         "::1",
                         "::",
                         "ff02::fb",
                         "fe80::1",
                         "::ffff:198.51.100.8",
                         "::198.51.100.8"};
    for (const char* address : bad)
        code.candidates.append(candidate(Candidate::Type::Host, address, 5000));
    code.candidates = code.candidates.first(Code::MaxCandidates - 3);
    code.candidates.append(candidate(Candidate::Type::Host, "198.51.100.7", 0));
    code.candidates.append(good);
    code.candidates.append(good);
    Decoded decoded = decodeCode(encodeCode(code), CodeKind::Invitation);
    QVERIFY2(decoded.code, qPrintable(decoded.message));
    QCOMPARE(decoded.code->candidates, QList<Candidate>{good});
    QCOMPARE(decoded.dropped, Code::MaxCandidates - 1);

    // The rest of the list, in a code of their own: nothing left to try.
    Code rest = Code::withNewCredentials(CodeKind::Invitation);
    for (const char* address : bad)
        if (rest.candidates.size() < Code::MaxCandidates)
            rest.candidates.prepend(candidate(Candidate::Type::Relayed, address, 3478));
    decoded = decodeCode(encodeCode(rest), CodeKind::Invitation);
    QCOMPARE(decoded.fault, Decoded::Fault::NoAddress);
    QCOMPARE(decoded.dropped, Code::MaxCandidates);
    QVERIFY(!decoded.message.isEmpty());

    // Loopback only where a test on one machine asks for it.
    Code local = Code::withNewCredentials(CodeKind::Answer);
    local.candidates = {candidate(Candidate::Type::Host, "127.0.0.1", 5000)};
    QCOMPARE(decodeCode(encodeCode(local), CodeKind::Answer).fault, Decoded::Fault::NoAddress);
    QVERIFY(decodeCode(encodeCode(local), CodeKind::Answer, {.allowLoopback = true}).code);
}

void TestInvitationCode::aSignedCodeWithGarbageIsRefused()
{
    const QByteArray one = v4(0, Public, 5000);
    QVERIFY(decodeCode(signedLine(header() + one), CodeKind::Invitation).code);
    // Past the bound of candidates, however short each.
    QByteArray many = header();
    for (int i = 0; i <= Code::MaxCandidates; ++i)
        many += v4(0, Public, quint16(5000 + i));
    QCOMPARE(decodeCode(signedLine(many), CodeKind::Invitation).fault, Decoded::Fault::Garbage);
    const QByteArray garbage[] = {
        header() + v4(3, Public, 5000),                              // no such type
        header() + v4(0x80, Public, 5000),                           // unknown flags
        header() + one + one.first(5),                               // a candidate cut short
        header() + QByteArray(1, char(0x04)) + QByteArray(10, '\1'), // IPv6 cut short
        header(1, 7) + one,                                          // no such kind
        header().first(10),                                          // credentials cut short
    };
    for (const QByteArray& bytes : garbage) {
        const Decoded decoded = decodeCode(signedLine(bytes), CodeKind::Invitation);
        QVERIFY(!decoded.code);
        QCOMPARE(decoded.fault, Decoded::Fault::Garbage);
    }
    QCOMPARE(decodeCode(signedLine(header(2) + one), CodeKind::Invitation).fault,
             Decoded::Fault::NewerVersion);
    QCOMPARE(decodeCode(signedLine(header()), CodeKind::Invitation).fault,
             Decoded::Fault::NoAddress);
}

QTEST_GUILESS_MAIN(TestInvitationCode)
#include "tst_invitationcode.moc"
