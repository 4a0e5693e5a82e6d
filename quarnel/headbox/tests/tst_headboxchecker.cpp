// The presence checker over the real library on the simulated FPGA.
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTest>

#include <mutex>
#include <sys/types.h>
#include <thread>
#include <unistd.h>

#include "headboxchecker.h"
#include "orv.h"
#include "recordingorvinterface.h"
#include "simulatedpanel.h"

using namespace simpanel;

namespace {
// The checker's reports, noted on the checker's thread as they are emitted
// (std::mutex: ThreadSanitizer follows it, not the inside of Qt's).
class Reports : public QObject
{
    Q_OBJECT
public:
    struct Report
    {
        bool found;
        QString serial;
        short count;
        qint64 at;
    };
    Reports() { clock.start(); }
    QList<Report> list() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return reports;
    }
    int count() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return reports.size();
    }

public slots:
    void ConnectionFound(bool found, QString serial, short count)
    {
        std::lock_guard<std::mutex> lock(mutex);
        reports.append({found, serial, count, clock.elapsed()});
    }

private:
    mutable std::mutex mutex;
    QList<Report> reports;
    QElapsedTimer clock;
};

// The checker with the rest between two checks in the test's hands: each
// rest is counted and lasts until the test ticks (30 s at most, a safety
// net). Pause waits for a check under way as long as a test needs.
class TickedChecker : public HeadboxChecker
{
public:
    explicit TickedChecker(Orv *orv) : HeadboxChecker(orv) {}
    void tick() { ticks.release(); }

    std::atomic<int> rests{0};         // rests begun
    std::atomic<int> restsOver{0};     // rests ended
    std::atomic<unsigned long> restMs{0};
    std::atomic<pid_t> tid{0};         // the loop's thread
    std::atomic<int> waitLimitMs{60000};
    QSemaphore ticks;

protected:
    void Rest(unsigned long ms) override
    {
        tid = ::gettid();
        restMs = ms;
        ++rests;
        ticks.tryAcquire(1, 30000);
        ++restsOver;
    }
    int PauseWaitLimitMs() const override { return waitLimitMs; }
};

// The scheduler's state of a thread of this process: 'S' while it sleeps.
char threadState(pid_t tid)
{
    QFile stat(QString("/proc/self/task/%1/stat").arg(tid));
    if (!stat.open(QIODevice::ReadOnly))
        return '?';
    const QByteArray line = stat.readAll();
    const int name = line.lastIndexOf(')');
    return name >= 0 && name + 2 < line.size() ? line.at(name + 2) : '?';
}

// True once the loop has ended its rest number `rests` and sleeps again:
// paused, it sleeps only waiting for Resume (a check would first select the
// channel, which the callers see on the link).
bool asleepAfterRest(TickedChecker *checker, int rests)
{
    return QTest::qWaitFor([&] { return checker->restsOver == rests; }, 10000)
           && QTest::qWaitFor([&] { return threadState(checker->tid) == 'S'; }, 10000);
}

// Notes the end of a thread from the ending thread itself: a hand-over that
// ThreadSanitizer sees, where the one inside QThread::wait() is hidden in Qt.
class ThreadEnd : public QObject
{
    Q_OBJECT
public:
    std::atomic<bool> ended{false};
public slots:
    void Finished() { ended = true; }
};

struct Rig
{
    // A checker whose rests the test ticks, or with realRest the one the
    // hub uses.
    explicit Rig(FpgaSim *chip, bool realRest = false) : sim(chip)
    {
        // The headbox drops a frame whose bytes stop coming for 100 ms; on a
        // loaded machine the checker's thread can be held up that long in
        // the middle of its frame, and the library's reader past the
        // answer's 200 ms. No check here is about those times.
        sim->holdClock();
        link = new SimLink(sim);
        link->settleReads = true;
        link->SetUsb();
        orv = new Orv(link, nullptr);
        ticked = realRest ? nullptr : new TickedChecker(orv);
        checker = ticked ? ticked : new HeadboxChecker(orv);
        QObject::connect(checker, &HeadboxChecker::ConnectionFound, &reports,
                         &Reports::ConnectionFound, Qt::DirectConnection);
        QObject::connect(checker, &HeadboxChecker::finished, &threadEnd, &ThreadEnd::Finished, Qt::DirectConnection);
    }
    ~Rig()
    {
        // Told to end before its rests are let go: no further check.
        checker->Terminate();
        if (ticked)
            ticked->ticks.release(1000);
        checker->Stop();
        // Seen by ThreadSanitizer too (see ThreadEnd), if the thread ran.
        while (checker->isFinished() && !threadEnd.ended)
            QThread::yieldCurrentThread();
        delete checker;
        delete orv;
        delete link;
    }
    // Only identification frames go out in these tests: count them by the
    // bytes the FPGA has been given, a fresh list that the link's thread
    // does not share.
    int identifications() const
    {
        return sim->writesTo(14).size() / identifyFrame().size();
    }
    int registerWrites() const { return sim->writes().size(); }

