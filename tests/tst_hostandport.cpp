// SPDX-License-Identifier: MIT
// The address a hosting player passes on, as the one reader of the address
// field takes it apart: the dialog shows its host and port in their fields.
#include "lan/destinations.h"

#include <QtTest>

class TestHostAndPort : public QObject {
    Q_OBJECT

private slots:
    void oneAddressWithItsPort_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::newRow("IPv4") << "203.0.113.7:2539"
                              << "203.0.113.7"
                              << "2539";
        QTest::newRow("IPv6 in brackets") << "[2001:db8::5]:2539"
                                          << "[2001:db8::5]"
                                          << "2539";
        QTest::newRow("a name") << "anna.example:2539"
                                << "anna.example"
                                << "2539";
        QTest::newRow("spaces around it") << "  203.0.113.7:2540 "
                                          << "203.0.113.7"
                                          << "2540";
        QTest::newRow("the highest port") << "[::1]:65535"
                                          << "[::1]"
                                          << "65535";
    }

    void oneAddressWithItsPort()
    {
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(QString, port);
        const DestinationList read = readDestinations(text, std::nullopt);
        QCOMPARE(read.error, QString());
        QCOMPARE(read.list.size(), 1);
        QVERIFY(read.list.first().portGiven);
        QCOMPARE(read.list.first().hostText(), host);
        QCOMPARE(QString::number(read.list.first().port), port);
        // Written back as it was passed on.
        QCOMPARE(read.list.first().text(), text.trimmed());
    }

    // No one address with its port: the fields are left as they are.
    void noneOfThese_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("IPv6 alone") << "2001:db8::5";
        QTest::newRow("loopback IPv6 alone") << "::1";
        QTest::newRow("a name alone") << "anna.example";
        QTest::newRow("two addresses") << "198.51.100.1:2539  [2001:db8:1::10]:2539";
        QTest::newRow("port 0") << "203.0.113.7:0";
        QTest::newRow("port past 65535") << "203.0.113.7:65536";
        QTest::newRow("a port of words") << "203.0.113.7:abc";
        QTest::newRow("a port that overflows") << "203.0.113.7:99999999999999999999";
        QTest::newRow("no host") << ":2539";
        QTest::newRow("brackets never closed") << "[2001:db8::5:2539";
        QTest::newRow("a colon too many") << "203.0.113.7:2539:2540";
        // Numbers the C library would read as an IPv4 address.
        QTest::newRow("a bare number with a port") << "2539:2539";
        QTest::newRow("leading zeros") << "203.000.113.7:2539";
        QTest::newRow("three parts") << "203.0.7:2539";
        QTest::newRow("hex") << "0xcb007107:2539";
        QTest::newRow("octal") << "0313.0.0161.7:2539";
    }

    void noneOfThese()
    {
        QFETCH(QString, text);
        const DestinationList read = readDestinations(text, quint16(2539));
        QVERIFY(read.list.size() != 1 || !read.list.first().portGiven);
    }
};

QTEST_GUILESS_MAIN(TestHostAndPort)
#include "tst_hostandport.moc"
