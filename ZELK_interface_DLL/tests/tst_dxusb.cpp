#include "devmemwindow.h"
#include "dxusb.h"
#include "fpgasim.h"
#include "simwindow.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using Writes = QVector<QPair<int, quint64>>;
Q_DECLARE_METATYPE(Writes)

static constexpr off_t bridgeWindow = 0xC0010000;
// In a recorded sequence: the device given this many ms to settle.
static constexpr int settled = -1;

// The simulated FPGA's window, recording writes and settling pauses in order.
class RecordingWindow : public SimWindow
{
public:
    explicit RecordingWindow(Writes *log) : m_log(log) {}
    void write(int n, uint64_t value) override
    {
        m_log->append({n, value});
        SimWindow::write(n, value);
    }
    void settle(unsigned long ms) override { m_log->append({settled, ms}); }

private:
    Writes *m_log;
};

class tst_dxusb : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void sequences_data();
    void sequences();
    void verifyCyclone_data();
    void verifyCyclone();
    void pkCalculator_data();
    void pkCalculator();
    void registersOutsideTheWindowAreIgnored();

    void devmemWindowOnAFile();
    void devmemUnopenableExitsWithStatus1();
    void devmemFailedMappingIsSafe();
    void devmemUnmapsAtTheEnd();
    void backendSelection_data();
    void backendSelection();

private:
    static Writes loggedWrites();
    static QString probe();
};

Writes tst_dxusb::loggedWrites()
{
    Writes out;
    for (const FpgaSimWrite &w : FpgaSim::instance()->writes())
        out.append({w.reg, w.value});
    return out;
}

QString tst_dxusb::probe()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/zelk_devmem_probe");
}

void tst_dxusb::init()
{
    FpgaSim::instance()->reset(FpgaSimConfig());
}

void tst_dxusb::sequences_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<Writes>("expected");

    QTest::newRow("start") << "start"
                           << Writes{{9, 0}, {9, 0}, {11, 0}, {11, 0}, {0, 0}, {settled, 1000}, {5, 0}, {15, 0},
                                     {settled, 700}, {8, 0}, {5, 0}, {settled, 700}};
    QTest::newRow("stop") << "stop" << Writes{{8, 0}, {5, 0}, {15, 0}};
    QTest::newRow("clean") << "clean"
                           << Writes{{settled, 10}, {5, 0}, {settled, 10}, {5, 0x40}, {settled, 10}};
    Writes verify;
    for (int i = 0; i < 8; ++i)
        verify << qMakePair(1, quint64(0xAAAA)) << qMakePair(settled, quint64(1));
    verify << qMakePair(settled, quint64(1));
    QTest::newRow("verify_cyclone") << "verify" << verify;
    Writes frame;
    for (char c : QByteArray("\r\nRDJW008000\r\n"))
        frame << qMakePair(14, quint64(uchar(c))) << qMakePair(settled, quint64(1));
    QTest::newRow("send_command_orv") << "command" << frame;
}

void tst_dxusb::sequences()
{
    QFETCH(QString, operation);
    Writes seen;
    dxusb block(new RecordingWindow(&seen));
    if (operation == "start")
        block.start();
    else if (operation == "stop")
        block.stop();
    else if (operation == "clean")
        block.clean();
    else if (operation == "verify")
        QCOMPARE(block.verify_cyclone(nullptr), 1);
    else
        block.send_command_orv('0', '0', '8', '0', '0', '0');
    QTEST(seen, "expected");
    // The simulated FPGA itself needs no settling: it saw the same writes at once.
    Writes written;
    for (const QPair<int, quint64> &w : seen) {
        if (w.first != settled)
            written.append(w);
    }
    QCOMPARE(loggedWrites(), written);
}

void tst_dxusb::verifyCyclone_data()
{
    QTest::addColumn<bool>("verifyFails");
    QTest::addColumn<bool>("forceRegister11");
    QTest::addColumn<quint64>("register11");
    QTest::addColumn<int>("result");

    QTest::newRow("answers") << false << false << quint64(0) << 1;
    QTest::newRow("wrong read-back") << true << false << quint64(0) << 0;
    QTest::newRow("high half set") << false << true << quint64(0x10000AAAAULL) << 0;
    QTest::newRow("absent FPGA reads 0") << false << true << quint64(0) << 0;
}

void tst_dxusb::verifyCyclone()
{
    QFETCH(bool, verifyFails);
    QFETCH(bool, forceRegister11);
    QFETCH(quint64, register11);
    FpgaSimConfig config;
    config.verifyFails = verifyFails;
    config.firmwareMajor = 2;
    config.firmwareMinor = 7;
    FpgaSim *sim = FpgaSim::instance();
    sim->reset(config);
    if (forceRegister11)
        sim->forceRead(11, register11);

    dxusb block(new SimWindow);
    uint16_t status[2] = {0xFFFF, 0xFFFF};
    QTEST(block.verify_cyclone(status), "result");
    QCOMPARE(sim->writesTo(1), QVector<uint64_t>(8, 0xAAAA));
    QCOMPARE(loggedWrites().size(), 8);
    QCOMPARE(sim->readCount(11), 1u);
    QCOMPARE(sim->readCount(12), 1u);
    QCOMPARE(sim->readCount(13), 1u);
    QCOMPARE(status[0], uint16_t(2));
    QCOMPARE(status[1], uint16_t(7));
}

