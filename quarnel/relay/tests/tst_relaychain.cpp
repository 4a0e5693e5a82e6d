#include <QTest>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>

#include "fpgasim.h"
#include "harness.h"
#include "orv.h"
#include "orvinterfacezelk.h"
#include "quarnellog.h"
#include "quarnelprotocol.h"
#include "relaytestsupport.h"
#include "streampattern.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sched.h>

using namespace relaytest;

// The whole road of an exam on the simulated FPGA: library reader thread and
// word ring, OrvInterfaceZelk, the relay thread, its queues and a PC client
// on loopback.
#ifndef RELAYCHAIN_MEGABYTES
#define RELAYCHAIN_MEGABYTES 16
#endif

namespace {

// The cores a thread of this process may run on, by its name; empty when no
// thread has that name.
QByteArray allowedCpus(const QByteArray &threadName)
{
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : tasks) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(tid));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != threadName)
            continue;
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(tid));
        if (!status.open(QIODevice::ReadOnly))
            return QByteArray();
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Cpus_allowed_list:"))
                return line.mid(18).trimmed();
        }
    }
    return QByteArray();
}

// The library on the simulated FPGA; a write to the headboxes longer than
// cutAt bytes sends that many, then stops until the relay cuts it: the cut
// falls where the test wants it.
class CuttingLink : public OrvInterfaceZelk
{
public:
    using OrvInterfaceZelk::OrvInterfaceZelk;
    int WriteUntil(BYTE *command, int length, const std::atomic<bool> &stop) override
    {
        if (cutAt < 0 || length <= cutAt)
            return OrvInterfaceZelk::WriteUntil(command, length, stop);
        const int sent = OrvInterfaceZelk::WriteUntil(command, cutAt, stop);
        std::unique_lock<std::mutex> lock(holdMutex);
        stopped.wait_for(lock, std::chrono::seconds(30), [&] { return stop.load(); });
        return sent;
    }
    // Called once the relay has raised the stop flag.
    void wake()
    {
        std::lock_guard<std::mutex> lock(holdMutex);
        stopped.notify_all();
    }
    std::atomic<int> cutAt{-1};

private:
    std::mutex holdMutex;
    std::condition_variable stopped;
};

// Tells the link when the relay asks its writes to stop.
class CuttingRelay : public InterfaceReaderProbe
{
public:
    CuttingRelay(Orv *orv, QuarnelLog *log, CuttingLink *link) : InterfaceReaderProbe(orv, log), link(link) {}

protected:
    void WakeCommandSleep() override
    {
        InterfaceReaderProbe::WakeCommandSleep();
        link->wake();
    }

private:
    CuttingLink *link;
};

struct Chain
{
    explicit Chain(uint64_t byteRate = 0)
    {
        FpgaSimConfig config;
        config.headboxes = 1;
        config.byteRate = byteRate;
        sim = FpgaSim::instance();
        sim->reset(config);
        link = new CuttingLink(&log);
        link->Open();
        setUp = link->SetInterface();
        orv = new Orv(link, &log);
        relay = new CuttingRelay(orv, &log, link);
        relay->start();
    }
    ~Chain()
    {
        relay->Stop();
        delete relay;
        delete orv;
        link->Close();
        delete link;
    }

    // Both connections accepted by the relay before anything is sent: an
    // "ok" is lost while the answer connection waits to be accepted.
    bool connect(QTcpSocket *pc, QTcpSocket *answer)
    {
        pc->connectToHost(QHostAddress::LocalHost, QuarnelProtocol::DataPort);
        answer->connectToHost(QHostAddress::LocalHost, QuarnelProtocol::AnswerPort);
        return pc->waitForConnected(30000) && answer->waitForConnected(30000)
            && relay->acceptDataNow(30000) && relay->acceptAnswerNow(30000);
    }
    // Connected, then the acquisition started with a sync frame, as the exam
    // does.
    bool startExam(QTcpSocket *pc, QTcpSocket *answer)
    {
        if (!connect(pc, answer))
            return false;
        pc->write(frame(7, le16(1)));
        return receive(answer, 2, 30000) == QByteArray("ok");
    }

    QuarnelLog log;
    FpgaSim *sim;
    CuttingLink *link;
    short setUp;
    Orv *orv;
    InterfaceReaderProbe *relay;
};

} // namespace

class tst_RelayChain : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void headboxStreamReachesPcByteExact();
    void pcStreamWithFramesReachesHeadboxInOrder();
    void stopHonouredAfterWriteCutInsideFrame_data();
    void stopHonouredAfterWriteCutInsideFrame();
};

void tst_RelayChain::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    // Never the panel's register window.
    qputenv("ZELK_FPGA", "sim");
}

