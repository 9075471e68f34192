// SPDX-License-Identifier: MIT
// Two ICE links in one process, over loopback (host candidates only, no
// STUN), their codes handed across directly: the path opens, carries bytes
// both ways intact and within bounds, ends on either side's end, and leaves
// no socket behind however it ends.
#include "ice/icelink.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace ice;
using namespace std::chrono_literals;

namespace {

IceLink::Options loopback()
{
    IceLink::Options options;
    options.localAddresses = {QHostAddress::LocalHost};
    options.allowLoopback = true;
    options.gatherTimeout = 5s;
    options.checkTimeout = 5s;
    options.closeTimeout = 1s;
    return options;
}

int openFiles()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(27);
    for (char& byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

// Two links joined through their codes.
struct Pair {
    std::unique_ptr<IceLink> host;
    std::unique_ptr<IceLink> join;

    explicit Pair(const IceLink::Options& options = loopback())
        : host(std::make_unique<IceLink>(IceLink::Role::Host, options))
        , join(std::make_unique<IceLink>(IceLink::Role::Join, options))
    {
    }

    bool connect()
    {
        QSignalSpy hostConnected(host.get(), &IceLink::connected);
        QSignalSpy joinConnected(join.get(), &IceLink::connected);
        QSignalSpy hostFailed(host.get(), &IceLink::failed);
        host->start();
        join->start();
        if (!QTest::qWaitFor(
                [&] { return !host->localCode().isEmpty() && !join->localCode().isEmpty(); },
                10000))
            return false;
        if (!join->takeRemoteCode(host->localCode()).isEmpty() ||
            !host->takeRemoteCode(join->localCode()).isEmpty())
            return false;
        return QTest::qWaitFor(
                   [&] { return hostConnected.size() == 1 && joinConnected.size() == 1; }, 10000) &&
               host->device() && join->device();
    }
};

// Writes `bytes` into `from` as it takes them, reads `to` as it gives, until
// all arrived or the time is out.
QByteArray carry(QIODevice* from, QIODevice* to, const QByteArray& bytes,
                 std::chrono::milliseconds timeout = 20s)
{
    qsizetype written = 0;
    QByteArray arrived;
    QDeadlineTimer deadline(timeout);
    while (arrived.size() < bytes.size() && !deadline.hasExpired()) {
        if (written < bytes.size()) {
            const qint64 taken = from->write(bytes.constData() + written, bytes.size() - written);
            if (taken < 0)
                break;
            written += taken;
        }
        arrived += to->readAll();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return arrived;
}

} // namespace

class TestIceLink : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void twoLinksJoinAndCarryBytesBothWays();
    void theJoiningSideWaitsForTheHostsPlayer();
    void aDamagedOrWrongCodeIsRefusedAtOnceAndTheLinkStaysUsable();
    void aPeerThatSendsPastTheBoundUnreadIsCutOff();
    void eitherSideEndingEndsTheOther();
    void checksThatFindNoPathFailAndLeaveNoSocket();
    void withoutGlibTheLinkSaysSo();
};

void TestIceLink::twoLinksJoinAndCarryBytesBothWays()
{
    Pair pair;
    QVERIFY(pair.connect());
    QVERIFY(!pair.host->isRelayed());
    const QByteArray there = randomBytes(1024 * 1024);
    const QByteArray back = randomBytes(1024 * 1024 + 7).mid(7);
    QCOMPARE(carry(pair.host->device(), pair.join->device(), there), there);
    QCOMPARE(carry(pair.join->device(), pair.host->device(), back), back);
}

// The friend's game answers at once, but the host's player pastes the
// answer only after the friend has sent it: longer than a check takes.
void TestIceLink::theJoiningSideWaitsForTheHostsPlayer()
{
    IceLink::Options options = loopback();
    options.checkTimeout = 2s;
    Pair pair(options);
    QSignalSpy joinFailed(pair.join.get(), &IceLink::failed);
    QSignalSpy joinConnected(pair.join.get(), &IceLink::connected);
    pair.host->start();
    QTRY_VERIFY(!pair.host->localCode().isEmpty());
    pair.join->start();
    QCOMPARE(pair.join->takeRemoteCode(pair.host->localCode()), QString());
    QTRY_VERIFY(!pair.join->localCode().isEmpty());
    QTest::qWait(int(options.checkTimeout.count()) * 2);
    QCOMPARE(joinFailed.size(), 0);
    QCOMPARE(pair.host->takeRemoteCode(pair.join->localCode()), QString());
    QTRY_COMPARE_WITH_TIMEOUT(joinConnected.size(), 1, 10000);
    const QByteArray bytes = randomBytes(1000);
    QCOMPARE(carry(pair.join->device(), pair.host->device(), bytes), bytes);
}

void TestIceLink::aDamagedOrWrongCodeIsRefusedAtOnceAndTheLinkStaysUsable()
{
    Pair pair;
    pair.host->start();
    pair.join->start();
    QTRY_VERIFY(!pair.host->localCode().isEmpty() && !pair.join->localCode().isEmpty());
    QString damaged = pair.join->localCode();
    damaged[20] = damaged[20] == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');
    QVERIFY(pair.host->takeRemoteCode(damaged).contains(QLatin1String("damaged")));
    QVERIFY(pair.host->takeRemoteCode(pair.join->localCode().chopped(3))
                .contains(QLatin1String("cut short")));
    QVERIFY(pair.host->takeRemoteCode(QStringLiteral("198.51.100.7:8001"))
                .contains(QLatin1String("not a Korvaloop code")));
    // Its own invitation pasted back where the answer belongs.
    QVERIFY(
        pair.host->takeRemoteCode(pair.host->localCode()).contains(QLatin1String("invitation")));
    QCOMPARE(pair.host->stage(), IceLink::Stage::Gathered);

    QSignalSpy connected(pair.host.get(), &IceLink::connected);
    QCOMPARE(pair.host->takeRemoteCode(pair.join->localCode()), QString());
    QCOMPARE(pair.join->takeRemoteCode(pair.host->localCode()), QString());
    QVERIFY(!pair.host->takeRemoteCode(pair.join->localCode()).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, 10000);
}

void TestIceLink::aPeerThatSendsPastTheBoundUnreadIsCutOff()
{
    IceLink::Options options = loopback();
    options.bufferBytes = 64 * 1024;
    options.unreadTimeout = 300ms;
    Pair pair(options);
    QVERIFY(pair.connect());
    QSignalSpy ended(pair.host.get(), &IceLink::ended);
    QSignalSpy otherEnded(pair.join.get(), &IceLink::ended);
    const QByteArray flood = randomBytes(2 * 1024 * 1024);
    QIODevice* from = pair.join->device();
    QIODevice* to = pair.host->device();
    qsizetype written = 0;
    // The host does not read. The joiner's writes are taken only up to its
    // bound; the host holds no more than its own, holds the joiner back,
    // and ends the path once it has been left unread for unreadTimeout.
    for (int round = 0; round < 500 && ended.isEmpty(); ++round) {
        const qint64 taken = from->write(flood.constData() + written, flood.size() - written);
        written += std::max<qint64>(taken, 0);
        QVERIFY(from->bytesToWrite() <= options.bufferBytes);
        QVERIFY(to->bytesAvailable() <= options.bufferBytes);
        QTest::qWait(5);
    }
    QCOMPARE(ended.size(), 1);
    QVERIFY(ended.front().front().toString().contains(QLatin1String("more than")));
    QVERIFY(to->bytesAvailable() <= options.bufferBytes);
    QVERIFY2(written < flood.size(), qPrintable(QString::number(written)));
    // The other side hears of the end as of any other.
    QTRY_COMPARE_WITH_TIMEOUT(otherEnded.size(), 1, 5000);
}

void TestIceLink::eitherSideEndingEndsTheOther()
{
    {
        Pair pair;
        QVERIFY(pair.connect());
        QSignalSpy ended(pair.join.get(), &IceLink::ended);
        QSignalSpy finished(pair.join->device(), &QIODevice::readChannelFinished);
        const QByteArray last("the last words");
        QCOMPARE(pair.host->device()->write(last), qint64(last.size()));
        pair.host->close();
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 5000);
        QCOMPARE(finished.size(), 1);
        // What was sent before the end is still read.
        QCOMPARE(pair.join->device()->readAll(), last);
        QTRY_COMPARE(pair.host->stage(), IceLink::Stage::Ended);
    }
    {
        Pair pair;
        QVERIFY(pair.connect());
        QSignalSpy ended(pair.host.get(), &IceLink::ended);
        pair.join.reset();
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 5000);
    }
}

