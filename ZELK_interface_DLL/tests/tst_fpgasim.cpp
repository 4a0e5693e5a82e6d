#include "fpgasim.h"
#include "streampattern.h"

#include <QRandomGenerator>
#include <QTest>

// The simulated FPGA seen from the register side, as the library uses it.
class tst_fpgasim : public QObject
{
    Q_OBJECT

private slots:
    void identification_data();
    void identification();
    void opaqueBytesComeBack_data();
    void opaqueBytesComeBack();
    void framesAmongOtherBytes();
    void halfFrameComesBackAfterATimeout();
    void cleanPulseEmptiesTheFifos();
    void eachHeadboxHearsItsChannel();
    void streamStartsAndStops_data();
    void streamStartsAndStops();
    void streamKeepsItsRate();
    void fullFifoLosesWords();
    void registers();
    void configurationFromTheEnvironment_data();
    void configurationFromTheEnvironment();
    void logsStayBounded();

private:
    static void selectChannels(int read, int write, bool sync = false)
    {
        FpgaSim::instance()->write(15, 0x80 | uint64_t(read) | uint64_t(write) << 3 | (sync ? 0x800 : 0));
    }
    static void send(const QByteArray &bytes)
    {
        for (char c : bytes)
            FpgaSim::instance()->write(14, uchar(c));
    }
    // Everything waiting on the read channel, as bytes.
    static QByteArray drain()
    {
        FpgaSim *sim = FpgaSim::instance();
        QByteArray out;
        for (uint64_t n = sim->read(9); n > 0; --n) {
            char word[8];
            StreamPattern::storeWord(word, sim->read(10));
            out.append(word, 8);
        }
        return out;
    }
    static QByteArray swapped(QByteArray serial)
    {
        serial = serial.leftJustified(16, '\0', true);
        for (int i = 0; i < 16; i += 2)
            std::swap(serial.data()[i], serial.data()[i + 1]);
        return serial;
    }
};

static const QByteArray identify("\r\nRDJW002002\r\n");
static const QByteArray stopFrame("\r\nRDJW008000\r\n");

void tst_fpgasim::identification_data()
{
    QTest::addColumn<int>("headboxes");
    QTest::addColumn<QList<QByteArray>>("serials");

    QTest::newRow("none") << 0 << QList<QByteArray>();
    QTest::newRow("one") << 1 << QList<QByteArray>{"ABC-1234/56-7"};
    QTest::newRow("two, defaults") << 2 << QList<QByteArray>();
    QTest::newRow("four") << 4 << QList<QByteArray>{"AAA-0001/01-1", "BBB-0002/02-2 ", "CCC-0003/03-33", "D"};
}

void tst_fpgasim::identification()
{
    QFETCH(int, headboxes);
    QFETCH(QList<QByteArray>, serials);
    FpgaSim *sim = FpgaSim::instance();
    FpgaSimConfig config;
    config.headboxes = headboxes;
    config.serials = serials;
    sim->reset(config);

    selectChannels(0, 0);
    send(identify);
    for (int channel = 0; channel <= 4; ++channel) {
        QByteArray expected;
        if (headboxes == 1 && channel == 0)
            expected = swapped(serials.at(0));
        if (headboxes > 1 && channel >= 1 && channel <= headboxes)
            expected = swapped(channel <= serials.size() ? serials.at(channel - 1)
                                                          : FpgaSimConfig::defaultSerial(channel));
        selectChannels(channel, 0);
        QCOMPARE(drain(), expected);
    }
    for (int h = 1; h <= headboxes; ++h)
        QCOMPARE(sim->receivedBy(h), identify);
    QCOMPARE(sim->sentOnChannel(0), identify);
}

void tst_fpgasim::opaqueBytesComeBack_data()
{
    QTest::addColumn<int>("headboxes");
    QTest::addColumn<int>("channel");

    QTest::newRow("single headbox, channel 0") << 1 << 0;
    QTest::newRow("headbox 3 of 4") << 4 << 3;
}

