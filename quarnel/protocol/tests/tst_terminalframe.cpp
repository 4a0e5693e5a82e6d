#include "terminalframe.h"

#include <QTest>

class tst_TerminalFrame : public QObject
{
    Q_OBJECT
private slots:
    void clearMatchesTheWorkedExample();
    void builders_data();
    void builders();
    void checksumWrapsAt16Bits();
    void layoutCountsSitAtTheirOffsets();
    void everyChangedByteBreaksTheChecksum();
    void parseRejectsIncompleteFrames_data();
    void parseRejectsIncompleteFrames();
    void oversizedParametersAreRefused();
};

static QByteArray hex(const char *h)
{
    return QByteArray::fromHex(h);
}

void tst_TerminalFrame::clearMatchesTheWorkedExample()
{
    // Key, length 0, code 9, checksum 0x0140 low byte first.
    QCOMPARE(TerminalFrame::clearReceivePath().toHex(' '),
             hex("54414C56 00000000 0900 4001").toHex(' '));
}

void tst_TerminalFrame::builders_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("params");

    const quint16 counts[4] = { 6, 7, 8, 9 };
    QTest::newRow("clock 1000") << TerminalFrame::clock(1000) << 1 << hex("e803");
    QTest::newRow("clock -2") << TerminalFrame::clock(-2) << 1 << hex("feff");
    QTest::newRow("trigger 150") << TerminalFrame::triggerOut(150) << 2 << hex("96000000");
    QTest::newRow("trigger -1") << TerminalFrame::triggerOut(-1) << 2 << hex("ffffffff");
    QTest::newRow("layout") << TerminalFrame::multiHeadLayout(2, 3, 0x1234, 5, counts) << 3
                            << hex("0200 0300 3412 0500 0600 0700 0800 0900");
    QTest::newRow("read 1") << TerminalFrame::headboxRead(1) << 4 << hex("0100");
    QTest::newRow("write 3") << TerminalFrame::headboxWrite(3) << 5 << hex("0300");
    QTest::newRow("readwrite 2") << TerminalFrame::headboxReadWrite(2) << 6 << hex("0200");
    QTest::newRow("sync on") << TerminalFrame::sync(1) << 7 << hex("0100");
    QTest::newRow("sync off") << TerminalFrame::sync(0) << 7 << hex("0000");
    QTest::newRow("delay 500") << TerminalFrame::delay(500) << 8 << hex("f4010000");
    QTest::newRow("delay 0x01020304") << TerminalFrame::delay(0x01020304) << 8 << hex("04030201");
    QTest::newRow("clear") << TerminalFrame::clearReceivePath() << 9 << QByteArray();
    QTest::newRow("raw 10") << TerminalFrame::raw(10, QByteArray()) << 10 << QByteArray();
    QTest::newRow("raw -1 abc") << TerminalFrame::raw(-1, "abc") << -1 << QByteArray("abc");
}

void tst_TerminalFrame::builders()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, code);
    QFETCH(QByteArray, params);

    QCOMPARE(frame.size(), params.size() + 12);
    QVERIFY(frame.startsWith("TALV"));
    // Length and code in little-endian order.
    const QByteArray len = QByteArray(1, char(params.size())) + QByteArray(3, '\0');
    QCOMPARE(frame.mid(4, 4).toHex(), len.toHex());
    QCOMPARE(quint8(frame.at(8)) | (quint8(frame.at(9)) << 8), quint16(code));
    QCOMPARE(frame.mid(10, params.size()).toHex(), params.toHex());

    TerminalFrame::Parsed p;
    QVERIFY(TerminalFrame::parse(frame, &p));
    QCOMPARE(int(p.code), code);
    QCOMPARE(p.params, params);
    QVERIFY(p.checksumOk());
}

void tst_TerminalFrame::checksumWrapsAt16Bits()
{
    // 300 bytes of 0xFF: the byte sum is 77238, kept to 16 bits 0x2DB6.
    const QByteArray f = TerminalFrame::raw(0x7FFF, QByteArray(300, char(0xFF)));
    QCOMPARE(f.size(), 312);
    QCOMPARE(f.right(2).toHex(), QByteArray("b62d"));
}

void tst_TerminalFrame::layoutCountsSitAtTheirOffsets()
{
    const quint16 counts[4] = { 32, 16, 0, 0xFFFF };
    const QByteArray f = TerminalFrame::multiHeadLayout(2, 64, 48, 4, counts);
    QCOMPARE(f.size(), 28);
    QCOMPARE(f.mid(18, 2).toHex(), QByteArray("2000"));
    QCOMPARE(f.mid(20, 2).toHex(), QByteArray("1000"));
    QCOMPARE(f.mid(22, 2).toHex(), QByteArray("0000"));
    QCOMPARE(f.mid(24, 2).toHex(), QByteArray("ffff"));
}

void tst_TerminalFrame::everyChangedByteBreaksTheChecksum()
{
    const quint16 counts[4] = { 1, 2, 3, 4 };
    const QByteArray good = TerminalFrame::multiHeadLayout(4, 10, 10, 2, counts);
    // Every byte but the length field (which changes where the frame ends).
    for (int i = 0; i < good.size(); ++i) {
        if (i >= 4 && i < 8)
            continue;
        QByteArray bad = good;
        bad[i] = char(bad.at(i) + 1);
        TerminalFrame::Parsed p;
        if (i < 4) {
            QVERIFY2(!TerminalFrame::parse(bad, &p), "a broken key is no frame");
            continue;
        }
        QVERIFY(TerminalFrame::parse(bad, &p));
        QVERIFY2(!p.checksumOk(), qPrintable(QStringLiteral("byte %1 changed unnoticed").arg(i)));
    }
}

void tst_TerminalFrame::parseRejectsIncompleteFrames_data()
{
    QTest::addColumn<QByteArray>("data");
    const QByteArray clock = TerminalFrame::clock(1000);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("key only") << QByteArray("TALV");
    QTest::newRow("one byte short") << clock.left(clock.size() - 1);
    QTest::newRow("negative length") << hex("54414C56 ffffffff 0100 0000");
    QTest::newRow("length beyond 65524") << (hex("54414C56 f5ff0000 0100") + QByteArray(65527, '\0'));
    QTest::newRow("other key") << QByteArray("TALW").append(clock.mid(4));
}

void tst_TerminalFrame::parseRejectsIncompleteFrames()
{
    QFETCH(QByteArray, data);
    TerminalFrame::Parsed p;
    QVERIFY(!TerminalFrame::parse(data, &p));
}

void tst_TerminalFrame::oversizedParametersAreRefused()
{
    QCOMPARE(TerminalFrame::raw(3, QByteArray(65524, 'x')).size(), 65536);
    QVERIFY(TerminalFrame::raw(3, QByteArray(65525, 'x')).isEmpty());
}

QTEST_APPLESS_MAIN(tst_TerminalFrame)
#include "tst_terminalframe.moc"
