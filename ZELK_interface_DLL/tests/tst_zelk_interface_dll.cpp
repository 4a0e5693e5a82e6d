#include "ZELK_interface_DLL.h"
#include "fpgasim.h"
#include "streampattern.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <memory>

using Writes = QVector<QPair<int, quint64>>;
Q_DECLARE_METATYPE(Writes)

// The facade of the shared library, driven like the program drives it and
// observed on the simulated FPGA.
class tst_zelk_interface_dll : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void nothingHappensWhileClosed();
    void closeTwiceAndReopen();
    void destroyedWhileOpenStopsTheReader();

    void registerSequences_data();
    void registerSequences();
    void setTotalChannelFrames();

    void readData_data();
    void readData();
    void readReturnsAsSoonAsEnoughArrived();
    void sendDataPacing();
    void countsAndClearing();
    void glitchingWordCountDoesNotStallTheLink();

private:
    static Writes loggedWrites();
    static QByteArray words(uint64_t first, int count) { return StreamPattern::bytes(1, first, uint64_t(count)); }
    void open();

    std::unique_ptr<ZELK_interface_DLL> zelk;
};

Writes tst_zelk_interface_dll::loggedWrites()
{
    Writes out;
    for (const FpgaSimWrite &w : FpgaSim::instance()->writes())
        out.append({w.reg, w.value});
    return out;
}

void tst_zelk_interface_dll::initTestCase()
{
    qputenv("ZELK_FPGA", "sim");
}

void tst_zelk_interface_dll::init()
{
    FpgaSim::instance()->reset(FpgaSimConfig());
    zelk.reset(new ZELK_interface_DLL);
}

void tst_zelk_interface_dll::cleanup()
{
    if (zelk)
        zelk->interface_close();
    zelk.reset();
}

void tst_zelk_interface_dll::open()
{
    zelk->interface_open();
    zelk->set_timer(200);
}

void tst_zelk_interface_dll::nothingHappensWhileClosed()
{
    FpgaSim *sim = FpgaSim::instance();
    sim->inject(0, words(0, 4));

    uint16_t status[2] = {7, 7};
    QCOMPARE(zelk->verify_cyclone(status), 0);
    QCOMPARE(status[0], uint16_t(0));
    QCOMPARE(status[1], uint16_t(0));
    uint32_t n = 99;
    QCOMPARE(zelk->data_in_queue(&n), 0);
    QCOMPARE(n, 0u);
    n = 99;
    zelk->data_in_dxusb_queue(&n);
    QCOMPARE(n, 0u);
    uint64_t buffer[4] = {};
    n = 99;
    QCOMPARE(zelk->read_data(buffer, 32, &n), 0);
    QCOMPARE(n, 0u);
    QCOMPARE(buffer[0], uint64_t(0));
    char bytes[3] = {1, 2, 3};
    n = 99;
    zelk->send_data(bytes, 3, &n);
    QCOMPARE(n, 0u);
    zelk->write_on_register(2, 7);
    zelk->setORV(1, 1);
    zelk->set_baudrate(24);
    zelk->sync_start();
    zelk->set_multihead_trigger(1, 2, 3, 4, 5, 6, 7, 8);
    zelk->setTotalChannel(2, 8);
    zelk->stop();
    zelk->clean();
    zelk->clear_all_data_circular_queue();
    zelk->start_thread();
    zelk->set_timer(5);
    QCOMPARE(zelk->return_counter_time(), 0L);

    QVERIFY(sim->writes().isEmpty());
    QCOMPARE(sim->readCount(9), 0u);
    QCOMPARE(sim->fifoWords(0), 4u);
}

void tst_zelk_interface_dll::closeTwiceAndReopen()
{
    FpgaSim *sim = FpgaSim::instance();
    zelk->interface_close();   // before any open
    open();
    sim->inject(0, words(0, 2));
    uint32_t n = 0;
    QTRY_COMPARE((zelk->data_in_queue(&n), n), 16u);
    zelk->interface_open();    // already open: the same interface, ring and reader go on
    QCOMPARE((zelk->data_in_queue(&n), n), 16u);
    QCOMPARE(zelk->return_counter_time(), 2L);
    zelk->interface_close();
    zelk->interface_close();
    QCOMPARE((zelk->data_in_queue(&n), n), 0u);

    open();
    QCOMPARE((zelk->data_in_queue(&n), n), 0u);   // a new ring
    sim->inject(0, words(2, 3));
    uint64_t buffer[3] = {};
    QCOMPARE(zelk->read_data(buffer, 24, &n), 0);
    QCOMPARE(n, 24u);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(buffer[i], StreamPattern::word(1, uint64_t(2 + i), 0));
    QCOMPARE(zelk->return_counter_time(), 3L);
}

