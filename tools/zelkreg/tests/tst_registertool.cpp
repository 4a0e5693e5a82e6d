#include "registertool.h"

#include "dxusb.h"
#include "fpgasim.h"
#include "simwindow.h"

#include <QTest>
#include <QRegularExpression>

class tst_RegisterTool : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void verify_data();
    void verify();
    void readingNeverWrites_data();
    void readingNeverWrites();
    void writeTouchesOnlyTheNamedRegister();
    void dumpLeavesTheReceiveFifoAlone();
    void command_data();
    void command();
    void commandDiscardsWhatWasWaiting();
    void commandOnAStreamingHeadboxIsBounded();

private:
    QString run(int (RegisterTool::*op)(), int *status = nullptr);
};

void tst_RegisterTool::init()
{
    FpgaSim::instance()->reset(FpgaSimConfig());
}

QString tst_RegisterTool::run(int (RegisterTool::*op)(), int *status)
{
    QString text;
    QTextStream out(&text);
    dxusb block(new SimWindow);
    RegisterTool tool(&block, out);
    const int s = (tool.*op)();
    if (status)
        *status = s;
    return text;
}

void tst_RegisterTool::verify_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected");

    QTest::newRow("answers") << 3 << 14 << false << 0 << "FPGA answers\nfirmware version 3.14\n";
    QTest::newRow("other firmware") << 65535 << 0 << false << 0 << "FPGA answers\nfirmware version 65535.0\n";
    QTest::newRow("silent") << 3 << 14 << true << 1 << "FPGA does not answer";
}

void tst_RegisterTool::verify()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(bool, fails);
    QFETCH(int, status);
    QFETCH(QString, expected);

    FpgaSimConfig config;
    config.firmwareMajor = uint16_t(major);
    config.firmwareMinor = uint16_t(minor);
    config.verifyFails = fails;
    FpgaSim::instance()->reset(config);

    int s = -1;
    const QString text = run(&RegisterTool::verify, &s);
    QCOMPARE(s, status);
    QVERIFY2(text.startsWith(expected), qPrintable(text));
    // The test pattern, eight times, and nothing else.
    QCOMPARE(FpgaSim::instance()->writesTo(1), QVector<uint64_t>(8, 0xAAAA));
    QCOMPARE(FpgaSim::instance()->writes().size(), 8);
}

void tst_RegisterTool::readingNeverWrites_data()
{
    QTest::addColumn<int>("reg");
    QTest::addColumn<QString>("expected");

    QTest::newRow("firmware first") << 12 << "register 12 = 0x0000000000000003 (3)\n";
    QTest::newRow("firmware second") << 13 << "register 13 = 0x000000000000000e (14)\n";
    QTest::newRow("write-only") << 14 << "register 14 = 0x0000000000000000 (0)\n";
    QTest::newRow("last in window") << 511 << "register 511 = 0x0000000000000000 (0)\n";
}

void tst_RegisterTool::readingNeverWrites()
{
    QFETCH(int, reg);
    QFETCH(QString, expected);

    QString text;
    QTextStream out(&text);
    dxusb block(new SimWindow);
    RegisterTool tool(&block, out);
    QCOMPARE(tool.readRegister(reg), 0);
    QCOMPARE(text, expected);
    QVERIFY(FpgaSim::instance()->writes().isEmpty());
}

void tst_RegisterTool::writeTouchesOnlyTheNamedRegister()
{
    QString text;
    QTextStream out(&text);
    dxusb block(new SimWindow);
    RegisterTool tool(&block, out);

    QCOMPARE(tool.writeRegister(8, 0x10), 0);
    QCOMPARE(text, QStringLiteral("register  8 <- 0x0000000000000010 (16)\n"));
    QCOMPARE(FpgaSim::instance()->writes().size(), 1);
    QCOMPARE(FpgaSim::instance()->writesTo(8), QVector<uint64_t>{0x10});
    QVERIFY(!FpgaSim::instance()->displayOn());

    // All 64 bits reach the FPGA.
    tool.writeRegister(15, 0xFFFFFFFF00000880ULL);
    QCOMPARE(FpgaSim::instance()->writesTo(15), QVector<uint64_t>{0xFFFFFFFF00000880ULL});
    QVERIFY(FpgaSim::instance()->syncOn());
}

