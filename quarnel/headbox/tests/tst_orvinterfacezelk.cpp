#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include "orvinterfacezelk.h"
#include "quarnellog.h"
#include "simulatedpanel.h"
#include "harness.h"

using namespace simpanel;
using Values = QVector<uint64_t>;

namespace {
QVector<QPair<int, uint64_t>> registerWrites(FpgaSim *sim)
{
    QVector<QPair<int, uint64_t>> out;
    for (const FpgaSimWrite &w : sim->writes())
        out.append(qMakePair(w.reg, w.value));
    return out;
}

// Register writes the FPGA saw, with the link's pauses in their places as
// {pauseMark, ms}.
const int pauseMark = -1;
QVector<QPair<int, uint64_t>> writesAndPauses(FpgaSim *sim, const SimLink *link)
{
    QVector<QPair<int, uint64_t>> out;
    const QVector<QPair<int, unsigned long>> pauses = link->pauses();
    const QVector<QPair<int, uint64_t>> writes = registerWrites(sim);
    int p = 0;
    for (int w = 0; w <= writes.size(); ++w) {
        for (; p < pauses.size() && pauses.at(p).first == w; ++p)
            out.append(qMakePair(pauseMark, uint64_t(pauses.at(p).second)));
        if (w < writes.size())
            out.append(writes.at(w));
    }
    return out;
}

// Open link on a fresh chip; the chip's record starts after the library's
// own start-up writes.
struct Panel
{
    explicit Panel(FpgaSim *chip) : sim(chip), texts(&log, &QuarnelLog::AddLogItemSignal)
    {
        link = new SimLink(sim, &log);
        sim->clearWrites();
    }
    ~Panel() { delete link; }
    // A fresh record of register writes and pauses.
    void clearRecord()
    {
        sim->clearWrites();
        link->clearPauses();
    }
    FpgaSim *sim;
    QuarnelLog log;
    QSignalSpy texts;
    SimLink *link;
};
} // namespace

class tst_OrvInterfaceZelk : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void testInterface_data();
    void testInterface();
    void checkInterfaceAlwaysPresent_data();
    void checkInterfaceAlwaysPresent();
    void triggerOut_data();
    void triggerOut();
    void multiHeadInfo_data();
    void multiHeadInfo();
    void multiHeadInfoWithoutCounts();
    void displayPower();
    void setUsbRegisterSequence();
    void readNothingTimesOut();
    void readWholeWordsUnaligned();
    void writeReachesSelectedChannel();
    void writeNothing();
    void clearRxBuffer();
    void resetInterfaceReboots();
    void closeJoinsReader();
};

void tst_OrvInterfaceZelk::initTestCase()
{
    useSimulatedFpga();
}

void tst_OrvInterfaceZelk::testInterface_data()
{
    QTest::addColumn<bool>("verifyFails");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("logText");
    QTest::newRow("firmware answers") << false << 0 << "firmware ver. 3.14" << "Verify interface:1";
    QTest::newRow("no firmware") << true << -1 << "" << "Verify interface:0";
}

void tst_OrvInterfaceZelk::testInterface()
{
    QFETCH(bool, verifyFails);
    QFETCH(int, expected);
    QFETCH(QString, version);
    QFETCH(QString, logText);
    Panel p(freshChip(1, {}, verifyFails));
    memset(p.link->version, 'x', sizeof(p.link->version));

    QCOMPARE(int(p.link->TestInterface()), expected);
    QCOMPARE(QString(p.link->version), version);
    // The rest of the field is zero-filled, not left over.
    QCOMPARE(QByteArray(p.link->version + version.size(), 64 - version.size()),
             QByteArray(64 - version.size(), '\0'));
    QCOMPARE(logTexts(p.texts), QStringList({logText}));
}

void tst_OrvInterfaceZelk::checkInterfaceAlwaysPresent_data()
{
    QTest::addColumn<bool>("verifyFails");
    QTest::newRow("answers") << false;
    QTest::newRow("silent") << true;
}