void tst_zelk_interface_dll::destroyedWhileOpenStopsTheReader()
{
    FpgaSim *sim = FpgaSim::instance();
    open();
    sim->inject(0, words(0, 1));
    uint32_t n = 0;
    QTRY_COMPARE((zelk->data_in_queue(&n), n), 8u);
    zelk.reset();
    // The reader was joined (a QThread destroyed while running would end
    // the process): nothing polls the FPGA any more.
    const uint64_t polls = sim->readCount(9);
    sim->inject(0, words(1, 1));
    QCOMPARE(sim->readCount(9), polls);
    QCOMPARE(sim->fifoWords(0), 1u);
}

void tst_zelk_interface_dll::registerSequences_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<Writes>("expected");

    QTest::newRow("setORV(2, 3)") << "setORV" << Writes{{15, 0x9A}};
    QTest::newRow("set_baudrate(9600) ignored") << "baud9600" << Writes{};
    QTest::newRow("set_baudrate(24)") << "baud24" << Writes{{15, 0x2080}};
    QTest::newRow("baud codes replace each other") << "baudAll"
                                                   << Writes{{15, 0x3080}, {15, 0x1080}, {15, 0x0080}};
    QTest::newRow("sync_start") << "sync" << Writes{{15, 0x880}};
    QTest::newRow("setORV keeps sync and clock") << "syncThenOrv" << Writes{{15, 0x880}, {15, 0x2880}, {15, 0x28A1}};
    QTest::newRow("write_on_register leaves the shadow alone")
        << "rawThenOrv" << Writes{{15, 0xFFFF}, {15, 0x89}};
    QTest::newRow("set_multihead_trigger(2, 40, 40, 512, 20, 20, 0, 0)")
        << "multi" << Writes{{0, 0}, {9, 0}, {9, 0}, {11, 0}, {11, 0}, {0, 0}, {9, 40}, {9, 39},
                             {11, 0x1414}, {11, 0}, {0, 7}, {0, 0}, {0, 2}};
    QTest::newRow("set_multihead_trigger 4-byte samples, 64 per packet")
        << "multi4byte" << Writes{{0, 0}, {9, 0}, {9, 0}, {11, 0}, {11, 0}, {0, 0}, {9, 128}, {9, 127},
                                  {11, 0x4040}, {11, 0}, {0, 7}, {0, 0}, {0, 0x3F82}};
    QTest::newRow("set_multihead_trigger all zero")
        << "multiZero" << Writes{{0, 0}, {9, 0}, {9, 0}, {11, 0}, {11, 0}, {0, 0}, {9, 0}, {9, 0xFFFFFFFF},
                                 {11, 0}, {11, 0}, {0, 7}, {0, 0}, {0, 0xFF00}};
    QTest::newRow("stop") << "stop" << Writes{{8, 0}, {5, 0}, {15, 0}};
    QTest::newRow("clean") << "clean" << Writes{{5, 0}, {5, 0x40}};
    QTest::newRow("write_on_register") << "raw" << Writes{{3, 0x123456789ULL}};
}