    FpgaSim *sim;
    Reports reports;
    ThreadEnd threadEnd;
    SimLink *link;
    Orv *orv;
    TickedChecker *ticked;
    HeadboxChecker *checker;
};

// The checker over a recording link whose identification frame the test
// holds up or answers: the thread under test is the only one touching it.
struct SlowRig
{
    SlowRig()
    {
        orv = new Orv(&link, nullptr);
        checker = new TickedChecker(orv);
        QObject::connect(checker, &HeadboxChecker::ConnectionFound, &reports,
                         &Reports::ConnectionFound, Qt::DirectConnection);
        QObject::connect(checker, &HeadboxChecker::finished, &threadEnd, &ThreadEnd::Finished, Qt::DirectConnection);
        link.setWriteHook([this](const QByteArray &bytes, int) {
            if (bytes != identifyFrame())
                return;
            if (!serial.isEmpty())
                link.feedRx(onTheWire(serial), -1);
            ++framesSent;
            if (holdFrame)
                released.tryAcquire(1, 20000);
            else if (frameDelayMs > 0)
                QThread::msleep(frameDelayMs);
            ++framesDone;
        });
    }
    ~SlowRig()
    {
        released.release(100);
        checker->Terminate();
        checker->ticks.release(1000);
        checker->Stop();
        // Already true; read so that the thread's last steps precede the
        // deletes for ThreadSanitizer too.
        while (!threadEnd.ended)
            QThread::yieldCurrentThread();
        delete checker;
        delete orv;
    }

    RecordingOrvInterface link;
    Reports reports;
    ThreadEnd threadEnd;
    Orv *orv;
    TickedChecker *checker;
    QByteArray serial;
    std::atomic<unsigned long> frameDelayMs{0};
    bool holdFrame = false;
    QSemaphore released;
    std::atomic<int> framesSent{0};
    std::atomic<int> framesDone{0};
};
} // namespace

class tst_HeadboxChecker : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void reportsHeadboxEveryCycle();
    void reportsAbsenceWhileRunning();
    void pauseDuringCheck_data();
    void pauseDuringCheck();
    void pauseWaitsForCheckUnderWay_data();
    void pauseWaitsForCheckUnderWay();
    void pauseGivesUpOnHangingCheck();
    void resumeAndTerminateDuringWaitingPause();
    void pauseAndResumeTexts();
    void terminateNeedsResume();
    void terminateWhileRunning();
};

void tst_HeadboxChecker::initTestCase()
{
    // With TZ unset glibc reloads the zone at every local time conversion,
    // under a lock of its own that ThreadSanitizer does not see; the same
    // zone named once is loaded once.
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QTime::currentTime();
    useSimulatedFpga();
}

// The loop as the hub runs it, at its own pace.
void tst_HeadboxChecker::reportsHeadboxEveryCycle()
{
    Rig rig(freshChip(1, {"ABC-1234/56-789"}), true);
    rig.checker->start(QThread::InheritPriority);
    QTRY_VERIFY_WITH_TIMEOUT(rig.reports.count() >= 3, 10000);
    const QList<Reports::Report> got = rig.reports.list();
    for (const Reports::Report &r : got) {
        QVERIFY(r.found);
        QCOMPARE(r.serial, QString("ABC-1234/56-789"));
        QCOMPARE(r.count, short(1));
    }
    // A cycle: the 300 ms rest and the check's 200 ms answer wait at least.
    const qint64 span = got.at(2).at - got.at(0).at;
    QVERIFY2(span >= 2 * 495, qPrintable(QString::number(span)));
}

