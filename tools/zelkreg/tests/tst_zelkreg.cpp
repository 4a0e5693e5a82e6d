#include "childprocess.h"
#include "harness.h"
#include "runlock.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

// Where the register block sits in physical memory; a sparse file of this
// size plus one window stands in for the register device.
static constexpr qint64 bridgeWindow = 0xC0010000LL;

struct Result
{
    int status = -1;
    QString out;
    QString err;
};

class tst_zelkreg : public QObject
{
    Q_OBJECT

private slots:
    void helpNamesEveryCommand();
    void usageErrors_data();
    void usageErrors();
    void verifyOnTheSimulatedFpga_data();
    void verifyOnTheSimulatedFpga();
    void commandPrintsTheSerialNumber();
    void deviceFileWriteReadVerify();
    void dumpLeavesTheDeviceUnchanged();
    void unusableDeviceIsReported_data();
    void unusableDeviceIsReported();
    void runningInstanceBlocksWrites_data();
    void runningInstanceBlocksWrites();
    void runLockBlocksWrites_data() { runningInstanceBlocksWrites_data(); }
    void runLockBlocksWrites();

private:
    static Result run(const QStringList &args, const QStringList &env = {});
    static QTemporaryFile *deviceFile();
};

Result tst_zelkreg::run(const QStringList &args, const QStringList &env)
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    // Never the real register device from a test.
    e.insert(QStringLiteral("ZELK_FPGA"), QStringLiteral("sim"));
    for (const QString &kv : env)
        e.insert(kv.section('=', 0, 0), kv.section('=', 1));
    p.setProcessEnvironment(e);
    p.start(QStringLiteral(ZELKREG_PROGRAM), args);
    Result r;
    if (!p.waitForFinished(30000)) {
        childprocess::stop(p);
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QTemporaryFile *tst_zelkreg::deviceFile()
{
    auto *file = new QTemporaryFile;
    if (!file->open() || ftruncate(file->handle(), bridgeWindow + 4096) != 0) {
        delete file;
        return nullptr;
    }
    return file;
}

void tst_zelkreg::helpNamesEveryCommand()
{
    const Result r = run({QStringLiteral("--help")});
    QCOMPARE(r.status, 0);
    // The manual page is made from this text: no build path in it.
    QVERIFY2(r.out.startsWith(QLatin1String("Usage: zelkreg [options] command")), qPrintable(r.out.left(80)));
    for (const char *word : {"verify", "read REG", "write REG VALUE", "dump", "command CODE", "--device",
                             "--channel", "--wait", "--force", "ZELK_FPGA", "read and dump never do"})
        QVERIFY2(r.out.contains(QLatin1String(word)), word);
}

void tst_zelkreg::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    QTest::newRow("nothing") << QStringList() << "no command given";
    QTest::newRow("unknown") << QStringList{"poke"} << "unknown command: poke";
    QTest::newRow("read beyond the window") << QStringList{"read", "512"} << "0-511";
    QTest::newRow("read not a number") << QStringList{"read", "nine"} << "0-511";
    QTest::newRow("read octal-looking") << QStringList{"read", "0o7"} << "0-511";
    QTest::newRow("write without value") << QStringList{"write", "3"} << "a register number";
    QTest::newRow("write bad value") << QStringList{"write", "3", "0xfg"} << "not a 64-bit value: 0xfg";
    QTest::newRow("value beyond 64 bits") << QStringList{"write", "3", "0x10000000000000000"} << "not a 64-bit value";
    QTest::newRow("short code") << QStringList{"command", "00200"} << "six characters";
    QTest::newRow("channel out of range") << QStringList{"--channel", "8", "command", "002002"} << "--channel takes 0-7";
    QTest::newRow("dump with argument") << QStringList{"dump", "9"} << "dump takes no arguments";
    QTest::newRow("unknown option") << QStringList{"--poke", "dump"} << "Unknown option";
}

void tst_zelkreg::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    const Result r = run(args);
    QCOMPARE(r.status, 2);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
    // Refused before any register window is opened.
    QVERIFY2(!r.err.contains(QLatin1String("FPGA registers")), qPrintable(r.err));
}