void tst_OrvInterfaceZelk::checkInterfaceAlwaysPresent()
{
    QFETCH(bool, verifyFails);
    Panel p(freshChip(1, {}, verifyFails));
    MessageCapture debug;
    QCOMPARE(p.link->CheckInterface(), 0);
    QCOMPARE(debug.count("ERRORE CHECK INTERFACE"), verifyFails ? 1 : 0);
    // Only the verification registers are touched.
    for (const FpgaSimWrite &w : p.sim->writes())
        QVERIFY2(w.reg == 1 || w.reg == 11 || w.reg == 12 || w.reg == 13,
                 qPrintable(QString::number(w.reg)));
}

void tst_OrvInterfaceZelk::triggerOut_data()
{
    QTest::addColumn<qlonglong>("freq");
    QTest::addColumn<Values>("reg3");
    QTest::addColumn<uint64_t>("reg2");
    QTest::addColumn<bool>("debugLine");
    QTest::newRow("1 Hz") << qlonglong(100) << Values{0xFFFF, 0x000F} << uint64_t(7) << true;
    QTest::newRow("off") << qlonglong(0) << Values{0, 0} << uint64_t(6) << false;
    QTest::newRow("fastest") << qlonglong(104857600) << Values{0, 0} << uint64_t(7) << true;
    QTest::newRow("1000 Hz") << qlonglong(100000) << Values{1047, 0} << uint64_t(7) << true;
    if (sizeof(long) > 4)
        QTest::newRow("low 32 bits zero") << qlonglong(0x100000000LL) << Values{0, 0}
                                          << uint64_t(6) << false;
}

void tst_OrvInterfaceZelk::triggerOut()
{
    QFETCH(qlonglong, freq);
    QFETCH(Values, reg3);
    QFETCH(uint64_t, reg2);
    QFETCH(bool, debugLine);
    Panel p(freshChip());
    MessageCapture debug;
    QCOMPARE(p.link->SetTriggerOut(long(freq)), short(0));
    QCOMPARE(p.sim->writesTo(3), reg3);
    QCOMPARE(p.sim->writesTo(2), Values({reg2}));
    QCOMPARE(debug.count("Zelk trigger out"), debugLine ? 1 : 0);
}

void tst_OrvInterfaceZelk::multiHeadInfo_data()
{
    QTest::addColumn<QVector<int>>("args"); // numOrv, dataLen, totCh, campXpack, c1..c4
    QTest::addColumn<Values>("reg9");
    QTest::addColumn<Values>("reg11");
    QTest::addColumn<uint64_t>("lastReg0");
    // 0x82, 128, 128, 32, 64, 64, 0, 0 reach the library.
    QTest::newRow("two headboxes, 4 bytes") << QVector<int>{2, 4, 64, 32, 32, 32, 0, 0}
                                            << Values{0, 0, 128, 127}
                                            << Values{0, 0, 0x4040, 0}
                                            << uint64_t(0x1F82);
    QTest::newRow("all zero") << QVector<int>{0, 0, 0, 0, 0, 0, 0, 0}
                              << Values{0, 0, 0, 0xFFFFFFFF}
                              << Values{0, 0, 0, 0} << uint64_t(0xFF00);
    QTest::newRow("odd product rounds down") << QVector<int>{1, 3, 5, 512, 5, 0, 0, 0}
                                             << Values{0, 0, 7, 6}
                                             << Values{0, 0, 7, 0} << uint64_t(0x0001);
    // 65535 x 65535 leaves the signed range: wrapped, halved with sign.
    QTest::newRow("huge product") << QVector<int>{1, 65535, 65535, 1, 0, 0, 0, 0}
                                  << Values{0, 0, 0xFFFF0000, 0xFFFEFFFF}
                                  << Values{0, 0, 0, 0} << uint64_t(0x0001);
}

