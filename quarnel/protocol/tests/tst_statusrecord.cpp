#include "statusrecord.h"

#include <QTest>

class tst_StatusRecord : public QObject
{
    Q_OBJECT
private slots:
    void decode_data();
    void decode();
    void wrongSizeIsRefused_data();
    void wrongSizeIsRefused();
    void encodeLastOctetFirst();
    void encodeRoundTrip();
};

static QByteArray record(const QByteArray &serial16, const QByteArray &pc, const QByteArray &terminal)
{
    return serial16 + pc + terminal;
}

void tst_StatusRecord::decode_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("pc");
    QTest::addColumn<QString>("terminal");

    // On the wire the last octet of each address comes first.
    QTest::newRow("PC connected")
        << record(QByteArray("SN01\0", 5) + QByteArray(11, '\0'), QByteArray("\x01\x64\x33\xc6", 4),
                  QByteArray("\x0a\x64\x33\xc6", 4))
        << "SN01" << "198.51.100.1" << "198.51.100.10";
    QTest::newRow("example octets")
        << record(QByteArray(16, '\0'), QByteArray("\x14\x01\xa8\xc0", 4), QByteArray("\x01\x02\x03\x04", 4))
        << "" << "192.168.1.20" << "4.3.2.1";
    // Bytes after the terminator carry no meaning.
    QTest::newRow("no PC, junk after the terminator")
        << record(QByteArray("AB\0xyz\xff\x01", 8) + QByteArray(8, 'q'), QByteArray(4, '\0'),
                  QByteArray("\x0a\x64\x33\xc6", 4))
        << "AB" << "" << "198.51.100.10";
    QTest::newRow("fifteen characters")
        << record(QByteArray("123456789ABCDEF\0", 16), QByteArray(4, '\0'), QByteArray(4, '\0'))
        << "123456789ABCDEF" << "" << "";
    QTest::newRow("no terminator")
        << record(QByteArray("123456789ABCDEFG", 16), QByteArray(4, '\0'), QByteArray(4, '\0'))
        << "123456789ABCDEFG" << "" << "";
}

void tst_StatusRecord::decode()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, serial);
    QFETCH(QString, pc);
    QFETCH(QString, terminal);
    QCOMPARE(datagram.size(), 24);

    StatusRecord r;
    QString error;
    QVERIFY2(StatusRecord::decode(datagram, &r, &error), qPrintable(error));
    QCOMPARE(r.headboxSerial, serial);
    QCOMPARE(r.pc.isNull(), pc.isEmpty());
    QCOMPARE(r.terminal.isNull(), terminal.isEmpty());
    if (!pc.isEmpty())
        QCOMPARE(r.pc.toString(), pc);
    if (!terminal.isEmpty())
        QCOMPARE(r.terminal.toString(), terminal);
    QVERIFY(r.toText().contains(pc.isEmpty() ? QStringLiteral("pc none") : QStringLiteral("pc ") + pc));
}

void tst_StatusRecord::wrongSizeIsRefused_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("23") << 23;
    QTest::newRow("25") << 25;
    QTest::newRow("discovery-sized") << 100;
}

void tst_StatusRecord::wrongSizeIsRefused()
{
    QFETCH(int, size);
    StatusRecord r;
    QString error;
    QVERIFY(!StatusRecord::decode(QByteArray(size, '\x01'), &r, &error));
    QVERIFY(error.contains(QString::number(size)));
}

void tst_StatusRecord::encodeLastOctetFirst()
{
    StatusRecord r;
    r.headboxSerial = QStringLiteral("SN01");
    r.pc = QHostAddress(QStringLiteral("192.168.1.20"));
    r.terminal = QHostAddress(QStringLiteral("::ffff:10.0.0.7"));
    const QByteArray d = r.encode();
    QCOMPARE(d.size(), 24);
    QCOMPARE(d.left(5), QByteArray("SN01\0", 5));
    QCOMPARE(d.mid(16, 4).toHex(), QByteArray("1401a8c0"));
    QCOMPARE(d.mid(20, 4).toHex(), QByteArray("0700000a"));

    // Neither IPv4 nor mapped: sent as 0.
    r.pc = QHostAddress(QStringLiteral("2001:db8::1"));
    QCOMPARE(r.encode().mid(16, 4).toHex(), QByteArray("00000000"));
}

void tst_StatusRecord::encodeRoundTrip()
{
    StatusRecord r;
    r.headboxSerial = QStringLiteral("0123456789abcdefXYZ");   // cut to 15 + NUL
    r.pc = QHostAddress(QStringLiteral("198.51.100.1"));
    r.terminal = QHostAddress(QStringLiteral("198.51.100.10"));
    StatusRecord back;
    QString error;
    QVERIFY(StatusRecord::decode(r.encode(), &back, &error));
    QCOMPARE(back.headboxSerial, QStringLiteral("0123456789abcde"));
    QCOMPARE(back.pc, r.pc);
    QCOMPARE(back.terminal, r.terminal);
}

QTEST_APPLESS_MAIN(tst_StatusRecord)
#include "tst_statusrecord.moc"
