// The presence checker over the real library on the simulated FPGA.
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSemaphore>
#include <QtTest>

#include <thread>

#include "headboxchecker.h"
#include "orv.h"
#include "orvinterfacezelk.h"
#include "recordingorvinterface.h"
#include "simulatedpanel.h"

using namespace simpanel;

namespace {
// Receives the checker's reports in the test thread (queued, as the hub does).
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
    QList<Report> list;
    QElapsedTimer clock;

public slots:
    void ConnectionFound(bool found, QString serial, short count)
    {
        list.append({found, serial, count, clock.elapsed()});
    }
};

struct Rig
{
    explicit Rig(FpgaSim *chip) : sim(chip)
    {
        link = new OrvInterfaceZelk(nullptr);
        link->SetUsb();
        orv = new Orv(link, nullptr);
        checker = new HeadboxChecker(orv);
        QObject::connect(checker, SIGNAL(ConnectionFound(bool, QString, short)), &reports,
                         SLOT(ConnectionFound(bool, QString, short)));
    }
    ~Rig()
    {
        checker->Resume();
        checker->Terminate();
        checker->wait();
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

    FpgaSim *sim;
    Reports reports;
    OrvInterfaceZelk *link;
    Orv *orv;
    HeadboxChecker *checker;
};

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

// The checker over a recording link whose identification frame the test
// holds up or answers: the thread under test is the only one touching it.
struct SlowRig
{
    SlowRig()
    {
        orv = new Orv(&link, nullptr);
        checker = new HeadboxChecker(orv);
        QObject::connect(checker, SIGNAL(ConnectionFound(bool, QString, short)), &reports,
                         SLOT(ConnectionFound(bool, QString, short)));
        QObject::connect(checker, SIGNAL(finished()), &threadEnd, SLOT(Finished()), Qt::DirectConnection);
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
        checker->Resume();
        checker->Terminate();
        checker->wait();
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
    HeadboxChecker *checker;
    QByteArray serial;
    unsigned long frameDelayMs = 0;
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
    void pauseDuringFailingCheckReportsNothing();
    void pauseDuringSuccessfulCheckStillReports();
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

void tst_HeadboxChecker::reportsHeadboxEveryCycle()
{
    Rig rig(freshChip(1, {"ABC-1234/56-789"}));
    rig.checker->start(QThread::InheritPriority);
    QTRY_VERIFY_WITH_TIMEOUT(rig.reports.list.size() >= 4, 10000);
    const QList<Reports::Report> got = rig.reports.list;
    for (const Reports::Report &r : got) {
        QVERIFY(r.found);
        QCOMPARE(r.serial, QString("ABC-1234/56-789"));
        QCOMPARE(r.count, short(1));
    }
    // Check (channel pause, clearing, 200 ms answer wait) plus 300 ms sleep.
    const qint64 span = got.at(3).at - got.at(0).at;
    QVERIFY2(span >= 3 * 480, qPrintable(QString::number(span)));
}

void tst_HeadboxChecker::reportsAbsenceWhileRunning()
{
    Rig rig(freshChip(0));
    rig.checker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.reports.list.size() >= 2, 10000);
    for (const Reports::Report &r : rig.reports.list) {
        QVERIFY(!r.found);
        QCOMPARE(r.serial, QString(""));
        QVERIFY(!r.serial.isNull() || r.serial.isEmpty());
        QCOMPARE(r.count, short(0));
    }
    // Paused: the check under way ends silently, then nothing at all.
    rig.checker->Pause();
    const int sentAtPause = rig.identifications();
    QTest::qWait(1500);
    const int reportsAfterSettling = rig.reports.list.size();
    QVERIFY(rig.identifications() <= sentAtPause + 1);
    const int sentWhilePaused = rig.identifications();
    QTest::qWait(1500);
    QCOMPARE(rig.reports.list.size(), reportsAfterSettling);
    QCOMPARE(rig.identifications(), sentWhilePaused);

    rig.checker->Resume();
    QTRY_VERIFY_WITH_TIMEOUT(rig.reports.list.size() > reportsAfterSettling, 10000);
    QVERIFY(!rig.reports.list.last().found);
}

void tst_HeadboxChecker::pauseDuringFailingCheckReportsNothing()
{
    Rig rig(freshChip(0));
    rig.checker->start();
    // Wait for a check to be under way: its command is on the link.
    QTRY_VERIFY_WITH_TIMEOUT(rig.identifications() >= 1, 10000);
    const int sent = rig.identifications();
    rig.checker->Pause();
    // The failing check under way (at least 400 ms: answer wait and one
    // empty channel read) finishes and blocks without a report.
    QTest::qWait(2000);
    QCOMPARE(rig.identifications(), sent);
    QCOMPARE(rig.reports.list.size(), 0);
    QVERIFY(rig.checker->isRunning());
}

// Only a failure is held back once paused: a headbox found by the check
// under way is still reported, then the thread blocks.
void tst_HeadboxChecker::pauseDuringSuccessfulCheckStillReports()
{
    Rig rig(freshChip(1));
    rig.checker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.identifications() >= 1, 10000);
    rig.checker->Pause();
    const int sent = rig.identifications();
    QTest::qWait(2000);
    QCOMPARE(rig.identifications(), sent);
    QCOMPARE(rig.reports.list.size(), 1);
    QVERIFY(rig.reports.list.first().found);
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