void tst_OrvInterfaceZelk::multiHeadInfo()
{
    QFETCH(QVector<int>, args);
    QFETCH(Values, reg9);
    QFETCH(Values, reg11);
    QFETCH(uint64_t, lastReg0);
    Panel p(freshChip());
    WORD counts[4] = {WORD(args[4]), WORD(args[5]), WORD(args[6]), WORD(args[7])};
    p.link->SetMultiHeadInfo(WORD(args[0]), WORD(args[1]), WORD(args[2]), WORD(args[3]), counts);

    QCOMPARE(p.sim->writesTo(9), reg9);
    QCOMPARE(p.sim->writesTo(11), reg11);
    QCOMPARE(p.sim->writesTo(0).last(), lastReg0);
    QCOMPARE(p.sim->writesTo(2), Values({6}));
    QCOMPARE(p.sim->writes().last().reg, 2);
    QCOMPARE(logTexts(p.texts), QStringList({"Set MultiHead Info"}));
}

void tst_OrvInterfaceZelk::multiHeadInfoWithoutCounts()
{
    Panel p(freshChip());
    p.link->SetMultiHeadInfo(2, 2, 10, 32, nullptr);
    QCOMPARE(p.sim->writesTo(9), Values({0, 0, 10, 9}));
    QCOMPARE(p.sim->writesTo(11), Values({0, 0, 0, 0}));
}

void tst_OrvInterfaceZelk::displayPower()
{
    Panel p(freshChip());
    p.link->reg8 = 8;
    p.link->DisplayPower(false);
    QCOMPARE(p.sim->writesTo(8), Values({0x18}));
    QVERIFY(!p.sim->displayOn());
    p.link->DisplayPower(false);
    p.link->DisplayPower(true);
    QCOMPARE(p.sim->writesTo(8), Values({0x18, 0x18, 0x08}));
    QVERIFY(p.sim->displayOn());
    QCOMPARE(p.link->reg8, WORD(8));
}

void tst_OrvInterfaceZelk::setUsbRegisterSequence()
{
    Panel p(freshChip(0));
    QSignalSpy firmware(p.link, &OrvInterface::FirmwareVersion);
    p.sim->inject(0, QByteArray(24, 'z'));
    QTRY_COMPARE(p.link->DataInQueue(), 24);
    p.clearRecord();

    QCOMPARE(p.link->SetUsb(), short(0));

    QVector<QPair<int, uint64_t>> seen = writesAndPauses(p.sim, p.link);
    // The verification touches only its own registers; the rest is ours.
    const int verifyAt = 2;
    QVERIFY(seen.size() > verifyAt && seen.at(verifyAt).first == 1);
    while (seen.size() > verifyAt && seen.at(verifyAt).first == 1)
        seen.remove(verifyAt);
    const QVector<QPair<int, uint64_t>> expected{
        {5, 0}, {8, 0},
        {5, 0x4400}, {15, 0x0080}, {pauseMark, 500}, {8, 8}, {5, 0x0040},
        {0, 0}, {9, 0}, {9, 0}, {11, 0}, {11, 0}, {0, 0}, {9, 0}, {9, 0xFFFFFFFF},
        {11, 0}, {11, 0}, {0, 7}, {0, 0}, {0, 0xFF00},
        {2, 6}, {pauseMark, 100}, {5, 0}, {pauseMark, 100}, {5, 0x0040},
    };
    QCOMPARE(seen, expected);
    QCOMPARE(p.link->DataInQueue(), 0);
    QCOMPARE(firmware.count(), 1);
    QCOMPARE(firmware.at(0).at(0).toString(), QString("firmware ver. 3.14"));
    QCOMPARE(p.sim->register15(), uint64_t(0x0080));
}

void tst_OrvInterfaceZelk::readNothingTimesOut()
{
    Panel p(freshChip(0));
    BYTE buffer[16];
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(p.link->Read(buffer, 16), 0);
    const qint64 waited = timer.elapsed();
    QVERIFY2(waited >= 195 && waited < 5000, qPrintable(QString::number(waited)));
}

