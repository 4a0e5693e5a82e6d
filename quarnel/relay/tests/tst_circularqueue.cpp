#include <QTest>

#include <QRandomGenerator>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

#include "circularqueue.h"

namespace {

const QByteArray key("TALV");

// Moves front and back to `start` while leaving the queue empty, so that
// later data lies across the end of the storage.
void advanceTo(CircularQueue<char> &q, long start)
{
    QByteArray filler(int(start), 'z');
    QCOMPARE(q.Write(filler.data(), start), short(0));
    QCOMPARE(q.Read(filler.data(), start), short(0));
    QCOMPARE(q.NumData(), 0L);
}

QByteArray readAll(CircularQueue<char> &q)
{
    QByteArray out(int(q.NumData()), '\0');
    if (!out.isEmpty())
        q.Read(out.data(), out.size());
    return out;
}

struct FindResult
{
    long offset;
    bool partial;
};

FindResult find(CircularQueue<char> &q, QByteArray pattern = key)
{
    bool partial = true;
    const long offset = q.Find(pattern.data(), short(pattern.size()), &partial);
    return {offset, partial};
}

// What a correct search gives, worked out on a plain array.
FindResult referenceFind(const QByteArray &data, const QByteArray &pattern)
{
    const int whole = data.indexOf(pattern);
    if (whole >= 0)
        return {whole, false};
    for (int k = pattern.size() - 1; k > 0; --k) {
        if (data.endsWith(pattern.left(k)))
            return {long(data.size() - k), true};
    }
    return {-1, false};
}

} // namespace

class tst_CircularQueue : public QObject
{
    Q_OBJECT
private slots:
    void fillToCapacityAndDrain_data();
    void fillToCapacityAndDrain();
    void writeBeyondFreeSpaceStoresWhatFits_data();
    void writeBeyondFreeSpaceStoresWhatFits();
    void readBeyondQueuedDeliversWhatIsThere_data();
    void readBeyondQueuedDeliversWhatIsThere();
    void nonPositiveLengthsSucceedAndChangeNothing();
    void getPeeksAcrossTheWrap();
    void find_data();
    void find();
    void findAcrossTheWrap_data();
    void findAcrossTheWrap();
    void findAgreesWithReferenceOnRandomData();
    void purgeEmptiesFullQueue();
    void twoThreadsMoveEveryByteInOrder();
};

void tst_CircularQueue::fillToCapacityAndDrain_data()
{
    QTest::addColumn<long>("start");
    QTest::newRow("front = back = 0") << 0L;
    QTest::newRow("front = back = 1") << 1L;
    QTest::newRow("front = back in the middle") << 37L;
    QTest::newRow("front = back at the last slot") << 63L;
}

void tst_CircularQueue::fillToCapacityAndDrain()
{
    QFETCH(long, start);
    const long size = 64;
    CircularQueue<char> q(size);
    advanceTo(q, start);

    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char('A' + i % 50);
    QCOMPARE(q.Write(data.data(), size), short(0));
    QCOMPARE(q.NumData(), size);
    QCOMPARE(q.FreeSpace(), 0L);

    char extra = '!';
    QCOMPARE(q.Write(&extra, 1), short(-1));
    QCOMPARE(q.NumData(), size);

    QCOMPARE(readAll(q), data);
    QCOMPARE(q.NumData(), 0L);
    QCOMPARE(q.FreeSpace(), size);

    char c = 'q';
    QCOMPARE(q.Read(&c, 1), short(-1));
    QCOMPARE(c, 'q');

    // Empty again with front = back: the next element is stored and read.
    QCOMPARE(q.Write(&extra, 1), short(0));
    QCOMPARE(readAll(q), QByteArray("!"));
}

void tst_CircularQueue::writeBeyondFreeSpaceStoresWhatFits_data()
{
    QTest::addColumn<long>("start");
    QTest::addColumn<long>("queued");
    QTest::addColumn<long>("len");
    QTest::newRow("straight") << 0L << 10L << 40L;
    QTest::newRow("free room wraps") << 50L << 10L << 40L;
    QTest::newRow("one free, many asked") << 20L << 31L << 5L;
    QTest::newRow("empty, twice the size") << 7L << 0L << 64L;
}