void tst_RelayChain::headboxStreamReachesPcByteExact()
{
    Chain chain;
    QCOMPARE(chain.setUp, short(0));
    QTcpSocket pc;
    QTcpSocket answer;
    chain.sim->clearWrites();
    QVERIFY(chain.startExam(&pc, &answer));
    QTRY_VERIFY_WITH_TIMEOUT(chain.sim->streaming(1), 30000);

    const quint64 want = quint64(RELAYCHAIN_MEGABYTES) * 1000 * 1000;
    StreamChecker checker(1);
    quint64 got = 0;
    QElapsedTimer t;
    t.start();
    while (got < want && t.elapsed() < 240000) {
        const QByteArray chunk = pc.readAll();
        if (chunk.isEmpty()) {
            QTest::qWait(1);
            continue;
        }
        checker.feed(chunk);
        got += quint64(chunk.size());
        if (!checker.ok())
            break;
    }
    const double seconds = double(t.elapsed()) / 1000.0;
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QVERIFY2(got >= want, qPrintable(QString("%1 bytes in %2 s").arg(got).arg(seconds)));
    QCOMPARE(checker.lostWords(), quint64(0));
    QCOMPARE(chain.sim->lostWords(0), quint64(0));
    qInfo("%.1f MB headbox -> PC in %.1f s (%.1f MB/s)", double(got) / 1e6, seconds, double(got) / 1e6 / seconds);

    // The two pollers share the highest core this process was given, and
    // leave the others to the GUI thread; on a single core nothing is pinned.
    cpu_set_t mine;
    QCOMPARE(sched_getaffinity(0, sizeof mine, &mine), 0);
    int highest = CPU_SETSIZE - 1;
    while (highest > 0 && !CPU_ISSET(highest, &mine))
        --highest;
    const QByteArray reader = allowedCpus("dxusb_read_rout");
    QVERIFY(!reader.isEmpty());
    QCOMPARE(allowedCpus("InterfaceReader"), reader);
    if (CPU_COUNT(&mine) > 1)
        QCOMPARE(reader, QByteArray::number(highest));

    // The PC leaves: the headbox is told to stop.
    pc.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(!chain.sim->streaming(1), 30000);
    QVERIFY(chain.sim->receivedBy(1).endsWith("\r\nRDJW008000\r\n"));
}

void tst_RelayChain::pcStreamWithFramesReachesHeadboxInOrder()
{
    Chain chain;
    QCOMPARE(chain.setUp, short(0));
    QTcpSocket pc;
    QTcpSocket answer;
    QVERIFY(chain.connect(&pc, &answer));
    chain.sim->clearWrites();

    // The headbox sends back what it hears (not streaming), in whole words.
    QRandomGenerator rng(11);
    const char letters[] = "TALV";
    QByteArray stream;
    int frames = 0;
    for (int i = 0; i < 24; ++i) {
        const int n = rng.bounded(0, 400);
        for (int k = 0; k < n; ++k)
            stream += rng.bounded(3) ? char(rng.bounded(256)) : letters[rng.bounded(4)];
        stream += i % 3 == 2 ? frame(6, le16(0)) : frame(qint16(i % 2 ? 0 : 10));
        ++frames;
    }
    StreamModel m = model(stream);
    const int pad = (8 - m.data.size() % 8) % 8;
    stream += QByteArray(pad, 'p');
    m = model(stream);
    QCOMPARE(m.frames.size(), frames);
    QVERIFY(m.waiting.isEmpty());

    int at = 0;
    while (at < stream.size()) {
        const int n = qMin(stream.size() - at, rng.bounded(1, 700));
        pc.write(stream.mid(at, n));
        pc.flush();
        at += n;
        QTest::qWait(rng.bounded(0, 30));
    }
    // About 250 us a byte on the link.
    QCOMPARE(receive(&answer, 2 * frames, 60000), QByteArray("ok").repeated(frames));
    const QByteArray echoed = receive(&pc, m.data.size(), 60000);
    QCOMPARE(echoed.size(), m.data.size());
    QVERIFY(echoed == m.data);
    QVERIFY(chain.sim->receivedBy(1) == m.data);
}

void tst_RelayChain::stopHonouredAfterWriteCutInsideFrame_data()
{
    QTest::addColumn<int>("cut");
    QTest::newRow("in the header") << 3;
    QTest::newRow("in the command") << 8;
    QTest::newRow("before the closing CR LF") << 12;
}

// The PC leaves while a headbox command frame is on its way to a streaming
// headbox: the headbox has part of it, then the end of the exam's stops.
// The simulated headbox gives up a half frame only as its clock moves,
// which the test holds: the stops meet the half frame, as they do when they
// follow the cut within the headbox's 100 ms.
void tst_RelayChain::stopHonouredAfterWriteCutInsideFrame()
{
    QFETCH(int, cut);
    Chain chain(8000);
    QTcpSocket pc;
    QTcpSocket answer;
    chain.sim->holdClock();
    QVERIFY(chain.startExam(&pc, &answer));
    QVERIFY(chain.sim->streaming(1));

    const QByteArray command("\r\nRDJW001001\r\n");
    const QByteArray stop("\r\nRDJW008000\r\n");
    chain.link->cutAt = cut;
    QVERIFY(chain.relay->queueTowardsHeadbox(command));
    QTRY_VERIFY_WITH_TIMEOUT(chain.sim->receivedBy(1).endsWith(command.left(cut)), 30000);
    QSignalSpy ended(chain.relay, &InterfaceReader::EndExamOrDisconnection);
    pc.abort();
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 30000);
    QVERIFY(chain.sim->receivedBy(1).endsWith(command.left(cut) + stop + stop));
    // Cut just short of its closing CR LF, the half frame is completed by
    // the first stop's CR LF; the stop the headbox takes last is the second.
    QCOMPARE(chain.sim->lastCommand(1), QByteArray("008000"));
    QVERIFY(!chain.sim->streaming(1));
}

QTEST_MAIN(tst_RelayChain)
#include "tst_relaychain.moc"
