#include "circular_queue.h"

#include <QMutex>
#include <QTest>
#include <memory>

class tst_circular_queue : public QObject
{
    Q_OBJECT

private slots:
    void counts_data();
    void counts();
    void fullLapLooksEmpty();
    void wordsComeOutInOrderAcrossTheWrap();
    void clearRestartsAtSlotZero();

private:
    QMutex mutex;
};

void tst_circular_queue::counts_data()
{
    QTest::addColumn<int>("writes");
    QTest::addColumn<int>("reads");
    QTest::addColumn<uint>("count");
    QTest::addColumn<long>("writeIndex");
    QTest::addColumn<long>("readIndex");

    QTest::newRow("new ring") << 0 << 0 << 0u << 0L << 0L;
    QTest::newRow("5 in, 2 out") << 5 << 2 << 3u << 5L << 2L;
    QTest::newRow("most it holds") << 32767 << 0 << 32767u << 32767L << 0L;
    // Write index 2, read index 32766: the count crosses the wrap.
    QTest::newRow("across the wrap") << 32768 + 2 << 32766 << 4u << 2L << 32766L;
    QTest::newRow("drained after the wrap") << 40000 << 40000 << 0u << long(40000 & 0x7FFF)
                                            << long(40000 & 0x7FFF);
}

void tst_circular_queue::counts()
{
    QFETCH(int, writes);
    QFETCH(int, reads);
    auto ring = std::make_unique<circular_queue>(&mutex);
    uint64_t word = 0;
    // Interleave so the ring never holds more than it can.
    int w = 0, r = 0;
    while (w < writes || r < reads) {
        if (w < writes && (w - r) < 32767) {
            ring->queue_write(uint64_t(w++));
            continue;
        }
        ring->queue_read(&word);
        QCOMPARE(word, uint64_t(r++));
    }
    QTEST(ring->data_in_queue(), "count");
    QTEST(ring->queue_write_pointer_print(), "writeIndex");
    QTEST(ring->queue_read_pointer_print(), "readIndex");
    QCOMPARE(ring->capacity(), 32768u);
}

void tst_circular_queue::fullLapLooksEmpty()
{
    auto ring = std::make_unique<circular_queue>(&mutex);
    for (int i = 0; i < 32768; ++i)
        ring->queue_write(uint64_t(i));
    QCOMPARE(ring->queue_write_pointer_print(), ring->queue_read_pointer_print());
    QCOMPARE(ring->data_in_queue(), 0u);
}

void tst_circular_queue::wordsComeOutInOrderAcrossTheWrap()
{
    auto ring = std::make_unique<circular_queue>(&mutex);
    uint64_t next = 0, expected = 0, got = 0;
    // Odd rounds write in blocks (the reader's way), one of them across the
    // end of the storage.
    uint64_t block[777];
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 20000;) {
            const int n = round % 2 ? qMin(777, 20000 - i) : 1;
            for (int k = 0; k < n; ++k)
                block[k] = next++ * 0x0101010101010101ULL;
            if (n == 1)
                ring->queue_write(block[0]);
            else
                ring->queue_write_block(block, uint32_t(n));
            i += n;
        }
        while (ring->data_in_queue() > 0) {
            ring->queue_read(&got);
            QCOMPARE(got, expected++ * 0x0101010101010101ULL);
        }
    }
    QCOMPARE(expected, next);
}

void tst_circular_queue::clearRestartsAtSlotZero()
{
    auto ring = std::make_unique<circular_queue>(&mutex);
    for (int i = 0; i < 7; ++i)
        ring->queue_write(1);
    uint64_t word = 0;
    ring->queue_read(&word);
    ring->clear_all_data();
    QCOMPARE(ring->data_in_queue(), 0u);
    QCOMPARE(ring->queue_write_pointer_print(), 0L);
    QCOMPARE(ring->queue_read_pointer_print(), 0L);
    ring->queue_write(0xFEEDu);
    QCOMPARE(ring->queue_write_pointer_print(), 1L);
    ring->queue_read(&word);
    QCOMPARE(word, uint64_t(0xFEEDu));
    QVERIFY(mutex.tryLock());   // the ring never leaves its lock held
    mutex.unlock();
}

QTEST_GUILESS_MAIN(tst_circular_queue)
#include "tst_circular_queue.moc"