    rig.checker->Pause();
    const QList<RecordingOrvInterface::Call> atReturn = rig.link.calls();

    // The whole check lies before the return: the answer was read and the
    // shared channel selected again (register 15 back to 0).
    QCOMPARE(rig.framesDone.load(), 1);
    QVERIFY(!rig.link.calls("Read").isEmpty());
    QVERIFY(!rig.link.registerWrites().isEmpty());
    QCOMPARE(rig.link.registerWrites().last(), qMakePair(15, 0));
    QTest::qWait(1500);
    QCOMPARE(rig.link.calls().size(), atReturn.size());
    QCOMPARE(rig.framesSent.load(), 1);
    QVERIFY(rig.checker->isRunning());
    // What the check under way reports is unchanged: a success only.
    QCOMPARE(rig.reports.list.size(), serial.isEmpty() ? 0 : 1);
    if (!serial.isEmpty())
        QCOMPARE(rig.reports.list.first().serial, QString(serial));

    // Paused again while blocked: returns at once, touches nothing.
    QElapsedTimer clock;
    clock.start();
    rig.checker->Pause();
    QVERIFY(clock.elapsed() < 1000);
    QCOMPARE(rig.link.calls().size(), atReturn.size());

    rig.checker->Resume();
    QTRY_VERIFY_WITH_TIMEOUT(rig.framesSent >= 2, 10000);
}

// A link that hangs must not freeze the panel: Pause gives up after its
// bound and says so; the check, once over, still stops at the pause point.
void tst_HeadboxChecker::pauseGivesUpOnHangingCheck()
{
    SlowRig rig;
    rig.holdFrame = true;
    rig.checker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.framesSent >= 1, 10000);

    MessageCapture debug;
    QElapsedTimer clock;
    clock.start();
    rig.checker->Pause();
    const qint64 waited = clock.elapsed();
    QCOMPARE(rig.framesDone.load(), 0);
    QVERIFY2(waited >= 2500, qPrintable(QString::number(waited)));
    bool noted = false;
    for (const QString &m : debug.messages())
        noted = noted || m.contains("check headbox pause: check still under way");
    QVERIFY2(noted, qPrintable(debug.messages().join('\n')));

    rig.released.release();
    QTRY_COMPARE(rig.framesDone.load(), 1);
    QTest::qWait(1500);
    QCOMPARE(rig.framesSent.load(), 1);
    QCOMPARE(rig.reports.list.size(), 0);
}

// Resume and Terminate from another thread go through while Pause waits for
// the check; the loop then ends after that check.
void tst_HeadboxChecker::resumeAndTerminateDuringWaitingPause()
{
    SlowRig rig;
    rig.holdFrame = true;
    // Not looked at here; no report is left queued when the rig goes.
    QObject::disconnect(rig.checker, nullptr, &rig.reports, nullptr);
    rig.checker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.framesSent >= 1, 10000);

    std::atomic<bool> otherDone{false};
    std::atomic<int> framesDoneThen{-1};
    std::thread other([&] {
        QThread::msleep(300);
        rig.checker->Resume();
        rig.checker->Terminate();
        framesDoneThen = rig.framesDone.load();
        otherDone = true;
        QThread::msleep(200);
        rig.released.release();
    });
    rig.checker->Pause();
    other.join();
    QVERIFY(otherDone);
    QCOMPARE(framesDoneThen.load(), 0);
    QVERIFY(rig.checker->wait(5000));
    QCOMPARE(rig.framesSent.load(), 1);
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
    QTRY_VERIFY_WITH_TIMEOUT(rig.reports.list.size() >= 1, 10000);
    rig.checker->Pause();
    QTest::qWait(1200);
    const int sent = rig.identifications();
    rig.checker->Terminate();
    QVERIFY(!rig.checker->wait(1000));
    QCOMPARE(rig.identifications(), sent);

    // Resumed: one more check, then the loop ends.
    rig.checker->Resume();
    QVERIFY(rig.checker->wait(5000));
    QCOMPARE(rig.identifications(), sent + 1);
}

void tst_HeadboxChecker::terminateWhileRunning()
{
    Rig rig(freshChip(1));
    rig.checker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.reports.list.size() >= 1, 10000);
    rig.checker->Resume();
    rig.checker->Terminate();
    QVERIFY(rig.checker->wait(5000));
    QTest::qWait(50);
    const int reports = rig.reports.list.size();
    QVERIFY(reports >= 1 && reports <= 3);
}

QTEST_GUILESS_MAIN(tst_HeadboxChecker)
#include "tst_headboxchecker.moc"