void tst_zelkreg::verifyOnTheSimulatedFpga_data()
{
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected");

    QTest::newRow("answers") << QStringList{"ZELK_SIM_FIRMWARE=5.7"} << 0 << "FPGA answers\nfirmware version 5.7\n";
    QTest::newRow("does not answer") << QStringList{"ZELK_SIM_VERIFY_FAIL=1"} << 1 << "FPGA does not answer";
}

void tst_zelkreg::verifyOnTheSimulatedFpga()
{
    QFETCH(QStringList, env);
    QFETCH(int, status);
    QFETCH(QString, expected);

    const Result r = run({QStringLiteral("verify")}, env);
    QCOMPARE(r.status, status);
    QVERIFY2(r.out.startsWith(expected), qPrintable(r.out));
    QVERIFY2(r.err.contains(QLatin1String("simulated FPGA")), qPrintable(r.err));
}

void tst_zelkreg::commandPrintsTheSerialNumber()
{
    const Result r = run({QStringLiteral("command"), QStringLiteral("002002")},
                         {QStringLiteral("ZELK_SIM_SERIALS=ABC-1234/56-78")});
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.contains(QLatin1String("sent on channel 0: \\r\\nRDJW002002\\r\\n")), qPrintable(r.out));
    QVERIFY2(r.out.contains(QLatin1String("received 16 bytes")), qPrintable(r.out));
    QVERIFY2(r.out.contains(QLatin1String("16-bit units swapped: ABC-1234/56-78")), qPrintable(r.out));
}

void tst_zelkreg::deviceFileWriteReadVerify()
{
    QScopedPointer<QTemporaryFile> file(deviceFile());
    QVERIFY(file);
    const QString device = QStringLiteral("--device=") + file->fileName();
    const QStringList devmem{QStringLiteral("ZELK_FPGA=devmem")};

    Result r = run({device, QStringLiteral("write"), QStringLiteral("3"), QStringLiteral("0x1122334455667788")}, devmem);
    QCOMPARE(r.status, 0);
    // The library reports the unmapping of the window at the end.
    QCOMPARE(r.out, QStringLiteral("register  3 <- 0x1122334455667788 (1234605616436508552)\n"
                                   "Unmapping HPS2FPGA bridge...\n"));
    // Register n at byte 8 * n of the window, least significant byte first.
    uchar bytes[8] = {};
    QCOMPARE(pread(file->handle(), bytes, 8, bridgeWindow + 24), ssize_t(8));
    const uchar expected[8] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    QCOMPARE(memcmp(bytes, expected, 8), 0);

    r = run({device, QStringLiteral("read"), QStringLiteral("0x3")}, devmem);
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.startsWith(QLatin1String("register  3 = 0x1122334455667788 (1234605616436508552)\n")),
             qPrintable(r.out));

    // An FPGA that echoes the pattern and reports version 4.9.
    const quint64 fpga[3] = {0xAAAA, 4, 9};
    QCOMPARE(pwrite(file->handle(), fpga, sizeof fpga, bridgeWindow + 88), ssize_t(sizeof fpga));
    r = run({device, QStringLiteral("verify")}, devmem);
    QCOMPARE(r.status, 0);
    QVERIFY2(r.out.startsWith(QLatin1String("FPGA answers\nfirmware version 4.9\n")), qPrintable(r.out));
    quint64 pattern = 0;
    QCOMPARE(pread(file->handle(), &pattern, 8, bridgeWindow + 8), ssize_t(8));
    QCOMPARE(pattern, quint64(0xAAAA));

    // A high half set in register 11 is not the pattern.
    const quint64 wrong = 0x10000AAAAULL;
    QCOMPARE(pwrite(file->handle(), &wrong, 8, bridgeWindow + 88), ssize_t(8));
    r = run({device, QStringLiteral("verify")}, devmem);
    QCOMPARE(r.status, 1);
    QVERIFY2(r.out.contains(QLatin1String("register 11 reads 0x000000010000aaaa")), qPrintable(r.out));
}

