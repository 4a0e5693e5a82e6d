#include "circular_queue.h"
#include "dxusb.h"
#include "dxusb_read_routine.h"
#include "fpgasim.h"
#include "simwindow.h"
#include "streampattern.h"

#include <QMutex>
#include <QTest>
#include <memory>

class tst_dxusb_read_routine : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void onePassMovesTheAnnouncedWords();
    void emptyFifoReadsRegister9Once();
    void capacityBoundary_data();
    void capacityBoundary();
    void clearDuringBatchDropsIt();
    void runningReaderMovesEverythingInOrder();
    void stopsWhenToldAndKeepsTheCount();

private:
    static QByteArray words(uint64_t first, int count)
    {
        return StreamPattern::bytes(1, first, uint64_t(count));
    }

    QMutex mutex;
};

void tst_dxusb_read_routine::init()
{
    FpgaSim::instance()->reset(FpgaSimConfig());
}

void tst_dxusb_read_routine::onePassMovesTheAnnouncedWords()
{
    FpgaSim *sim = FpgaSim::instance();
    dxusb block(new SimWindow);
    circular_queue *ring = new circular_queue(&mutex);
    dxusb_read_routine reader(&block, ring);
    for (int i = 0; i < 10; ++i)
        ring->queue_write(0);
    sim->inject(0, words(100, 3));

    QVERIFY(reader.read_pass());
    QCOMPARE(sim->readCount(9), 2u);
    QCOMPARE(sim->readCount(10), 3u);
    QCOMPARE(reader.return_counter_time(), 3L);
    QCOMPARE(ring->data_in_queue(), 13u);
    uint64_t word = 0;
    for (int i = 0; i < 10; ++i)
        ring->queue_read(&word);
    for (uint64_t seq = 100; seq < 103; ++seq) {
        ring->queue_read(&word);
        QCOMPARE(word, StreamPattern::word(1, seq, 0));
    }
}

void tst_dxusb_read_routine::emptyFifoReadsRegister9Once()
{
    FpgaSim *sim = FpgaSim::instance();
    dxusb block(new SimWindow);
    dxusb_read_routine reader(&block, new circular_queue(&mutex));
    QVERIFY(!reader.read_pass());
    QCOMPARE(sim->readCount(9), 1u);
    QCOMPARE(sim->readCount(10), 0u);
    QCOMPARE(reader.return_counter_time(), 0L);
}

void tst_dxusb_read_routine::capacityBoundary_data()
{
    QTest::addColumn<int>("held");
    QTest::addColumn<bool>("forceCount");
    QTest::addColumn<quint64>("announced");
    QTest::addColumn<bool>("moves");

    QTest::newRow("32764 held + 3 fit") << 32764 << false << quint64(3) << true;
    QTest::newRow("32765 held + 3 do not") << 32765 << false << quint64(3) << false;
    QTest::newRow("empty ring, 32767 fit") << 0 << true << quint64(32767) << true;
    QTest::newRow("empty ring, 32768 do not") << 0 << true << quint64(32768) << false;
    // A glitching FPGA: c + q would wrap to a small number.
    QTest::newRow("count near 2^64, 10 held") << 10 << true << quint64(0) - 5 << false;
    QTest::newRow("count 2^64 - 1, empty ring") << 0 << true << ~quint64(0) << false;
}

void tst_dxusb_read_routine::capacityBoundary()
{
    QFETCH(int, held);
    QFETCH(bool, forceCount);
    QFETCH(quint64, announced);
    QFETCH(bool, moves);
    FpgaSim *sim = FpgaSim::instance();
    dxusb block(new SimWindow);
    circular_queue *ring = new circular_queue(&mutex);
    dxusb_read_routine reader(&block, ring);
    for (int i = 0; i < held; ++i)
        ring->queue_write(0);
    if (forceCount)
        sim->forceRead(9, announced);
    else
        sim->inject(0, words(0, int(announced)));

    QCOMPARE(reader.read_pass(), moves);
    QCOMPARE(sim->readCount(9), 2u);
    QCOMPARE(sim->readCount(10), moves ? announced : 0u);
    QCOMPARE(reader.return_counter_time(), moves ? long(announced) : 0L);
    QCOMPARE(ring->data_in_queue(), uint32_t(held + (moves ? announced : 0)));
    if (!forceCount && !moves)
        QCOMPARE(sim->fifoWords(0), announced);   // left waiting in the FPGA
}