void tst_HeadboxChecker::reportsAbsenceWhileRunning()
{
    Rig rig(freshChip(0));
    rig.checker->start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.ticked->rests.load(), 1, 10000);
    rig.ticked->tick();
    QTRY_COMPARE_WITH_TIMEOUT(rig.ticked->rests.load(), 2, 10000);
    QCOMPARE(rig.ticked->restMs.load(), 300ul);
    // One report a cycle.
    QCOMPARE(rig.reports.count(), 2);
    for (const Reports::Report &r : rig.reports.list()) {
        QVERIFY(!r.found);
        QCOMPARE(r.serial, QString(""));
        QCOMPARE(r.count, short(0));
    }
    QCOMPARE(rig.identifications(), 2);

    // Paused during the rest: nothing at all once it is over.
    rig.checker->Pause();
    const int writes = rig.registerWrites();
    rig.ticked->tick();
    QVERIFY(asleepAfterRest(rig.ticked, 2));
    QCOMPARE(rig.registerWrites(), writes);
    QCOMPARE(rig.reports.count(), 2);
    QVERIFY(rig.checker->isRunning());

    rig.checker->Resume();
    QTRY_COMPARE_WITH_TIMEOUT(rig.ticked->rests.load(), 3, 10000);
    QCOMPARE(rig.reports.count(), 3);
    QVERIFY(!rig.reports.list().last().found);
    QCOMPARE(rig.identifications(), 3);
}

// Pause while a check is under way (here from the check itself, as soon as
// its command is on the link): a failure is held back, a headbox found is
// still reported; then the loop stops before the next check.
void tst_HeadboxChecker::pauseDuringCheck_data()
{
    QTest::addColumn<int>("headboxes");
    QTest::addColumn<int>("reports");
    QTest::newRow("failing check reports nothing") << 0 << 0;
    QTest::newRow("successful check still reports") << 1 << 1;
}

void tst_HeadboxChecker::pauseDuringCheck()
{
    QFETCH(int, headboxes);
    Rig rig(freshChip(headboxes));
    HeadboxChecker *checker = rig.checker;
    rig.link->afterWrite = [checker](const QByteArray &bytes) {
        if (bytes == identifyFrame())
            checker->Pause();
    };
    rig.checker->start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.ticked->rests.load(), 1, 10000);
    QTEST(rig.reports.count(), "reports");
    if (headboxes)
        QVERIFY(rig.reports.list().first().found);

    const int writes = rig.registerWrites();
    rig.ticked->tick();
    QVERIFY(asleepAfterRest(rig.ticked, 1));
    QCOMPARE(rig.registerWrites(), writes);
    QCOMPARE(rig.identifications(), 1);
    QTEST(rig.reports.count(), "reports");
    QVERIFY(rig.checker->isRunning());
}

// An exam starts right after Pause returns: from then on the link is the
// relay's, so the check under way must be over and nothing more may come.
void tst_HeadboxChecker::pauseWaitsForCheckUnderWay_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<int>("frameDelayMs");
    QTest::addColumn<int>("readTimeoutMs");

    QTest::newRow("failing check, slow channel reads") << QByteArray() << 0 << 400;
    QTest::newRow("successful check, slow command write") << QByteArray("ABC-1234/56-789") << 700 << 0;
}

void tst_HeadboxChecker::pauseWaitsForCheckUnderWay()
{
    QFETCH(QByteArray, serial);
    QFETCH(int, frameDelayMs);
    QFETCH(int, readTimeoutMs);
    SlowRig rig;
    rig.serial = serial;
    rig.frameDelayMs = ulong(frameDelayMs);
    rig.link.setReadTimeoutMs(readTimeoutMs);
    rig.checker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.framesSent >= 1, 10000);

    // Lands during the check's slow part (or, on a machine that holds this
    // thread up, after the check: the outcome is the same).
    rig.checker->Pause();
    const QList<RecordingOrvInterface::Call> atReturn = rig.link.calls();

    // The whole check lies before the return: the answer was read and the
    // shared channel selected again (register 15 back to 0).
    QCOMPARE(rig.framesDone.load(), 1);
    QVERIFY(!rig.link.calls("Read").isEmpty());
    QVERIFY(!rig.link.registerWrites().isEmpty());
    QCOMPARE(rig.link.registerWrites().last(), qMakePair(15, 0));
    // What the check under way reports is unchanged: a success only.
    QTRY_COMPARE_WITH_TIMEOUT(rig.checker->rests.load(), 1, 10000);
    QCOMPARE(rig.reports.count(), serial.isEmpty() ? 0 : 1);
    if (!serial.isEmpty())
        QCOMPARE(rig.reports.list().first().serial, QString(serial));
    rig.checker->tick();
    QVERIFY(asleepAfterRest(rig.checker, 1));
    QCOMPARE(rig.link.calls().size(), atReturn.size());
    QCOMPARE(rig.framesSent.load(), 1);
    QVERIFY(rig.checker->isRunning());

    // Paused again while blocked: returns at once (no waiting for the
    // limit), touches nothing.
    QElapsedTimer clock;
    clock.start();
    rig.checker->Pause();
    QVERIFY(clock.elapsed() < rig.checker->waitLimitMs / 2);
    QCOMPARE(rig.link.calls().size(), atReturn.size());

    // Resumed: the next check (a quick one).
    rig.frameDelayMs = 0;
    rig.link.setReadTimeoutMs(0);
    rig.checker->Resume();
    QTRY_VERIFY_WITH_TIMEOUT(rig.framesSent >= 2, 10000);
}

