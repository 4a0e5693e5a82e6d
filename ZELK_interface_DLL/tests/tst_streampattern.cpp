#include "streampattern.h"

#include <QRandomGenerator>
#include <QTest>

class tst_streampattern : public QObject
{
    Q_OBJECT

private slots:
    void intactStreamInAnyChunks_data();
    void intactStreamInAnyChunks();
    void faults_data();
    void faults();
    void lockOnSkipsTrafficBefore();
    void timeWordsGiveTheLatency_data();
    void timeWordsGiveTheLatency();
    void latencyPercentiles();
};

static void feedInChunks(StreamChecker &checker, const QByteArray &data, quint32 seed)
{
    QRandomGenerator random(seed);
    int at = 0;
    while (at < data.size()) {
        const int n = qMin(data.size() - at, int(random.bounded(1, 40)));
        checker.feed(data.constData() + at, size_t(n));
        at += n;
    }
}

void tst_streampattern::intactStreamInAnyChunks_data()
{
    QTest::addColumn<int>("headbox");
    QTest::addColumn<int>("words");
    QTest::addColumn<quint32>("seed");

    QTest::newRow("headbox 1") << 1 << 1000 << 1u;
    QTest::newRow("headbox 4") << 4 << 3000 << 2u;
    QTest::newRow("a single word") << 2 << 1 << 3u;
}

void tst_streampattern::intactStreamInAnyChunks()
{
    QFETCH(int, headbox);
    QFETCH(int, words);
    QFETCH(quint32, seed);
    const QByteArray data = StreamPattern::bytes(headbox, 0, uint64_t(words), StreamPattern::nowNs());
    StreamChecker checker;
    feedInChunks(checker, data, seed);
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QCOMPARE(checker.headbox(), headbox);
    QCOMPARE(checker.words(), uint64_t(words));
    QCOMPARE(checker.bytes(), uint64_t(data.size()));
    QCOMPARE(checker.nextSequence(), uint64_t(words));
    QCOMPARE(checker.latencySamples(), uint64_t(words / 128));
}

void tst_streampattern::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<uint64_t>("lost");
    QTest::addColumn<uint64_t>("duplicated");
    QTest::addColumn<uint64_t>("corrupt");
    QTest::addColumn<QString>("error");

    QTest::newRow("word lost") << "drop" << uint64_t(1) << uint64_t(0) << uint64_t(0)
                               << "byte offset 4000 (word 500): 1 words lost";
    QTest::newRow("word duplicated") << "repeat" << uint64_t(0) << uint64_t(1) << uint64_t(0)
                                     << "byte offset 4008 (word 501): duplicated";
    QTest::newRow("byte changed") << "flip" << uint64_t(0) << uint64_t(0) << uint64_t(1)
                                  << "byte offset 4000 (word 500): corrupted";
    QTest::newRow("time word corrupted") << "flipTime" << uint64_t(0) << uint64_t(0) << uint64_t(1)
                                         << "byte offset 5112 (word 639): corrupted";
}

void tst_streampattern::faults()
{
    QFETCH(QString, fault);
    QByteArray data = StreamPattern::bytes(3, 0, 1000, 12345);
    if (fault == "drop")
        data.remove(500 * 8, 8);
    else if (fault == "repeat")
        data.insert(501 * 8, data.mid(500 * 8, 8));
    else if (fault == "flip")
        data[500 * 8 + 2] = char(data.at(500 * 8 + 2) ^ 0x10);
    else
        data[639 * 8 + 7] = char(0xB4);   // tag of another headbox
    StreamChecker checker(3);
    feedInChunks(checker, data, 7);
    QVERIFY(!checker.ok());
    QTEST(checker.lostWords(), "lost");
    QTEST(checker.duplicatedWords(), "duplicated");
    QTEST(checker.corruptWords(), "corrupt");
    QFETCH(QString, error);
    QVERIFY2(checker.firstError().startsWith(error), qPrintable(checker.firstError()));
    // One fault is counted once: the check continues in step afterwards.
    QCOMPARE(checker.lostWords() + checker.duplicatedWords() + checker.corruptWords(),
             uint64_t(1));
}

void tst_streampattern::lockOnSkipsTrafficBefore()
{
    const QByteArray before = QByteArray("\x00\x00\x00\xA1\x00", 5) + QByteArray(9, '\0');
    const QByteArray data = before + StreamPattern::bytes(1, 0, 300);
    StreamChecker locking(0, true);
    feedInChunks(locking, data, 11);
    QVERIFY2(locking.ok(), qPrintable(locking.firstError()));
    QCOMPARE(locking.skippedBytes(), uint64_t(before.size()));
    QCOMPARE(locking.words(), uint64_t(300));

    StreamChecker strict;
    strict.feed(data);
    QVERIFY(!strict.ok());
}

void tst_streampattern::timeWordsGiveTheLatency_data()
{
    QTest::addColumn<quint64>("stampedNs");
    QTest::addColumn<quint64>("arrivedNs");

    QTest::newRow("2 ms") << quint64(5000000000) << quint64(5002000000);
    // The stamp keeps 48 bits of the clock: the difference is taken modulo 2^48.
    QTest::newRow("stamp field wraps") << quint64(StreamPattern::timeMask - 999999)
                                      << quint64(StreamPattern::timeMask + 1000001);
}

void tst_streampattern::timeWordsGiveTheLatency()
{
    QFETCH(quint64, stampedNs);
    QFETCH(quint64, arrivedNs);
    StreamChecker checker;
    checker.feed(StreamPattern::bytes(2, 0, 256, stampedNs), arrivedNs);
    QVERIFY(checker.ok());
    QCOMPARE(checker.latencySamples(), uint64_t(2));
    QCOMPARE(checker.latencyMinNs(), int64_t(arrivedNs - stampedNs));
    QCOMPARE(checker.latencyMaxNs(), int64_t(arrivedNs - stampedNs));
}

void tst_streampattern::latencyPercentiles()
{
    // Time word k was stamped (k + 1) ms before it arrives: 1 ms .. 100 ms,
    // fed in shuffled order of delay so the percentiles must sort.
    const uint64_t now = uint64_t(1000) * 1000000000;
    StreamChecker checker(1);
    for (uint64_t k = 0; k < 100; ++k) {
        const uint64_t delayMs = (k * 37) % 100 + 1;
        checker.feed(StreamPattern::bytes(1, k * 128, 128, now - delayMs * 1000000), now);
    }
    QVERIFY(checker.ok());
    QCOMPARE(checker.latencySamples(), uint64_t(100));
    QCOMPARE(checker.latencyPercentileNs(0), int64_t(1000000));
    QCOMPARE(checker.latencyPercentileNs(50), int64_t(51000000));
    QCOMPARE(checker.latencyPercentileNs(99), int64_t(100000000));
    QCOMPARE(checker.latencyPercentileNs(100), int64_t(100000000));
    QCOMPARE(StreamChecker().latencyPercentileNs(50), int64_t(0));
}

QTEST_GUILESS_MAIN(tst_streampattern)
#include "tst_streampattern.moc"