void tst_RegisterTool::dumpLeavesTheReceiveFifoAlone()
{
    FpgaSim *sim = FpgaSim::instance();
    sim->inject(0, QByteArray("ABCDEFGHIJKLMNOPQRSTUVWX"));   // three words on the read channel

    int s = -1;
    const QString text = run(&RegisterTool::dump, &s);
    QCOMPARE(s, 0);
    QVERIFY2(text.contains(QStringLiteral("register  9 fifoCount     = 0x0000000000000003 (3)")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("register 12 firmwareMajor = 0x0000000000000003 (3)")));
    QVERIFY(text.contains(QStringLiteral("register 13 firmwareMinor = 0x000000000000000e (14)")));
    QVERIFY(sim->writes().isEmpty());
    QCOMPARE(sim->readCount(10), uint64_t(0));
    QCOMPARE(sim->fifoWords(0), uint64_t(3));
}

void tst_RegisterTool::command_data()
{
    QTest::addColumn<int>("headboxes");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QString>("answer");   // empty: none expected

    QTest::newRow("serial, one headbox") << 1 << 0 << QByteArray("002002") << "SIM-0000/00-1";
    QTest::newRow("serial, headbox 2 of 3") << 3 << 2 << QByteArray("002002") << "SIM-0000/00-2";
    QTest::newRow("nothing on the shared channel with several") << 2 << 0 << QByteArray("002002") << "";
    QTest::newRow("no headbox") << 0 << 0 << QByteArray("002002") << "";
    QTest::newRow("stop answers nothing") << 1 << 0 << QByteArray("008000") << "";
}

void tst_RegisterTool::command()
{
    QFETCH(int, headboxes);
    QFETCH(int, channel);
    QFETCH(QByteArray, code);
    QFETCH(QString, answer);

    FpgaSimConfig config;
    config.headboxes = headboxes;
    FpgaSim *sim = FpgaSim::instance();
    sim->reset(config);

    QString text;
    QTextStream out(&text);
    dxusb block(new SimWindow);
    RegisterTool tool(&block, out);
    QCOMPARE(tool.command(code, channel, 300), 0);

    // The link on, the channel selected both ways, sync off.
    QCOMPARE(sim->writesTo(15), QVector<uint64_t>{uint64_t(0x80 | channel << 3 | channel)});
    const QByteArray frame = "\r\nRDJW" + code + "\r\n";
    QCOMPARE(sim->sentOnChannel(channel), frame);
    QCOMPARE(sim->writesTo(14).size(), 14);
    if (headboxes >= 1 && (headboxes == 1 || channel > 0))
        QCOMPARE(sim->receivedBy(headboxes == 1 ? 1 : channel), frame);

    if (answer.isEmpty()) {
        QVERIFY2(text.contains(QStringLiteral("no answer within 300 ms")), qPrintable(text));
        return;
    }
    QVERIFY2(text.contains(QStringLiteral("received 16 bytes")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("as text, 16-bit units swapped: ") + answer), qPrintable(text));
    // On the wire the units are swapped: "IS-M..." for "SIM-...".
    QByteArray wire = answer.toLatin1();
    for (int i = 0; i + 1 < wire.size(); i += 2) {
        const char first = wire.at(i);
        wire[i] = wire.at(i + 1);
        wire[i + 1] = first;
    }
    QVERIFY2(text.contains(QString::fromLatin1(wire.left(12))), qPrintable(text));
}

void tst_RegisterTool::commandDiscardsWhatWasWaiting()
{
    FpgaSim *sim = FpgaSim::instance();
    sim->inject(0, QByteArray(24, 'z'));

    QString text;
    QTextStream out(&text);
    dxusb block(new SimWindow);
    RegisterTool tool(&block, out);
    tool.command("002002", 0, 300);

    QVERIFY2(text.contains(QStringLiteral("discarded 24 bytes already waiting on channel 0")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("received 16 bytes")), qPrintable(text));
    QVERIFY(!text.contains(QStringLiteral("zzzz")));
}

void tst_RegisterTool::commandOnAStreamingHeadboxIsBounded()
{
    // Sync on: the headbox streams as fast as the words are read.
    FpgaSim *sim = FpgaSim::instance();
    sim->write(15, 0x0880);
    QVERIFY(sim->streaming(1));

    QString text;
    QTextStream out(&text);
    dxusb block(new SimWindow);
    RegisterTool tool(&block, out);
    QElapsedTimer timer;
    timer.start();
    tool.command("002002", 0, 200);
    QVERIFY2(timer.elapsed() < 20000, "a stream that never ends must not keep the tool reading");
    // Register 15 rewritten with sync off ends the stream; what came was bounded.
    QVERIFY(!sim->syncOn());
    const QRegularExpression received(QStringLiteral("received (\\d+) bytes"));
    const QRegularExpressionMatch m = received.match(text);
    if (m.hasMatch())
        QVERIFY(m.captured(1).toInt() <= 4096 * 8);
}

QTEST_GUILESS_MAIN(tst_RegisterTool)
#include "tst_registertool.moc"