void tst_zelk_interface_dll::registerSequences()
{
    QFETCH(QString, operation);
    open();
    if (operation == "setORV") {
        zelk->setORV(2, 3);
    } else if (operation == "baud9600") {
        zelk->set_baudrate(9600);
        zelk->set_baudrate(0);
        zelk->set_baudrate(7);
    } else if (operation == "baud24") {
        zelk->set_baudrate(24);
    } else if (operation == "baudAll") {
        zelk->set_baudrate(48);
        zelk->set_baudrate(12);
        zelk->set_baudrate(6);
    } else if (operation == "sync") {
        zelk->sync_start();
    } else if (operation == "syncThenOrv") {
        zelk->sync_start();
        zelk->set_baudrate(24);
        zelk->setORV(1, 4);
    } else if (operation == "rawThenOrv") {
        zelk->write_on_register(15, 0xFFFF);
        zelk->setORV(1, 1);
    } else if (operation == "multi") {
        zelk->set_multihead_trigger(2, 40, 40, 512, 20, 20, 0, 0);
    } else if (operation == "multi4byte") {
        zelk->set_multihead_trigger(0x82, 128, 128, 64, 64, 64, 0, 0);
    } else if (operation == "multiZero") {
        zelk->set_multihead_trigger(0, 0, 0, 0, 0, 0, 0, 0);
    } else if (operation == "stop") {
        zelk->stop();
    } else if (operation == "clean") {
        zelk->clean();
    } else if (operation == "raw") {
        zelk->write_on_register(3, 0x123456789ULL);
    }
    QTEST(loggedWrites(), "expected");
}

static QByteArray frameEx(uchar command, uchar subcommand, quint16 first, quint16 second)
{
    const char f[11] = {'\r', '\n', 0, char(command), char(subcommand), char(first & 0xFF), char(first >> 8),
                        char(second & 0xFF), char(second >> 8), '\r', '\n'};
    return QByteArray(f, 11);
}

void tst_zelk_interface_dll::setTotalChannelFrames()
{
    FpgaSim *sim = FpgaSim::instance();
    open();
    zelk->setTotalChannel(3, 16);
    QCOMPARE(sim->writesTo(15), (QVector<uint64_t>{0x89, 0x80}));
    QCOMPARE(sim->sentOnChannel(1), frameEx(0x1F, 0, 48, 0));
    QCOMPARE(sim->sentOnChannel(0), frameEx(0x31, 0, 3, 48) + frameEx(0x31, 1, 1, 0) + frameEx(0x31, 2, 17, 0)
                                        + frameEx(0x31, 3, 33, 0));
    QCOMPARE(sim->writesTo(14).size(), 55);

    sim->clearWrites();
    zelk->setTotalChannel(1, 8);
    QCOMPARE(sim->sentOnChannel(0), frameEx(0x31, 0, 1, 8) + frameEx(0x31, 1, 1, 0));
}

void tst_zelk_interface_dll::readData_data()
{
    QTest::addColumn<int>("queued");
    QTest::addColumn<uint>("asked");
    QTest::addColumn<uint>("got");
    QTest::addColumn<bool>("waits");

    // A read that has enough at hand returns at once, however long the time-out.
    QTest::newRow("20 bytes asked, 3 words queued") << 3 << 20u << 16u << false;
    QTest::newRow("16 asked, one word queued") << 1 << 16u << 8u << true;
    QTest::newRow("16 asked, nothing queued") << 0 << 16u << 0u << true;
    QTest::newRow("under 8 bytes asked") << 3 << 7u << 0u << false;
    QTest::newRow("nothing asked") << 3 << 0u << 0u << false;
}

void tst_zelk_interface_dll::readData()
{
    QFETCH(int, queued);
    QFETCH(uint, asked);
    QFETCH(bool, waits);
    FpgaSim *sim = FpgaSim::instance();
    open();
    if (!waits)
        zelk->set_timer(60000);
    sim->inject(0, words(0, queued));
    uint32_t n = 0;
    QTRY_COMPARE((zelk->data_in_queue(&n), n), uint32_t(queued * 8));

    uint64_t buffer[4] = {};
    n = 12345;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(zelk->read_data(buffer, asked, &n), 0);
    const qint64 elapsed = timer.elapsed();
    QTEST(uint(n), "got");
    for (uint i = 0; i < n / 8; ++i)
        QCOMPARE(buffer[i], StreamPattern::word(1, i, 0));
    if (n / 8 < 4)
        QCOMPARE(buffer[n / 8], uint64_t(0));   // nothing beyond
    if (waits)
        QVERIFY2(elapsed >= 195, qPrintable(QString::number(elapsed)));
    else
        QVERIFY2(elapsed < 30000, qPrintable(QString::number(elapsed)));
    uint32_t left = 0;
    zelk->data_in_queue(&left);
    QCOMPARE(left, uint32_t(queued * 8) - n);
}