void tst_CircularQueue::writeBeyondFreeSpaceStoresWhatFits()
{
    QFETCH(long, start);
    QFETCH(long, queued);
    QFETCH(long, len);
    const long size = 32;
    CircularQueue<char> q(size);
    advanceTo(q, start % size);

    QByteArray head(int(queued), 'h');
    QCOMPARE(q.Write(head.data(), queued), short(0));

    QByteArray more(int(len), '\0');
    for (int i = 0; i < len; ++i)
        more[i] = char('a' + i % 26);
    QCOMPARE(q.Write(more.data(), len), short(-1));
    QCOMPARE(q.NumData(), size);
    QCOMPARE(q.FreeSpace(), 0L);

    QCOMPARE(readAll(q), head + more.left(int(size - queued)));
}

void tst_CircularQueue::readBeyondQueuedDeliversWhatIsThere_data()
{
    QTest::addColumn<long>("start");
    QTest::newRow("straight") << 0L;
    QTest::newRow("queued data wraps") << 28L;
}

void tst_CircularQueue::readBeyondQueuedDeliversWhatIsThere()
{
    QFETCH(long, start);
    CircularQueue<char> q(32);
    advanceTo(q, start);

    QByteArray data("0123456789");
    QCOMPARE(q.Write(data.data(), data.size()), short(0));
    QByteArray out(20, '#');
    long taken = -1;
    QCOMPARE(q.Read(out.data(), out.size(), &taken), short(-1));
    QCOMPARE(taken, 10L);
    QCOMPARE(out.left(10), data);
    QCOMPARE(out.mid(10), QByteArray(10, '#'));
    QCOMPARE(q.NumData(), 0L);

    // The queue goes on working after a short read.
    QByteArray next("abc");
    QCOMPARE(q.Write(next.data(), next.size()), short(0));
    QCOMPARE(readAll(q), next);
}

void tst_CircularQueue::nonPositiveLengthsSucceedAndChangeNothing()
{
    CircularQueue<char> q(8);
    char c = 'x';
    QCOMPARE(q.Write(&c, 0), short(0));
    QCOMPARE(q.Write(&c, -5), short(0));
    QCOMPARE(q.NumData(), 0L);
    QCOMPARE(q.Read(&c, 0), short(0));
    QCOMPARE(q.Read(&c, -1), short(0));
    QCOMPARE(c, 'x');
}

void tst_CircularQueue::getPeeksAcrossTheWrap()
{
    CircularQueue<char> q(16);
    advanceTo(q, 12);
    QByteArray data("TALV\x10\x00\x00\x00rest", 12);
    QCOMPARE(q.Write(data.data(), data.size()), short(0));

    QByteArray peek(8, '\0');
    QCOMPARE(q.Get(peek.data(), 8), short(0));
    QCOMPARE(peek, data.left(8));
    QCOMPARE(q.NumData(), 12L);
    QCOMPARE(q.Get(peek.data(), 8), short(0));
    QCOMPARE(peek, data.left(8));
    QCOMPARE(readAll(q), data);
}