// The FPGA's registers, with the ring cleared right after the reader has
// taken a given word of the FIFO: a clear that meets a batch in flight.
class ClearingWindow : public SimWindow
{
public:
    circular_queue *ring = nullptr;
    uint64_t clearAfterWord = 0;

    uint64_t read(int n) override
    {
        const uint64_t value = SimWindow::read(n);
        if (n == 10 && ++taken == clearAfterWord)
            ring->clear_all_data();
        return value;
    }

private:
    uint64_t taken = 0;
};

void tst_dxusb_read_routine::clearDuringBatchDropsIt()
{
    FpgaSim *sim = FpgaSim::instance();
    ClearingWindow *window = new ClearingWindow;
    dxusb block(window);
    circular_queue *ring = new circular_queue(&mutex);
    dxusb_read_routine reader(&block, ring);
    window->ring = ring;
    window->clearAfterWord = 70;   // in the second block of the batch
    sim->inject(0, words(0, 100));

    reader.read_pass();
    // Nothing taken before the clear reaches the ring after it; the FIFO
    // was read out all the same, so nothing of the batch comes later.
    QCOMPARE(sim->readCount(10), 100u);
    QCOMPARE(ring->data_in_queue(), 0u);
    QCOMPARE(sim->fifoWords(0), 0u);

    sim->inject(0, words(100, 2));
    QVERIFY(reader.read_pass());
    QCOMPARE(ring->data_in_queue(), 2u);
    uint64_t word = 0;
    ring->queue_read(&word);
    QCOMPARE(word, StreamPattern::word(1, 100, 0));
}

void tst_dxusb_read_routine::runningReaderMovesEverythingInOrder()
{
    FpgaSim *sim = FpgaSim::instance();
    dxusb block(new SimWindow);
    circular_queue *ring = new circular_queue(&mutex);
    dxusb_read_routine reader(&block, ring);
    reader.start();

    // More than the ring holds, so the reader has to wait for the consumer.
    const int total = 100000;
    int injected = 0, seen = 0;
    uint64_t word = 0;
    QElapsedTimer timer;
    timer.start();
    while (seen < total && timer.elapsed() < 60000) {
        if (injected < total && sim->fifoWords(0) < 8000) {
            const int n = qMin(3000, total - injected);
            sim->inject(0, words(uint64_t(injected), n));
            injected += n;
        }
        while (ring->data_in_queue() > 0) {
            ring->queue_read(&word);
            QCOMPARE(word, StreamPattern::word(1, uint64_t(seen), 0));
            ++seen;
        }
    }
    reader.set_reading(false);
    QVERIFY(reader.wait(5000));
    QCOMPARE(seen, total);
    QCOMPARE(reader.return_counter_time(), long(total));
    QCOMPARE(sim->emptyReads(), 0u);
}

void tst_dxusb_read_routine::stopsWhenToldAndKeepsTheCount()
{
    FpgaSim *sim = FpgaSim::instance();
    dxusb block(new SimWindow);
    circular_queue *ring = new circular_queue(&mutex);
    dxusb_read_routine reader(&block, ring);
    reader.start();
    sim->inject(0, words(0, 5));
    QTRY_COMPARE(reader.return_counter_time(), 5L);
    reader.set_reading(false);
    QVERIFY(reader.wait(5000));
    sim->inject(0, words(5, 4));
    QCOMPARE(ring->data_in_queue(), 5u);
    QCOMPARE(sim->fifoWords(0), 4u);
}

QTEST_GUILESS_MAIN(tst_dxusb_read_routine)
#include "tst_dxusb_read_routine.moc"
