#include <QTest>
#include <QThread>
#include <QSharedMemory>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <sys/ipc.h>
#include <sys/stat.h>

#include <memory>

#include "childprocess.h"
#include "harness.h"
#include "pcside.h"
#include "quarnelprotocol.h"
#include "terminalframe.h"

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
    void terminationDuringCommandDelayIsPrompt();
    void lockPathOfOtherKindEndsAtOnce_data();
    void lockPathOfOtherKindEndsAtOnce();

private:
    QProcess *start(const QString &tmpdir = QString(),
                    QProcess::ProcessChannelMode channels = QProcess::ForwardedErrorChannel);
    static bool markerExists();
    struct Segment
    {
        bool exists = false;
        qint64 creator = 0;
        int attached = 0;
    };
    static Segment markerSegment();
    static bool holdsMarker(const QProcess *p);
    static bool catchesTermination(const QProcess *p);
    QList<QProcess *> _processes;
};

QProcess *tst_Startup::start(const QString &tmpdir, QProcess::ProcessChannelMode channels)
{
    QProcess *p = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!tmpdir.isEmpty())
        env.insert("TMPDIR", tmpdir);
    env.insert("ZELK_FPGA", "sim");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(channels);
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

// The marker's System V segment as the kernel lists it, without attaching
// to it (a probe's detach would remove a segment nobody else holds): who
// created it and how many processes have it attached.
tst_Startup::Segment tst_Startup::markerSegment()
{
    QSharedMemory probe("memOneInstance");
    const key_t key = ::ftok(QFile::encodeName(probe.nativeKey()).constData(), 'Q');
    QFile table(QStringLiteral("/proc/sysvipc/shm"));
    if (key == -1 || !table.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = table.readAll().split('\n');
    const QList<QByteArray> header = lines.value(0).simplified().split(' ');
    const int keyAt = header.indexOf("key"), creatorAt = header.indexOf("cpid"), attachedAt = header.indexOf("nattch");
    for (const QByteArray &line : lines.mid(1)) {
        const QList<QByteArray> field = line.simplified().split(' ');
        if (field.size() == header.size() && field.at(keyAt).toLongLong() == qint64(key))
            return {true, field.at(creatorAt).toLongLong(), field.at(attachedAt).toInt()};
    }
    return {};
}

// Whether p is the running instance: it created the marker and holds it.
bool tst_Startup::holdsMarker(const QProcess *p)
{
    const Segment s = markerSegment();
    return s.exists && s.attached > 0 && p->processId() > 0 && s.creator == p->processId();
}

// Whether p has installed its own SIGTERM handler (its SigCgt mask says so).
bool tst_Startup::catchesTermination(const QProcess *p)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(p->processId()));
    if (p->processId() <= 0 || !status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ULL << (SIGTERM - 1));
    }
    return false;
}

void tst_Startup::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    QVERIFY(QFile::exists(QStringLiteral(QUARNEL_BIN)));
}

void tst_Startup::cleanup()
{
    for (QProcess *p : qAsConst(_processes)) {
        childprocess::stop(*p);
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
    QTRY_VERIFY_WITH_TIMEOUT(holdsMarker(first), 20000);

    // Refused while the first runs: it must not wait for the first to end.
    QProcess *second = start();
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 255);

    QVERIFY(childprocess::alive(*first));
    QVERIFY(holdsMarker(first));
}

void tst_Startup::startsAgainAfterKill()
{
    QProcess *first = start();
    QTRY_VERIFY_WITH_TIMEOUT(holdsMarker(first), 20000);
    const qint64 firstPid = first->processId();
    QVERIFY(childprocess::signal(*first, SIGKILL));
    QVERIFY(first->waitForFinished(10000));
    QCOMPARE(first->exitStatus(), QProcess::CrashExit);
    const Segment left = markerSegment();
    QVERIFY(left.exists && left.creator == firstPid && left.attached == 0);

    // The stale marker does not refuse the next start: it takes it over.
    QProcess *next = start();
    QTRY_VERIFY_WITH_TIMEOUT(holdsMarker(next) || next->state() == QProcess::NotRunning, 20000);
    QVERIFY2(holdsMarker(next), qPrintable(QStringLiteral("exit code %1").arg(next->exitCode())));

    QProcess *third = start();
    QVERIFY(third->waitForFinished(20000));
    QCOMPARE(third->exitCode(), 255);
}