void tst_zelk_interface_dll::readReturnsAsSoonAsEnoughArrived()
{
    FpgaSim *sim = FpgaSim::instance();
    open();
    zelk->set_timer(60000);
    uint64_t buffer[2] = {};
    uint32_t n = 0;
    QElapsedTimer timer;
    timer.start();
    // read_data spins on this thread: the words come from another one,
    // while it waits (if the machine holds the feeder up, a little later).
    std::unique_ptr<QThread> feeder(QThread::create([sim] {
        QThread::msleep(100);
        sim->inject(0, words(0, 2));
    }));
    feeder->start();
    zelk->read_data(buffer, 16, &n);
    feeder->wait();
    QCOMPARE(n, 16u);
    QVERIFY2(timer.elapsed() < 30000, "returned at the time-out, not when the words came");
    QCOMPARE(buffer[1], StreamPattern::word(1, 1, 0));
}

void tst_zelk_interface_dll::sendDataPacing()
{
    FpgaSim *sim = FpgaSim::instance();
    open();
    zelk->setORV(0, 2);
    sim->clearWrites();
    QByteArray bytes;
    for (int i = 0; i < 100; ++i)
        bytes.append(char(0xFF - i));
    uint32_t n = 0;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(zelk->send_data(bytes.data(), uint32_t(bytes.size()), &n), 0);
    const qint64 us = timer.nsecsElapsed() / 1000;
    QCOMPARE(n, 100u);
    QCOMPARE(sim->sentOnChannel(2), bytes);
    QVERIFY2(us >= 100 * 200, qPrintable(QString::number(us)));   // at least 200 us a byte

    QCOMPARE(zelk->send_data(bytes.data(), 0, &n), 0);
    QCOMPARE(n, 0u);
    QCOMPARE(sim->writesTo(14).size(), 100);
}

void tst_zelk_interface_dll::countsAndClearing()
{
    FpgaSim *sim = FpgaSim::instance();
    open();
    sim->inject(0, words(0, 5));
    QTRY_COMPARE(zelk->return_counter_time(), 5L);
    uint32_t n = 0;
    QCOMPARE((zelk->data_in_queue(&n), n), 40u);
    zelk->clear_all_data_circular_queue();
    QCOMPARE((zelk->data_in_queue(&n), n), 0u);
    sim->inject(0, words(5, 1));
    QTRY_COMPARE((zelk->data_in_queue(&n), n), 8u);
    uint64_t word = 0;
    zelk->read_data(&word, 8, &n);
    QCOMPARE(word, StreamPattern::word(1, 5, 0));
    QCOMPARE(zelk->return_counter_time(), 6L);

    uint16_t status[2] = {};
    QCOMPARE(zelk->verify_cyclone(status), 1);
    QCOMPARE(status[0], uint16_t(3));
    QCOMPARE(status[1], uint16_t(14));
}

void tst_zelk_interface_dll::glitchingWordCountDoesNotStallTheLink()
{
    FpgaSim *sim = FpgaSim::instance();
    open();
    sim->inject(0, words(0, 2));
    sim->forceRead(9, (uint64_t(1) << 32) + 5);
    // Two passes of the reader at least (each reads register 9 twice).
    uint64_t polls = sim->readCount(9);
    QTRY_VERIFY(sim->readCount(9) >= polls + 4);
    uint32_t n = 0;
    QCOMPARE((zelk->data_in_queue(&n), n), 0u);      // nothing moved on a wild count
    QCOMPARE(sim->readCount(10), 0u);
    zelk->data_in_dxusb_queue(&n);
    QCOMPARE(n, 40u);                                 // low 32 bits, in bytes
    sim->forceRead(9, ~uint64_t(0) - 2);
    polls = sim->readCount(9);
    QTRY_VERIFY(sim->readCount(9) >= polls + 4);
    QCOMPARE(sim->readCount(10), 0u);
    sim->releaseRead(9);
    QTRY_COMPARE((zelk->data_in_queue(&n), n), 16u);
}

QTEST_GUILESS_MAIN(tst_zelk_interface_dll)
#include "tst_zelk_interface_dll.moc"