void tst_fpgasim::opaqueBytesComeBack()
{
    QFETCH(int, headboxes);
    QFETCH(int, channel);
    FpgaSimConfig config;
    config.headboxes = headboxes;
    FpgaSim::instance()->reset(config);

    QByteArray bytes(4096, Qt::Uninitialized);
    QRandomGenerator random(42);
    for (char &c : bytes)
        c = char(random.bounded(256));
    bytes.append("\x7F\x7F\x7F\x7F\x7F\x7F\x7F\x7F");   // ends no frame
    selectChannels(channel, channel);
    send(bytes);
    QCOMPARE(drain(), bytes);
}

void tst_fpgasim::framesAmongOtherBytes()
{
    FpgaSim::instance()->reset(FpgaSimConfig());
    selectChannels(0, 0);
    const QByteArray other("\r\nRDJW123456\r\n");
    send("abc\r\n" + identify + "\r\nRD" + other + "xyz" + stopFrame + "12345");
    // Whole words only: 5 + 16 + 4 + 14 + 3 + 5 = 47 bytes wait, 40 are readable.
    const QByteArray expected = "abc\r\n" + swapped(FpgaSimConfig::defaultSerial(1)) + "\r\nRD" + other + "xyz12345";
    QCOMPARE(drain(), expected.left(40));
    QCOMPARE(FpgaSim::instance()->fifoWords(0), 0u);
}

void tst_fpgasim::halfFrameComesBackAfterATimeout()
{
    FpgaSim *sim = FpgaSim::instance();
    sim->reset(FpgaSimConfig());
    sim->holdClock();
    selectChannels(0, 0);
    send("12345\r\nR");   // could still become a frame
    QCOMPARE(drain(), QByteArray());
    sim->advanceClock(100 * 1000000);
    QCOMPARE(drain(), QByteArray());
    sim->advanceClock(1);
    QCOMPARE(drain(), QByteArray("12345\r\nR"));
}

void tst_fpgasim::cleanPulseEmptiesTheFifos()
{
    FpgaSim *sim = FpgaSim::instance();
    sim->reset(FpgaSimConfig());
    sim->inject(0, "0123456789A");   // a word and three bytes of the next
    sim->inject(3, "01234567");
    sim->write(5, 0x4400);
    QCOMPARE(sim->fifoWords(0), 1u);
    sim->write(5, 0);
    QCOMPARE(sim->fifoWords(0), 0u);
    QCOMPARE(sim->fifoWords(3), 0u);
    sim->write(5, 0x40);
    // The answer that follows starts a word of its own.
    selectChannels(0, 0);
    send(identify);
    QCOMPARE(drain(), swapped(FpgaSimConfig::defaultSerial(1)));
}

void tst_fpgasim::eachHeadboxHearsItsChannel()
{
    FpgaSim *sim = FpgaSim::instance();
    FpgaSimConfig config;
    config.headboxes = 3;
    sim->reset(config);
    selectChannels(0, 2);
    send("only2---");
    selectChannels(0, 0);
    send("every1--");
    QCOMPARE(sim->receivedBy(1), QByteArray("every1--"));
    QCOMPARE(sim->receivedBy(2), QByteArray("only2---every1--"));
    QCOMPARE(sim->receivedBy(3), QByteArray("every1--"));
    QCOMPARE(sim->sentOnChannel(2), QByteArray("only2---"));
    QCOMPARE(sim->fifoWords(0), 0u);
    selectChannels(2, 0);
    QCOMPARE(drain(), QByteArray("only2---every1--"));
    for (int h = 1; h <= 3; ++h)
        QCOMPARE(sim->headboxChannel(h), h);
}

void tst_fpgasim::streamStartsAndStops_data()
{
    QTest::addColumn<bool>("byStopFrame");
    QTest::newRow("sync off") << false;
    QTest::newRow("stop frame") << true;
}

