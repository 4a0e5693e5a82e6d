#include <QtTest>
#include <QSharedMemory>

#include <csignal>

#include "harness.h"

// Process-level checks of the single-instance guard and the shutdown path,
// on the real program binary.
class tst_Startup : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void secondInstanceIsRefusedFirstUndisturbed();
    void startsAgainAfterKill();
    void simultaneousStartsLeaveExactlyOne();
    void terminationRemovesMarker();
    void terminationDuringStartUpIsClean();
    void instanceWithOtherTempFolderIsRefused();

private:
    QProcess *start(const QString &tmpdir = QString());
    static bool markerExists();
    static bool stillRunningAfter(QProcess *p, int ms);
    QList<QProcess *> _processes;
};

QProcess *tst_Startup::start(const QString &tmpdir)
{
    QProcess *p = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!tmpdir.isEmpty())
        env.insert("TMPDIR", tmpdir);
    env.insert("ZELK_FPGA", "sim");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QStringLiteral(QUARNEL_BIN), QStringList());
    _processes << p;
    return p;
}

bool tst_Startup::markerExists()
{
    QSharedMemory probe("memOneInstance");
    if (!probe.attach(QSharedMemory::ReadOnly))
        return false;
    probe.detach();
    return true;
}

bool tst_Startup::stillRunningAfter(QProcess *p, int ms)
{
    return !p->waitForFinished(ms) && p->state() == QProcess::Running;
}

void tst_Startup::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    QVERIFY(QFile::exists(QStringLiteral(QUARNEL_BIN)));
}

void tst_Startup::cleanup()
{
    for (QProcess *p : qAsConst(_processes)) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
        delete p;
    }
    _processes.clear();
    // A killed instance leaves its segment; attaching and detaching clears it
    // so that every case starts from a clean machine.
    markerExists();
}

void tst_Startup::secondInstanceIsRefusedFirstUndisturbed()
{
    QProcess *first = start();
    QVERIFY(first->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(markerExists(), 10000);

    QElapsedTimer clock;
    clock.start();
    QProcess *second = start();
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 255);
    QVERIFY2(clock.elapsed() < 5000, "the refused instance must end at once");

    QVERIFY(stillRunningAfter(first, 500));
    QVERIFY(markerExists());
}

void tst_Startup::startsAgainAfterKill()
{
    QProcess *first = start();
    QTRY_VERIFY_WITH_TIMEOUT(markerExists(), 10000);
    ::kill(first->processId(), SIGKILL);
    QVERIFY(first->waitForFinished(5000));
    QCOMPARE(first->exitStatus(), QProcess::CrashExit);

    QProcess *next = start();
    QVERIFY(stillRunningAfter(next, 1500));

    // And that new instance really holds the marker again.
    QProcess *third = start();
    QVERIFY(third->waitForFinished(10000));
    QCOMPARE(third->exitCode(), 255);
}

void tst_Startup::simultaneousStartsLeaveExactlyOne()
{
    for (int round = 0; round < 3; ++round) {
        QProcess *a = start();
        QProcess *b = start();
        QTRY_VERIFY_WITH_TIMEOUT(a->state() == QProcess::NotRunning || b->state() == QProcess::NotRunning, 10000);
        QProcess *refused = a->state() == QProcess::NotRunning ? a : b;
        QProcess *running = refused == a ? b : a;
        QCOMPARE(refused->exitCode(), 255);
        QVERIFY(stillRunningAfter(running, 800));
        ::kill(running->processId(), SIGTERM);
        QVERIFY(running->waitForFinished(10000));
        QCOMPARE(running->exitCode(), 0);
    }
}

void tst_Startup::terminationRemovesMarker()
{
    QProcess *first = start();
    QTRY_VERIFY_WITH_TIMEOUT(markerExists(), 10000);
    ::kill(first->processId(), SIGTERM);
    QVERIFY(first->waitForFinished(10000));
    QCOMPARE(first->exitStatus(), QProcess::NormalExit);
    QCOMPARE(first->exitCode(), 0);
    QVERIFY(!markerExists());

    QProcess *next = start();
    QVERIFY(stillRunningAfter(next, 1500));
    QVERIFY(markerExists());
}

void tst_Startup::terminationDuringStartUpIsClean()
{
    // A stop request while the top-level objects are still being built must
    // end in the normal shutdown, not in a kill that leaves the marker.
    QProcess *first = start();
    QTRY_VERIFY_WITH_TIMEOUT(markerExists(), 10000);
    QTest::qWait(100);
    ::kill(first->processId(), SIGTERM);
    QVERIFY(first->waitForFinished(20000));
    QCOMPARE(first->exitStatus(), QProcess::NormalExit);
    QCOMPARE(first->exitCode(), 0);
    QVERIFY(!markerExists());
}

void tst_Startup::instanceWithOtherTempFolderIsRefused()
{
    // Another TMPDIR gives the guard other keys (as pam_tmpdir or a private
    // /tmp do); the run lock still tells the two apart.
    QVERIFY(!qEnvironmentVariableIsEmpty("QUARNEL_LOCK_FILE"));
    QTemporaryDir otherTmp;
    QVERIFY(otherTmp.isValid());
    QProcess *first = start();
    QTRY_VERIFY_WITH_TIMEOUT(markerExists(), 10000);

    QProcess *second = start(otherTmp.path());
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 255);
    QVERIFY(first->state() == QProcess::Running);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
