#include "ZELK_interface_DLL.h"
#include "fpgasim.h"
#include "streampattern.h"
#include "threadhandover.h"

#include <QTest>
#include <QThread>
#include <atomic>
#include <memory>
#include <vector>

#ifndef STREAM_MEGABYTES
#define STREAM_MEGABYTES 4
#endif

// A headbox stream through the whole library (simulated FIFO, reader thread,
// ring, read_data) checked byte by byte, while another thread works the
// registers and sends bytes as the program's other threads do.
class tst_stream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyByteArrivesOnce_data();
    void everyByteArrivesOnce();
};

void tst_stream::initTestCase()
{
    qputenv("ZELK_FPGA", "sim");
}

void tst_stream::everyByteArrivesOnce_data()
{
    QTest::addColumn<quint64>("rate");
    QTest::addColumn<uint>("chunk");
    QTest::addColumn<bool>("busyNeighbour");

    QTest::newRow("as fast as read, 4096-byte reads") << quint64(0) << 4096u << false;
    QTest::newRow("as fast as read, odd reads, busy neighbour") << quint64(0) << 1001u << true;
    // Paced like a headbox: the words trickle in a few at a time.
    QTest::newRow("2 MB/s, busy neighbour") << quint64(2000000) << 4096u << true;
}

void tst_stream::everyByteArrivesOnce()
{
    QFETCH(quint64, rate);
    QFETCH(uint, chunk);
    QFETCH(bool, busyNeighbour);
    // A paced stream runs for two seconds of its clock at most.
    const uint64_t total = rate ? qMin<uint64_t>(uint64_t(STREAM_MEGABYTES) * 1000000, rate * 2)
                                : uint64_t(STREAM_MEGABYTES) * 1000000;

    FpgaSim *sim = FpgaSim::instance();
    FpgaSimConfig config;
    config.byteRate = rate;
    sim->reset(config);
    ZELK_interface_DLL zelk;
    zelk.interface_open();
    zelk.set_timer(200);

    std::atomic<bool> done(false);
    std::unique_ptr<QThread> neighbour(QThread::create([&zelk, &done] {
        char opaque[8] = {'n', 'o', 't', ' ', 'a', 'f', 'r', 'm'};
        uint32_t n = 0;
        while (!done.load()) {
            uint16_t status[2] = {};
            zelk.verify_cyclone(status);
            zelk.write_on_register(8, 0x18);
            zelk.write_on_register(8, 0x08);
            zelk.send_data(opaque, sizeof opaque, &n);   // a streaming headbox takes them silently
            zelk.data_in_dxusb_queue(&n);
            zelk.return_counter_time();
        }
        THREAD_HANDOVER_ENDED(&done);
    }));

    // The paced stream follows the simulator's clock, moved on 50 us at a
    // time while the FIFO holds fewer than 256 words: the words trickle in
    // as from a headbox, and a reader that the machine holds up for a while
    // loses nothing (the FIFO's limit has a test of its own).
    std::unique_ptr<QThread> pacer(QThread::create([sim, &done] {
        while (!done.load()) {
            if (sim->fifoWords(0) < 256)
                sim->advanceClock(50000);
            else
                QThread::yieldCurrentThread();
        }
        THREAD_HANDOVER_ENDED(&done);
    }));
    if (rate) {
        sim->holdClock();
        pacer->start();
    }

    zelk.sync_start();
    // Once the headbox streams: before, it would echo the neighbour's bytes.
    if (busyNeighbour)
        neighbour->start();
    StreamChecker checker(1);
    std::vector<uint64_t> buffer(chunk / 8 + 1);
    QElapsedTimer timer;
    timer.start();
    while (checker.bytes() < total && checker.ok() && timer.elapsed() < 600000) {
        uint32_t n = 0;
        zelk.read_data(buffer.data(), chunk, &n);
        QVERIFY(n % 8 == 0 && n <= chunk);
        checker.feed(buffer.data(), n, sim->clockNs());
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    done = true;
    if (busyNeighbour) {
        neighbour->wait();
        THREAD_HANDOVER_JOINED(&done);
    }
    if (rate) {
        pacer->wait();
        THREAD_HANDOVER_JOINED(&done);
    }
    zelk.write_on_register(15, 0x80);   // sync off
    zelk.interface_close();

    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QVERIFY(checker.bytes() >= total);
    QCOMPARE(sim->lostWords(0), uint64_t(0));
    QCOMPARE(sim->emptyReads(), uint64_t(0));
    qInfo("%.1f MB in %.2f s (%.1f MB/s); latency of %llu time words: min %.1f us, mean %.1f us, max %.1f us",
          checker.bytes() / 1e6, seconds, checker.bytes() / 1e6 / seconds,
          (unsigned long long)checker.latencySamples(), checker.latencyMinNs() / 1e3,
          checker.latencyMeanNs() / 1e3, checker.latencyMaxNs() / 1e3);
}

QTEST_GUILESS_MAIN(tst_stream)
#include "tst_stream.moc"