void tst_OrvInterfaceZelk::readWholeWordsUnaligned()
{
    Panel p(freshChip(0));
    QByteArray stream;
    for (int i = 0; i < 24; ++i)
        stream.append(char(0x30 + i));
    p.sim->inject(0, stream);
    QTRY_COMPARE(p.link->DataInQueue(), 24);

    QByteArray buffer(64, '\xEE');
    BYTE *odd = reinterpret_cast<BYTE *>(buffer.data()) + 1;
    // 20 asked: two whole words, never a partial one.
    QCOMPARE(p.link->Read(odd, 20), 16);
    QCOMPARE(buffer.mid(1, 16), stream.left(16));
    QCOMPARE(buffer.at(17), '\xEE');
    QCOMPARE(p.link->Read(odd, 7), 0);
    QCOMPARE(p.link->Read(odd, -8), 0);
    QCOMPARE(p.link->MyRead(odd, 4096), 8);
    QCOMPARE(buffer.mid(1, 8), stream.mid(16));
}

void tst_OrvInterfaceZelk::writeReachesSelectedChannel()
{
    Panel p(freshChip(2));
    p.link->WhichHeadboxReadWrite(2);
    BYTE bytes[] = {0x00, 0x41, 0xFF, 0x0D};
    QCOMPARE(p.link->Write(bytes, 4), 4);
    QCOMPARE(p.sim->sentOnChannel(2), QByteArray("\x00\x41\xFF\x0D", 4));
    QCOMPARE(p.sim->writesTo(14), Values({0x00, 0x41, 0xFF, 0x0D}));
    QVERIFY(p.sim->receivedBy(1).isEmpty());
}

void tst_OrvInterfaceZelk::writeNothing()
{
    Panel p(freshChip());
    BYTE bytes[4] = {1, 2, 3, 4};
    QCOMPARE(p.link->Write(bytes, 0), 0);
    QCOMPARE(p.link->Write(bytes, -1), 0);
    QCOMPARE(p.link->Write(nullptr, 4), 0);
    QVERIFY(p.sim->writesTo(14).isEmpty());
}

void tst_OrvInterfaceZelk::clearRxBuffer()
{
    Panel p(freshChip(0));
    p.link->reg5 = 0x0040;
    p.sim->inject(0, QByteArray(16, 'q'));
    QTRY_COMPARE(p.link->DataInQueue(), 16);
    p.clearRecord();
    p.link->ClearRxBuffer();
    QCOMPARE(p.link->DataInQueue(), 0);
    QCOMPARE(writesAndPauses(p.sim, p.link),
             (QVector<QPair<int, uint64_t>>{{5, 0}, {pauseMark, 100}, {5, 0x0040}}));
    BYTE buffer[16];
    QCOMPARE(p.link->Read(buffer, 16), 0);
}

void tst_OrvInterfaceZelk::resetInterfaceReboots()
{
    QUARNEL_REQUIRE_HARNESS();
    Panel p(freshChip());
    QFile sudoLog(harness::sudoLog());
    QVERIFY(sudoLog.open(QIODevice::ReadOnly));
    const QByteArray before = sudoLog.readAll();
    sudoLog.close();

    p.link->ResetInterface();

    QVERIFY(sudoLog.open(QIODevice::ReadOnly));
    const QByteArray after = sudoLog.readAll();
    QCOMPARE(after.mid(before.size()), QByteArray("reboot\n"));
}

// The destructor closes the library: its reader thread is joined and the
// FPGA is not polled any more.
void tst_OrvInterfaceZelk::closeJoinsReader()
{
    FpgaSim *sim = freshChip(0);
    auto *link = new OrvInterfaceZelk(nullptr);
    QTRY_VERIFY(sim->readCount(9) > 0);
    delete link;
    // Joined, not left running (a QThread destroyed while running would end
    // the process): nothing polls the FPGA any more.
    const uint64_t polls = sim->readCount(9) + sim->readCount(10);
    sim->inject(0, QByteArray(8, 'w'));
    QCOMPARE(sim->readCount(9) + sim->readCount(10), polls);
    QCOMPARE(sim->fifoWords(0), 1u);
}

QTEST_GUILESS_MAIN(tst_OrvInterfaceZelk)
#include "tst_orvinterfacezelk.moc"