void tst_Startup::simultaneousStartsLeaveExactlyOne()
{
    for (int round = 0; round < 3; ++round) {
        QProcess *a = start();
        QProcess *b = start();
        QTRY_VERIFY_WITH_TIMEOUT(a->state() == QProcess::NotRunning || b->state() == QProcess::NotRunning, 20000);
        QProcess *refused = a->state() == QProcess::NotRunning ? a : b;
        QProcess *running = refused == a ? b : a;
        QCOMPARE(refused->exitCode(), 255);
        QTRY_VERIFY_WITH_TIMEOUT(holdsMarker(running) || running->state() == QProcess::NotRunning, 20000);
        QVERIFY(holdsMarker(running));
        QVERIFY(childprocess::signal(*running, SIGTERM));
        QVERIFY(running->waitForFinished(20000));
        QCOMPARE(running->exitStatus(), QProcess::NormalExit);
        QCOMPARE(running->exitCode(), 0);
    }
}

void tst_Startup::terminationRemovesMarker()
{
    QProcess *first = start();
    QTRY_VERIFY_WITH_TIMEOUT(holdsMarker(first), 20000);
    QVERIFY(childprocess::signal(*first, SIGTERM));
    QVERIFY(first->waitForFinished(20000));
    QCOMPARE(first->exitStatus(), QProcess::NormalExit);
    QCOMPARE(first->exitCode(), 0);
    QVERIFY(!markerExists());

    QProcess *next = start();
    QTRY_VERIFY_WITH_TIMEOUT(holdsMarker(next) || next->state() == QProcess::NotRunning, 20000);
    QVERIFY(holdsMarker(next));
}

void tst_Startup::terminationDuringStartUpIsClean()
{
    // A stop request while the top-level objects are still being built must
    // end in the normal shutdown, not in a kill that leaves the marker. The
    // request goes the moment the program has taken the marker and installed
    // its handler, before it has built much else.
    QProcess *first = start();
    QVERIFY(first->waitForStarted(20000));
    QElapsedTimer t;
    t.start();
    // Spins rather than sleeps: the request must go out as soon as it can.
    while (!(holdsMarker(first) && catchesTermination(first)) && childprocess::alive(*first) && t.elapsed() < 20000)
        QThread::yieldCurrentThread();
    QVERIFY(holdsMarker(first));
    QVERIFY(childprocess::signal(*first, SIGTERM));
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

void tst_Startup::terminationDuringCommandDelayIsPrompt()
{
    // A PC's command 8 may hold the relay for a minute; the service manager
    // kills a program that has not ended 15 s after its SIGTERM.
    QProcess *p = start(QString(), QProcess::MergedChannels);
    QVERIFY(p->waitForStarted(20000));
    const QHostAddress panel(harness::panelIp());
    std::unique_ptr<QTcpSocket> pc;
    QTRY_VERIFY_WITH_TIMEOUT((pc.reset(pcside::tcpConnect(panel, QuarnelProtocol::DataPort)), pc != nullptr), 30000);
    pc->write(TerminalFrame::delay(60000));
    QVERIFY(pc->waitForBytesWritten(10000));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += p->readAll(), output.contains(" Delay 60000 ms")), 30000);

    QVERIFY(childprocess::signal(*p, SIGTERM));
    QVERIFY2(p->waitForFinished(30000), "still running half a minute after SIGTERM");
    QCOMPARE(p->exitStatus(), QProcess::NormalExit);
    QCOMPARE(p->exitCode(), 0);
}


void tst_Startup::lockPathOfOtherKindEndsAtOnce_data()
{
    QTest::addColumn<bool>("fifo");
    // open() of a FIFO waits for a writer: the start hung, deaf to SIGTERM.
    QTest::newRow("FIFO") << true;
    // Every instance "held" a folder's lock: two drove the FPGA.
    QTest::newRow("folder") << false;
}

void tst_Startup::lockPathOfOtherKindEndsAtOnce()
{
    QFETCH(bool, fifo);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quarnel.lock"));
    const QByteArray native = QFile::encodeName(path);
    QCOMPARE(fifo ? ::mkfifo(native.constData(), 0600) : ::mkdir(native.constData(), 0700), 0);

    const QByteArray harnessLock = qgetenv("QUARNEL_LOCK_FILE");
    qputenv("QUARNEL_LOCK_FILE", native);
    QProcess *p = start(QString(), QProcess::SeparateChannels);
    qputenv("QUARNEL_LOCK_FILE", harnessLock);
    QVERIFY(p->waitForFinished(20000));

    QCOMPARE(p->exitStatus(), QProcess::NormalExit);
    QCOMPARE(p->exitCode(), 3);
    const QString error = QString::fromLocal8Bit(p->readAllStandardError());
    QVERIFY2(error.contains(path + QStringLiteral(" is not a regular file")), qPrintable(error));
    QVERIFY(!markerExists());
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