void tst_fpgasim::streamStartsAndStops()
{
    QFETCH(bool, byStopFrame);
    FpgaSim *sim = FpgaSim::instance();
    sim->reset(FpgaSimConfig());   // as fast as read
    selectChannels(0, 0);
    QCOMPARE(sim->read(9), 0u);
    selectChannels(0, 0, true);
    QVERIFY(sim->streaming(1));
    StreamChecker checker(1);
    for (int i = 0; i < 10; ++i)
        checker.feed(drain());
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QVERIFY(checker.words() >= 10 * 4096);
    send("opaque bytes while streaming");   // taken silently
    if (byStopFrame)
        send(stopFrame);
    else
        selectChannels(0, 0, false);
    QVERIFY(!sim->streaming(1));
    checker.feed(drain());
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QCOMPARE(checker.words(), sim->streamedWords(1));
    QCOMPARE(sim->read(9), 0u);

    // Sync on again: a new stream from word 0.
    if (byStopFrame)
        selectChannels(0, 0, false);
    selectChannels(0, 0, true);
    StreamChecker again(1);
    again.feed(drain());
    QVERIFY(again.ok());
    QVERIFY(again.words() > 0);
    QCOMPARE(sim->emptyReads(), 0u);
}

void tst_fpgasim::streamKeepsItsRate()
{
    FpgaSim *sim = FpgaSim::instance();
    FpgaSimConfig config;
    config.byteRate = 800000;   // a word every 10 us
    sim->reset(config);
    sim->holdClock();
    selectChannels(0, 0, true);
    StreamChecker checker(1);
    // 300 ms, read every 30 ms (3000 words: the FIFO holds them).
    for (int i = 0; i < 10; ++i) {
        sim->advanceClock(30 * 1000000);
        checker.feed(drain(), sim->clockNs());
    }
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QCOMPARE(checker.words(), uint64_t(30000));
    // Stamped when due: read at 210 ms, time word 20991 was 8 words old;
    // no word waited longer than one read interval.
    QCOMPARE(checker.latencySamples(), uint64_t(30000 / 128));
    QCOMPARE(checker.latencyMinNs(), int64_t(80000));
    QVERIFY(checker.latencyMaxNs() < 30 * 1000000);
    // Never ahead of the rate.
    sim->advanceClock(9999);
    QCOMPARE(drain(), QByteArray());
    sim->advanceClock(1);
    checker.feed(drain(), sim->clockNs());
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QCOMPARE(checker.words(), uint64_t(30001));
    QCOMPARE(sim->lostWords(0), 0u);
}

void tst_fpgasim::fullFifoLosesWords()
{
    FpgaSim *sim = FpgaSim::instance();
    FpgaSimConfig config;
    config.byteRate = 8000000000ULL;   // a word per ns, nobody reading
    sim->reset(config);
    sim->holdClock();
    selectChannels(0, 0, true);
    sim->advanceClock(5 * 1000000);
    QCOMPARE(sim->fifoWords(0), FpgaSim::fifoCapacityWords);
    QCOMPARE(sim->lostWords(0), 5000000 - FpgaSim::fifoCapacityWords);
    StreamChecker checker(1);
    checker.feed(drain());
    sim->advanceClock(2);   // the two words after the gap show it
    checker.feed(drain());
    QVERIFY(!checker.ok());
    QCOMPARE(checker.lostWords(), 5000000 - FpgaSim::fifoCapacityWords);
}

void tst_fpgasim::registers()
{
    FpgaSim *sim = FpgaSim::instance();
    FpgaSimConfig config;
    config.firmwareMajor = 5;
    config.firmwareMinor = 1;
    sim->reset(config);
    sim->write(1, 0xAAAA);
    QCOMPARE(sim->read(11), 0xAAAAu);
    QCOMPARE(sim->read(12), 5u);
    QCOMPARE(sim->read(13), 1u);
    sim->write(11, 0x1414);   // widths, not the read-back
    QCOMPARE(sim->read(11), 0xAAAAu);
    QVERIFY(sim->displayOn());
    sim->write(8, 0x18);
    QVERIFY(!sim->displayOn());
    sim->write(15, 0x28A1);
    QCOMPARE(sim->register15(), 0x28A1u);
    QCOMPARE(sim->readChannel(), 1);
    QCOMPARE(sim->writeChannel(), 4);
    QVERIFY(sim->syncOn());
    QCOMPARE(sim->read(10), 0u);
    QCOMPARE(sim->emptyReads(), 1u);
    sim->forceRead(12, 77);
    QCOMPARE(sim->read(12), 77u);
    sim->releaseRead(12);
    QCOMPARE(sim->read(12), 5u);
    QCOMPARE(sim->readCount(12), 3u);
    QCOMPARE(sim->writes().size(), 4);

    config.verifyFails = true;
    sim->reset(config);
    sim->write(1, 0xAAAA);
    QVERIFY(sim->read(11) != 0xAAAAu);
}