void tst_zelkreg::dumpLeavesTheDeviceUnchanged()
{
    QScopedPointer<QTemporaryFile> file(deviceFile());
    QVERIFY(file);
    QByteArray window(4096, '\0');
    for (int i = 0; i < window.size(); ++i)
        window[i] = char(i * 7 + 1);
    QCOMPARE(pwrite(file->handle(), window.constData(), window.size(), bridgeWindow), ssize_t(window.size()));

    const QString device = QStringLiteral("--device=") + file->fileName();
    for (const QStringList &args : {QStringList{device, "dump"}, QStringList{device, "read", "9"},
                                     QStringList{device, "read", "511"}}) {
        const Result r = run(args);
        QCOMPARE(r.status, 0);
    }
    const Result r = run({device, QStringLiteral("dump")});
    QVERIFY2(r.out.contains(QLatin1String("register  9 fifoCount     = 0x2a231c150e0700f9")), qPrintable(r.out));
    QVERIFY(r.out.contains(QLatin1String("register 10 not read")));

    QByteArray after(4096, '\0');
    QCOMPARE(pread(file->handle(), after.data(), after.size(), bridgeWindow), ssize_t(after.size()));
    QCOMPARE(after, window);
}

void tst_zelkreg::unusableDeviceIsReported_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << "missing" << "cannot open %1";
    QTest::newRow("folder") << "folder" << "cannot open %1: Is a directory";
    QTest::newRow("smaller than the window") << "small" << "%1 is too small";
    QTest::newRow("cannot be mapped") << "fifo" << "cannot map the register window";
}

void tst_zelkreg::unusableDeviceIsReported()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mem"));
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(path));
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    if (kind == QLatin1String("small")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(bridgeWindow));
    }

    const Result r = run({QStringLiteral("--device=") + path, QStringLiteral("dump")});
    QCOMPARE(r.status, 4);
    QVERIFY2(r.err.contains(message.arg(path)), qPrintable(r.err));
    QVERIFY2(!r.out.contains(QLatin1String("register")), qPrintable(r.out));
}

void tst_zelkreg::runningInstanceBlocksWrites_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");

    QTest::newRow("write") << QStringList{"write", "2", "7"} << 3;
    QTest::newRow("verify") << QStringList{"verify"} << 3;
    QTest::newRow("command") << QStringList{"command", "002002"} << 3;
    QTest::newRow("read of the receive FIFO") << QStringList{"read", "10"} << 3;
    QTest::newRow("read") << QStringList{"read", "12"} << 0;
    QTest::newRow("dump") << QStringList{"dump"} << 0;
    QTest::newRow("forced write") << QStringList{"--force", "write", "2", "7"} << 0;
}

void tst_zelkreg::runningInstanceBlocksWrites()
{
    // The marker segment lives in the harness's private IPC namespace.
    QUARNEL_REQUIRE_HARNESS();
    QFETCH(QStringList, args);
    QFETCH(int, status);

    QSharedMemory marker(QStringLiteral("memOneInstance"));
    QVERIFY(marker.create(1));
    const Result r = run(args);
    QCOMPARE(r.status, status);
    if (status == 3)
        QVERIFY2(r.err.contains(QLatin1String("quarnel is running")), qPrintable(r.err));
    marker.detach();

    // Without the running instance the same command goes through.
    QCOMPARE(run(args).status, 0);
}

void tst_zelkreg::runLockBlocksWrites()
{
    // A quarnel with another TMPDIR or IPC namespace leaves no segment here;
    // its run lock is what the tool meets.
    QUARNEL_REQUIRE_HARNESS();
    QVERIFY(!qEnvironmentVariableIsEmpty("QUARNEL_LOCK_FILE"));
    QFETCH(QStringList, args);
    QFETCH(int, status);

    {
        RunLock quarnel;
        QCOMPARE(quarnel.Acquire(), RunLock::Taken);
        const Result r = run(args);
        QCOMPARE(r.status, status);
        if (status == 3)
            QVERIFY2(r.err.contains(QLatin1String("quarnel is running")), qPrintable(r.err));
    }
    QCOMPARE(run(args).status, 0);
}

QTEST_GUILESS_MAIN(tst_zelkreg)
#include "tst_zelkreg.moc"
