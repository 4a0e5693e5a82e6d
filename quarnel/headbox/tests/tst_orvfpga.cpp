// The headbox protocol over the real library on the simulated FPGA, with
// the headboxes played by the simulator.
#include <QSignalSpy>
#include <QTest>

#include "orv.h"
#include "orvinterfacezelk.h"
#include "quarnellog.h"
#include "simulatedpanel.h"

using namespace simpanel;
using Values = QVector<uint64_t>;

namespace {
struct Rig
{
    explicit Rig(FpgaSim *chip)
        : sim(chip), texts(&log, &QuarnelLog::AddLogItemSignal)
    {
        // A loaded machine can hold the writer past a half frame's 100 ms
        // and the reader past an answer's 200 ms; neither time is tested here.
        sim->holdClock();
        link = new SimLink(sim);
        link->settleReads = true;
        link->SetUsb();
        link->_log = &log;
        orv = new Orv(link, &log);
        sim->clearWrites();
    }
    ~Rig()
    {
        delete orv;
        delete link;
    }
    int check()
    {
        return orv->CheckDevice(nullptr, &serial, &count);
    }

    FpgaSim *sim;
    QuarnelLog log;
    QSignalSpy texts;
    SimLink *link = nullptr;
    Orv *orv = nullptr;
    QString serial = "untouched";
    short count = -7;
};

QList<int> channelsSelected(FpgaSim *sim)
{
    QList<int> out;
    for (uint64_t v : sim->writesTo(15))
        out.append(int(v & 7));
    return out;
}
} // namespace

class tst_OrvFpga : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void oneHeadboxOnSharedChannel();
    void headboxesOnOwnChannels();
    void fourHeadboxes();
    void twoAnswersOnSharedChannel();
    void malformedSerial_data();
    void malformedSerial();
    void noHeadbox();
    void stopCommandOnTheLink();
    void extendedCommandOnTheLink();
};

void tst_OrvFpga::initTestCase()
{
    useSimulatedFpga();
}

void tst_OrvFpga::oneHeadboxOnSharedChannel()
{
    Rig rig(freshChip(1, {"ABC-1234/56-789"}));
    QCOMPARE(rig.check(), 0);
    QCOMPARE(rig.serial, QString("ABC-1234/56-789"));
    QCOMPARE(rig.count, short(1));
    QCOMPARE(rig.sim->receivedBy(1), identifyFrame());
    // No channel but 0 was ever selected for reading or writing.
    for (uint64_t v : rig.sim->writesTo(15))
        QCOMPARE(int(v & 0x3F), 0);
    QVERIFY(logTexts(rig.texts).filter("-------------").isEmpty());
}

void tst_OrvFpga::headboxesOnOwnChannels()
{
    Rig rig(freshChip(2, {"AAA-1111/11-1", "BBB-2222/22-22"}));
    QCOMPARE(rig.check(), 0);
    QCOMPARE(rig.count, short(2));
    QCOMPARE(rig.serial, QString("AAA-1111/11-1"));
    QCOMPARE(logTexts(rig.texts), QStringList({"-------------", "1    16   AAA-1111/11-1",
                                 "2    16   BBB-2222/22-22"}));
    QCOMPARE(channelsSelected(rig.sim), QList<int>({0, 1, 2, 3, 0}));
    QCOMPARE(rig.sim->readChannel(), 0);
    QCOMPARE(rig.sim->writeChannel(), 0);
    // One identification, sent on the shared channel only.
    QCOMPARE(rig.sim->sentOnChannel(0), identifyFrame());
    for (int ch = 1; ch < FpgaSim::channels; ++ch)
        QVERIFY(rig.sim->sentOnChannel(ch).isEmpty());
}

void tst_OrvFpga::fourHeadboxes()
{
    Rig rig(freshChip(4));
    QCOMPARE(rig.check(), 0);
    QCOMPARE(rig.count, short(4));
    QCOMPARE(rig.serial.toLatin1(), FpgaSimConfig::defaultSerial(1));
    QCOMPARE(channelsSelected(rig.sim), QList<int>({0, 1, 2, 3, 4, 0}));
}

// Two answers on the shared channel mean headboxes wired in the wrong mode.
void tst_OrvFpga::twoAnswersOnSharedChannel()
{
    Rig rig(freshChip(0));
    FpgaSim *sim = rig.sim;
    // Plays the hardware: two answers arrive on channel 0 as soon as the
    // command has gone out.
    rig.link->afterWrite = [sim](const QByteArray &) {
        sim->inject(0, onTheWire("AAA-1111/11-1") + onTheWire("BBB-2222/22-2"));
    };
    QCOMPARE(rig.check(), -1);

    QCOMPARE(sim->sentOnChannel(0), identifyFrame());
    QCOMPARE(logTexts(rig.texts),
             QStringList({QString::fromUtf8("ERRORE più testine collegate in modalità only one! 32")}));
    QCOMPARE(rig.count, short(-7));
    QCOMPARE(rig.serial, QString("untouched"));
    QCOMPARE(rig.orv->nDevs, short(0));
}

void tst_OrvFpga::malformedSerial_data()
{
    QTest::addColumn<int>("headboxes");
    QTest::addColumn<QByteArray>("second");
    QTest::newRow("shared channel") << 1 << QByteArray();
    QTest::newRow("own channel") << 2 << QByteArray("ABC-1234/56-7");
}

void tst_OrvFpga::malformedSerial()
{
    QFETCH(int, headboxes);
    QFETCH(QByteArray, second);
    QList<QByteArray> serials{"ABC-1234-56-7"};
    if (!second.isEmpty())
        serials.append(second);
    Rig rig(freshChip(headboxes, serials));
    MessageCapture debug;
    QCOMPARE(rig.check(), -1);
    QCOMPARE(rig.count, short(-7));
    QCOMPARE(rig.serial, QString("untouched"));
    QCOMPARE(rig.sim->readChannel(), 0);
    QCOMPARE(debug.count("wrong serial number"), headboxes > 1 ? 1 : 0);
    QVERIFY(logTexts(rig.texts).filter("ABC").isEmpty());
}

void tst_OrvFpga::noHeadbox()
{
    Rig rig(freshChip(0));
    QCOMPARE(rig.check(), -1);
    QCOMPARE(logTexts(rig.texts), QStringList({"-------------"}));
    QCOMPARE(channelsSelected(rig.sim), QList<int>({0, 1, 0}));
    QCOMPARE(rig.count, short(-7));
}

void tst_OrvFpga::stopCommandOnTheLink()
{
    Rig rig(freshChip(1));
    BYTE stop[] = "008000";
    rig.orv->SendOrvCommand(stop);
    QCOMPARE(rig.sim->sentOnChannel(0), QByteArray("\r\nRDJW008000\r\n"));
    QCOMPARE(rig.sim->writesTo(14).size(), 14);
}

void tst_OrvFpga::extendedCommandOnTheLink()
{
    Rig rig(freshChip(1));
    rig.orv->SendOrvCommandEx(0x31, 2, 9, 0);
    QCOMPARE(rig.sim->sentOnChannel(0), QByteArray::fromHex("0d0a00310209000000" "0d0a"));
}

QTEST_GUILESS_MAIN(tst_OrvFpga)
#include "tst_orvfpga.moc"