void tst_CircularQueue::find_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<long>("offset");
    QTest::addColumn<bool>("partial");

    QTest::newRow("empty queue") << QByteArray() << -1L << false;
    QTest::newRow("key at offset 0") << QByteArray("TALVxyz") << 0L << false;
    QTest::newRow("key alone") << QByteArray("TALV") << 0L << false;
    QTest::newRow("key after data") << QByteArray("0123TALV") << 4L << false;
    QTest::newRow("key after its first byte") << QByteArray("TTALV") << 1L << false;
    QTest::newRow("key after two of its bytes") << QByteArray("TATALV") << 2L << false;
    QTest::newRow("key after three of its bytes") << QByteArray("TALTALV") << 3L << false;
    QTest::newRow("key after doubled first bytes") << QByteArray("TTTTALV") << 3L << false;
    QTest::newRow("first of two keys") << QByteArray("aTALVbTALV") << 1L << false;
    QTest::newRow("whole key and prefix at end") << QByteArray("TALVxxTAL") << 0L << false;
    QTest::newRow("no key") << QByteArray("abcdefg") << -1L << false;
    QTest::newRow("key bytes out of order") << QByteArray("VLATALxV") << -1L << false;
    QTest::newRow("ends with T") << QByteArray("abcT") << 3L << true;
    QTest::newRow("ends with TA") << QByteArray("abcTA") << 3L << true;
    QTest::newRow("ends with TAL") << QByteArray("abcTAL") << 3L << true;
    QTest::newRow("only TAL") << QByteArray("TAL") << 0L << true;
    QTest::newRow("ends with TTA") << QByteArray("xTTA") << 2L << true;
    QTest::newRow("ends with TATAL") << QByteArray("TATAL") << 2L << true;
    QTest::newRow("broken prefix before end") << QByteArray("TAxL") << -1L << false;
    QTest::newRow("ends with AL, not a prefix") << QByteArray("xxAL") << -1L << false;
}

void tst_CircularQueue::find()
{
    QFETCH(QByteArray, data);
    QFETCH(long, offset);
    QFETCH(bool, partial);
    CircularQueue<char> q(64);
    QCOMPARE(q.Write(data.data(), data.size()), short(0));

    const FindResult r = ::find(q);
    QCOMPARE(r.partial, partial);
    QCOMPARE(r.offset, offset);
    // Searching consumes nothing.
    QCOMPARE(readAll(q), data);
}

void tst_CircularQueue::findAcrossTheWrap_data()
{
    QTest::addColumn<long>("start");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<long>("offset");
    QTest::addColumn<bool>("partial");
    // Capacity 16: element i of the data lies at (start + i) mod 16.
    QTest::newRow("wrap after T") << 14L << QByteArray("xTALV") << 1L << false;
    QTest::newRow("wrap after TA") << 14L << QByteArray("TALVy") << 0L << false;
    QTest::newRow("wrap after TAL") << 13L << QByteArray("TALVy") << 0L << false;
    QTest::newRow("TTALV across the wrap") << 14L << QByteArray("TTALV") << 1L << false;
    QTest::newRow("prefix across the wrap") << 12L << QByteArray("abcTAL") << 3L << true;
    QTest::newRow("full queue, key at the end") << 9L << QByteArray("0123456789abTALV") << 12L << false;
}

void tst_CircularQueue::findAcrossTheWrap()
{
    QFETCH(long, start);
    QFETCH(QByteArray, data);
    QFETCH(long, offset);
    QFETCH(bool, partial);
    CircularQueue<char> q(16);
    advanceTo(q, start);
    QCOMPARE(q.Write(data.data(), data.size()), short(0));

    const FindResult r = ::find(q);
    QCOMPARE(r.partial, partial);
    QCOMPARE(r.offset, offset);

    // Reading `offset` elements brings the key (or its prefix) to the head.
    QByteArray skipped(int(offset), '\0');
    QCOMPARE(q.Read(skipped.data(), offset), short(0));
    QVERIFY(readAll(q).startsWith(partial ? key.left(int(data.size() - offset)) : key));
}

void tst_CircularQueue::findAgreesWithReferenceOnRandomData()
{
    // Small alphabet so that keys, near-keys and prefixes are frequent.
    const char alphabet[] = "TALVx";
    QRandomGenerator rng(20261207);
    const long size = 24;
    for (int round = 0; round < 20000; ++round) {
        CircularQueue<char> q(size);
        advanceTo(q, long(rng.bounded(int(size))));
        QByteArray data;
        const int len = rng.bounded(int(size) + 1);
        for (int i = 0; i < len; ++i)
            data += alphabet[rng.bounded(5)];
        QCOMPARE(q.Write(data.data(), data.size()), short(0));
        const QByteArray pattern = rng.bounded(4) == 0 ? QByteArray("TAT") : key;

        const FindResult got = ::find(q, pattern);
        const FindResult want = referenceFind(data, pattern);
        if (got.offset != want.offset || got.partial != want.partial)
            QFAIL(qPrintable(QStringLiteral("data \"%1\" pattern \"%2\": got %3/%4, want %5/%6")
                                 .arg(QString::fromLatin1(data), QString::fromLatin1(pattern))
                                 .arg(got.offset).arg(got.partial).arg(want.offset).arg(want.partial)));
    }
}