void TestIceLink::checksThatFindNoPathFailAndLeaveNoSocket()
{
    IceLink::Options options = loopback();
    options.checkTimeout = 1500ms;
    // Once, for what GLib and libnice keep open for the process's life.
    {
        Pair pair(options);
        QVERIFY(pair.connect());
    }
    QTest::qWait(int(options.closeTimeout.count()) + 1000);
    const int before = openFiles();

    // An answer whose candidate is a port nothing listens on: the checks
    // run, find nothing, and the link says so in words.
    Code silent = Code::withNewCredentials(CodeKind::Answer);
    silent.candidates = {{Candidate::Type::Host, QHostAddress::LocalHost, 9}};
    auto lonely = std::make_unique<IceLink>(IceLink::Role::Host, options);
    QSignalSpy failed(lonely.get(), &IceLink::failed);
    lonely->start();
    QTRY_VERIFY(!lonely->localCode().isEmpty());
    QCOMPARE(lonely->takeRemoteCode(encodeCode(silent)), QString());
    QCOMPARE(lonely->stage(), IceLink::Stage::Checking);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 5000);
    QVERIFY(failed.front().front().toString().contains(QLatin1String("No direct path")));
    lonely.reset();
    QTRY_COMPARE(openFiles(), before);

    // Destroyed in the middle of the checks.
    for (const IceLink::Role role : {IceLink::Role::Host, IceLink::Role::Join}) {
        auto link = std::make_unique<IceLink>(role, options);
        link->start();
        QTRY_VERIFY(!link->localCode().isEmpty());
        Code other = Code::withNewCredentials(role == IceLink::Role::Host ? CodeKind::Answer
                                                                          : CodeKind::Invitation);
        other.candidates = silent.candidates;
        QCOMPARE(link->takeRemoteCode(encodeCode(other)), QString());
        QTest::qWait(100);
        QVERIFY(openFiles() > before);
        link.reset();
        QTRY_COMPARE(openFiles(), before);
    }
    // And destroyed while gathering.
    auto gathering = std::make_unique<IceLink>(IceLink::Role::Join, options);
    gathering->start();
    gathering.reset();
    QTRY_COMPARE(openFiles(), before);
}

void TestIceLink::withoutGlibTheLinkSaysSo()
{
    if (qEnvironmentVariableIsSet("QT_NO_GLIB")) {
        IceLink link(IceLink::Role::Host, loopback());
        QSignalSpy failed(&link, &IceLink::failed);
        link.start();
        QVERIFY(failed.isEmpty()); // from the event loop, not from inside start()
        QTRY_COMPARE(failed.size(), 1);
        QVERIFY(failed.front().front().toString().contains(QLatin1String("QT_NO_GLIB")));
        QVERIFY(link.localCode().isEmpty());
        return;
    }
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_NO_GLIB"), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("withoutGlibTheLinkSaysSo")});
    QVERIFY(child.waitForFinished(30000));
    QVERIFY2(child.exitCode() == 0, child.readAllStandardOutput().constData());
}

QTEST_GUILESS_MAIN(TestIceLink)
#include "tst_icelink.moc"