void tst_fpgasim::configurationFromTheEnvironment_data()
{
    QTest::addColumn<QByteArray>("headboxes");
    QTest::addColumn<QByteArray>("serials");
    QTest::addColumn<QByteArray>("firmware");
    QTest::addColumn<QByteArray>("rate");
    QTest::addColumn<QByteArray>("verifyFail");
    QTest::addColumn<int>("wantHeadboxes");
    QTest::addColumn<QList<QByteArray>>("wantSerials");
    QTest::addColumn<int>("wantMajor");
    QTest::addColumn<int>("wantMinor");
    QTest::addColumn<quint64>("wantRate");
    QTest::addColumn<bool>("wantFail");

    QTest::newRow("unset") << QByteArray() << QByteArray() << QByteArray() << QByteArray() << QByteArray()
                           << 1 << QList<QByteArray>() << 3 << 14 << quint64(0) << false;
    QTest::newRow("all set") << QByteArray("2") << QByteArray("AAA-0001/01-1,BBB-0002/02-2")
                             << QByteArray("2.7") << QByteArray("250000") << QByteArray("1") << 2
                             << QList<QByteArray>{"AAA-0001/01-1", "BBB-0002/02-2"} << 2 << 7
                             << quint64(250000) << true;
    QTest::newRow("invalid values keep defaults")
        << QByteArray("9") << QByteArray() << QByteArray("three") << QByteArray("fast") << QByteArray("0") << 1
        << QList<QByteArray>() << 3 << 14 << quint64(0) << false;
}

void tst_fpgasim::configurationFromTheEnvironment()
{
    const char *names[] = {"ZELK_SIM_HEADBOXES", "ZELK_SIM_SERIALS", "ZELK_SIM_FIRMWARE", "ZELK_SIM_RATE",
                           "ZELK_SIM_VERIFY_FAIL"};
    QFETCH(QByteArray, headboxes);
    QFETCH(QByteArray, serials);
    QFETCH(QByteArray, firmware);
    QFETCH(QByteArray, rate);
    QFETCH(QByteArray, verifyFail);
    const QByteArray set[] = {headboxes, serials, firmware, rate, verifyFail};
    for (int i = 0; i < 5; ++i) {
        if (set[i].isNull())
            qunsetenv(names[i]);
        else
            qputenv(names[i], set[i]);
    }
    const FpgaSimConfig config = FpgaSimConfig::fromEnvironment();
    for (const char *name : names)
        qunsetenv(name);
    QTEST(config.headboxes, "wantHeadboxes");
    QTEST(config.serials, "wantSerials");
    QTEST(int(config.firmwareMajor), "wantMajor");
    QTEST(int(config.firmwareMinor), "wantMinor");
    QTEST(quint64(config.byteRate), "wantRate");
    QTEST(config.verifyFails, "wantFail");
}

void tst_fpgasim::logsStayBounded()
{
    FpgaSim *sim = FpgaSim::instance();
    sim->reset(FpgaSimConfig());
    for (int i = 0; i < FpgaSim::logLimit + 10; ++i)
        sim->write(2, uint64_t(i));
    const QVector<FpgaSimWrite> log = sim->writes();
    QVERIFY(log.size() <= FpgaSim::logLimit);
    QCOMPARE(log.last().value, uint64_t(FpgaSim::logLimit + 9));
}

QTEST_GUILESS_MAIN(tst_fpgasim)
#include "tst_fpgasim.moc"