void tst_CircularQueue::purgeEmptiesFullQueue()
{
    CircularQueue<char> q(16);
    advanceTo(q, 5);
    QByteArray data(16, 'f');
    QCOMPARE(q.Write(data.data(), data.size()), short(0));
    q.Purge();
    QCOMPARE(q.NumData(), 0L);
    QCOMPARE(q.FreeSpace(), 16L);
    const FindResult r = ::find(q, "f");
    QCOMPARE(r.offset, -1L);
    char c = 'q';
    QCOMPARE(q.Read(&c, 1), short(-1));

    // Full capacity is usable again and nothing old comes back.
    QByteArray fresh("0123456789abcdef");
    QCOMPARE(q.Write(fresh.data(), fresh.size()), short(0));
    QCOMPARE(readAll(q), fresh);
}

namespace {

// Byte n of the test stream: a position-dependent pattern whose period (251)
// is prime to every block size, so lost, repeated or reordered blocks show.
inline unsigned char streamByte(quint64 n)
{
    return static_cast<unsigned char>((n % 251) ^ (n >> 16));
}

// A plain thread, joined: a QThread's own event dispatcher and its
// hand-over at the end happen in uninstrumented Qt and glib code, which
// ThreadSanitizer then reports as races of theirs.
class Producer
{
public:
    Producer(CircularQueue<unsigned char> *q, quint64 total) : _q(q), _total(total) {}
    std::atomic<int> failedWrites{0};

    void run()
    {
        QRandomGenerator rng(1);
        std::vector<unsigned char> block(20000);
        quint64 sent = 0;
        while (sent < _total) {
            const long room = _q->FreeSpace();
            if (room == 0) {
                QThread::yieldCurrentThread();
                continue;
            }
            long n = std::min<long>(room, long(rng.bounded(1, int(block.size()))));
            n = long(std::min<quint64>(quint64(n), _total - sent));
            for (long i = 0; i < n; ++i)
                block[size_t(i)] = streamByte(sent + quint64(i));
            // The free room can only grow meanwhile, so this write must fit.
            if (_q->Write(block.data(), n) != 0)
                failedWrites.fetch_add(1);
            sent += quint64(n);
        }
    }

private:
    CircularQueue<unsigned char> *_q;
    quint64 _total;
};

} // namespace

void tst_CircularQueue::twoThreadsMoveEveryByteInOrder()
{
    const quint64 total = 100ull * 1000 * 1000;
    CircularQueue<unsigned char> q(65536);
    Producer producer(&q, total);
    std::thread thread(&Producer::run, &producer);

    QRandomGenerator rng(2);
    std::vector<unsigned char> block(30000);
    quint64 received = 0;
    quint64 firstBad = total;
    int failedReads = 0;
    while (received < total) {
        const long queued = q.NumData();
        if (queued == 0) {
            QThread::yieldCurrentThread();
            continue;
        }
        const long n = std::min<long>(queued, long(rng.bounded(1, int(block.size()))));
        if (q.Read(block.data(), n) != 0)
            ++failedReads;
        for (long i = 0; i < n && firstBad == total; ++i) {
            if (block[size_t(i)] != streamByte(received + quint64(i)))
                firstBad = received + quint64(i);
        }
        received += quint64(n);
    }
    thread.join();
    QCOMPARE(producer.failedWrites.load(), 0);
    QCOMPARE(failedReads, 0);
    QCOMPARE(firstBad, total);
    QCOMPARE(q.NumData(), 0L);
}

QTEST_GUILESS_MAIN(tst_CircularQueue)
#include "tst_circularqueue.moc"