void tst_dxusb::pkCalculator_data()
{
    QTest::addColumn<int>("frequency");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("pkTime");
    QTest::addColumn<qint64>("result");

    QTest::newRow("1000 3 7") << 1000 << 3 << 7 << qint64(214);
    QTest::newRow("negative truncates toward zero") << -1000 << 3 << 7 << qint64(-214);
    QTest::newRow("odd quotient") << 5 << 1 << 1 << qint64(2);
    QTest::newRow("32-bit product wraps") << 100000 << 100000 << 1 << qint64(705032704);
    QTest::newRow("zero packet time") << 1000 << 3 << 0 << qint64(0);
}

void tst_dxusb::pkCalculator()
{
    QFETCH(int, frequency);
    QFETCH(int, channels);
    QFETCH(int, pkTime);
    dxusb block(new SimWindow);
    QTEST(qint64(block.pk_calculator(frequency, channels, pkTime)), "result");
}

void tst_dxusb::registersOutsideTheWindowAreIgnored()
{
    dxusb block(new SimWindow);
    block.write(-1, 1);
    block.write(512, 1);
    QCOMPARE(block.read(-1), 0u);
    QCOMPARE(block.read(100000), 0u);
    QVERIFY(FpgaSim::instance()->writes().isEmpty());
}

void tst_dxusb::devmemWindowOnAFile()
{
    // A sparse file stands in for physical memory: the window lands at the
    // bridge offset, register n at byte 8 * n, least significant byte first.
    QTemporaryFile file;
    QVERIFY(file.open());
    QCOMPARE(ftruncate(file.handle(), bridgeWindow + 8192), 0);

    dxusb block(new DevMemWindow(file.fileName().toLocal8Bit().constData(), bridgeWindow, 4096));
    block.write(3, 0x1122334455667788ULL);
    uchar bytes[8] = {};
    QCOMPARE(pread(file.handle(), bytes, 8, bridgeWindow + 24), ssize_t(8));
    const uchar expected[8] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    QCOMPARE(QByteArray(reinterpret_cast<char *>(bytes), 8), QByteArray(reinterpret_cast<const char *>(expected), 8));
    QCOMPARE(block.read(3), 0x1122334455667788ULL);

    // What the FPGA puts in registers 11-13 is what verification sees.
    const quint64 fpga[3] = {0xAAAA, 4, 9};
    QCOMPARE(pwrite(file.handle(), fpga, sizeof fpga, bridgeWindow + 88), ssize_t(sizeof fpga));
    uint16_t status[2] = {};
    QCOMPARE(block.verify_cyclone(status), 1);
    QCOMPARE(status[0], uint16_t(4));
    QCOMPARE(status[1], uint16_t(9));
    QCOMPARE(block.read(1), 0xAAAAu);

    block.write(512, ~0ULL);
    quint64 beyond = 1;
    QCOMPARE(pread(file.handle(), &beyond, 8, bridgeWindow + 4096), ssize_t(8));
    QCOMPARE(beyond, 0u);

    // The real device is given the whole time to settle.
    DevMemWindow window(file.fileName().toLocal8Bit().constData(), bridgeWindow, 4096);
    QElapsedTimer timer;
    timer.start();
    window.settle(30);
    QVERIFY2(timer.elapsed() >= 30, qPrintable(QString::number(timer.elapsed())));
}

void tst_dxusb::devmemUnopenableExitsWithStatus1()
{
    QProcess child;
    child.start(probe(), {"map", "/nonexistent-zelk/mem", "0xC0010000"});
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 1);
    QCOMPARE(child.readAllStandardError(), QByteArray("open: No such file or directory\n"));
    QCOMPARE(child.readAllStandardOutput(), QByteArray());
}

void tst_dxusb::devmemFailedMappingIsSafe()
{
    // A FIFO opens read-write but cannot be mapped.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fifo = dir.filePath("mem");
    QCOMPARE(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);

    QProcess child;
    child.start(probe(), {"map", fifo, "0xC0010000"});
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAllStandardOutput(), QByteArray("Done\nregister 2 = 0\nregister 2 = 0\n"));
    const QByteArray err = child.readAllStandardError();
    QVERIFY2(err.startsWith("mmap: No such device\n"), err.constData());
    QCOMPARE(err.count("no FPGA register window"), 1);
}

void tst_dxusb::devmemUnmapsAtTheEnd()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    QCOMPARE(ftruncate(file.handle(), bridgeWindow + 4096), 0);

    QProcess child;
    child.start(probe(), {"map", file.fileName(), "0xC0010000"});
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(child.readAllStandardOutput(),
             QByteArray("register 2 = 55\nregister 2 = 55\nUnmapping HPS2FPGA bridge...\n"));
    QCOMPARE(child.readAllStandardError(), QByteArray());
    quint64 reg2 = 0;
    QCOMPARE(pread(file.handle(), &reg2, 8, bridgeWindow + 16), ssize_t(8));
    QCOMPARE(reg2, 0x55u);
}

void tst_dxusb::backendSelection_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("message");

    QTest::newRow("sim") << "sim" << "ZELK_interface_DLL: FPGA registers of the simulated FPGA\n";
    QTest::newRow("unknown value falls back to the build's default")
        << "bogus" << "ZELK_interface_DLL: ZELK_FPGA=bogus is neither devmem nor sim, using sim\n"
                      "ZELK_interface_DLL: FPGA registers of the simulated FPGA\n";
}

void tst_dxusb::backendSelection()
{
    QFETCH(QString, value);
#ifdef ZELK_TEST_DEFAULT_DEVMEM
    if (value != "sim")
        QSKIP("the build's default backend is the real device");
#endif
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZELK_FPGA", value);
    child.setProcessEnvironment(env);
    child.start(probe(), {"select"});
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitCode(), 0);
    QTEST(QString::fromLocal8Bit(child.readAllStandardError()), "message");
}

QTEST_GUILESS_MAIN(tst_dxusb)
#include "tst_dxusb.moc"