// A link that hangs must not freeze the panel: Pause gives up after its
// bound and says so; the check, once over, still stops at the pause point.
void tst_HeadboxChecker::pauseGivesUpOnHangingCheck()
{
    SlowRig rig;
    rig.holdFrame = true;
    rig.checker->waitLimitMs = 300;
    rig.checker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.framesSent >= 1, 10000);

    MessageCapture debug;
    QElapsedTimer clock;
    clock.start();
    rig.checker->Pause();
    const qint64 waited = clock.elapsed();
    QCOMPARE(rig.framesDone.load(), 0);
    QVERIFY2(waited >= 300, qPrintable(QString::number(waited)));
    QVERIFY2(debug.messages().filter("check headbox pause: check still under way after 300 ms").size() == 1,
             qPrintable(debug.messages().join('\n')));

    rig.released.release();
    QTRY_COMPARE_WITH_TIMEOUT(rig.checker->rests.load(), 1, 10000);
    QCOMPARE(rig.framesDone.load(), 1);
    rig.checker->tick();
    QVERIFY(asleepAfterRest(rig.checker, 1));
    QCOMPARE(rig.framesSent.load(), 1);
    QCOMPARE(rig.reports.count(), 0);
}

// Resume and Terminate from another thread go through while Pause waits for
// the check; the loop then ends after that check.
void tst_HeadboxChecker::resumeAndTerminateDuringWaitingPause()
{
    SlowRig rig;
    rig.holdFrame = true;
    rig.checker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.framesSent >= 1, 10000);

    MessageCapture debug;
    std::atomic<bool> otherDone{false};
    std::atomic<int> framesDoneThen{-1};
    std::thread other([&] {
        // Once Pause has begun (its first step is this line).
        while (debug.messages().filter("check headbox pause").isEmpty())
            QThread::yieldCurrentThread();
        rig.checker->Resume();
        rig.checker->Terminate();
        framesDoneThen = rig.framesDone.load();
        otherDone = true;
        rig.released.release();
    });
    rig.checker->Pause();
    other.join();
    QVERIFY(otherDone);
    QCOMPARE(framesDoneThen.load(), 0);
    QVERIFY(rig.checker->wait(10000));
    QCOMPARE(rig.framesSent.load(), 1);
    QCOMPARE(rig.checker->rests.load(), 0);
}

void tst_HeadboxChecker::pauseAndResumeTexts()
{
    Rig rig(freshChip(0));
    MessageCapture debug;
    rig.checker->Pause();
    rig.checker->Resume();
    const QStringList messages = debug.messages();
    QCOMPARE(messages.size(), 2);
    QVERIFY2(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d check headbox pause$").match(messages.at(0)).hasMatch(),
             qPrintable(messages.at(0)));
    QVERIFY2(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d check headbox resume$").match(messages.at(1)).hasMatch(),
             qPrintable(messages.at(1)));
}

void tst_HeadboxChecker::terminateNeedsResume()
{
    Rig rig(freshChip(0));
    rig.checker->start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.ticked->rests.load(), 1, 10000);
    rig.checker->Pause();
    rig.ticked->tick();
    QVERIFY(asleepAfterRest(rig.ticked, 1));
    const int sent = rig.identifications();
    rig.checker->Terminate();
    // Blocked at the pause point, Terminate reaches nobody.
    QVERIFY(!rig.checker->wait(200));
    QCOMPARE(rig.identifications(), sent);

    // Resumed: one more check, then the loop ends (without a rest).
    rig.checker->Resume();
    QVERIFY(rig.checker->wait(10000));
    QCOMPARE(rig.identifications(), sent + 1);
    QCOMPARE(rig.ticked->rests.load(), 1);
}

// Terminate during the rest (the hub's Resume first): the loop ends without
// another check.
void tst_HeadboxChecker::terminateWhileRunning()
{
    Rig rig(freshChip(1));
    rig.checker->start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.ticked->rests.load(), 1, 10000);
    rig.checker->Resume();
    rig.checker->Terminate();
    rig.ticked->tick();
    QVERIFY(rig.checker->wait(10000));
    QCOMPARE(rig.reports.count(), 1);
    QCOMPARE(rig.identifications(), 1);
}

QTEST_GUILESS_MAIN(tst_HeadboxChecker)
#include "tst_headboxchecker.moc"
