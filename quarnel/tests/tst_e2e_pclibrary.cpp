#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <quarnelpc/quarnelpc.h>
#include <quarnelpc/quarnelpc_c.h>

#include <thread>

#include "e2esupport.h"

using namespace QuarnelPc;

// libquarnelpc as an acquisition program uses it, against the real program
// on the simulated FPGA with two headboxes: this process starts the
// terminal, then moves to the PC's side of the harness's cable, so every
// socket the library opens is the PC's.
class tst_E2ePcLibrary : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void discoverConnectCommandStream();
    void cInterfaceOnAThreadOfAQtProgram();
    void exampleRecordsAnExam_data();
    void exampleRecordsAnExam();

private:
    std::unique_ptr<e2e::Quarnel> _quarnel;
    QTemporaryDir tmp;
};

void tst_E2ePcLibrary::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    QVERIFY(tmp.isValid());
    qRegisterMetaType<QuarnelPc::Error>();
    e2e::markAddressSet();
    _quarnel.reset(new e2e::Quarnel(2, 0));
    QVERIFY(_quarnel->start());
    // The terminal keeps the panel's namespace; from here on this thread,
    // and every process it starts, is the PC.
    const int ns = ::open(harness::pcNetns().toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY2(ns >= 0, qPrintable(harness::pcNetns()));
    const bool joined = ::setns(ns, CLONE_NEWNET) == 0;
    ::close(ns);
    QVERIFY(joined);
}

void tst_E2ePcLibrary::cleanupTestCase()
{
    if (_quarnel)
        QCOMPARE(_quarnel->terminate(), 0);
}

void tst_E2ePcLibrary::discoverConnectCommandStream()
{
    Discovery discovery;
    QSignalSpy announced(&discovery, &Discovery::announced);
    QSignalSpy status(&discovery, &Discovery::statusReceived);
    QVERIFY2(discovery.listen(), qPrintable(discovery.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(!announced.isEmpty(), 60000);
    const Announcement a = announced.first().first().value<Announcement>();
    QCOMPARE(a.terminal(), e2e::panel());
    QCOMPARE(a.headboxSerial(), QStringLiteral("SIM-0000/00-1"));
    QCOMPARE(a.headboxCount(), 2);
    QCOMPARE(a.dataPort(), Terminal::defaultDataPort());

    Terminal t;
    QSignalSpy connected(&t, &Terminal::connected);
    QSignalSpy answered(&t, &Terminal::commandAnswered);
    QSignalSpy failed(&t, &Terminal::errorOccurred);
    QSignalSpy disconnected(&t, &Terminal::disconnected);
    StreamChecker checker(1, true);
    connect(&t, &Terminal::dataReceived, [&](const QByteArray &bytes) { checker.feed(bytes); });
    t.connectToTerminal(a.terminal().toString(), a.dataPort(), Terminal::defaultAnswerPort());
    // Given before the connection is up: they wait for it.
    t.sendCommand(Command::headboxRead(1));
    t.sendCommand(Command::sync(1));
    QCOMPARE(t.pendingCommands(), 2);
    QVERIFY(connected.wait(20000));

    // The terminal tells the LAN who it serves now (it may have said that
    // it serves nobody just before).
    const auto lastPc = [&status] {
        return status.isEmpty() ? QHostAddress() : status.last().first().value<ConnectionStatus>().pc();
    };
    QTRY_COMPARE_WITH_TIMEOUT(lastPc(), QHostAddress(harness::pcIp()), 20000);
    QCOMPARE(status.last().first().value<ConnectionStatus>().terminal(), e2e::panel());

    // Each command answered in turn; sync on only after the terminal's pause.
    QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 2, 20000);
    QCOMPARE(answered.at(0).at(0).value<Command>(), Command::headboxRead(1));
    QCOMPARE(answered.at(1).at(0).value<Command>(), Command::sync(1));
    QVERIFY2(answered.at(1).at(1).toDouble() >= 600, qPrintable(answered.at(1).at(1).toString()));

    // Headbox 1's stream, every word checked.
    QTRY_VERIFY_WITH_TIMEOUT(checker.bytes() >= 2000000 || !checker.ok(), 60000);
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QCOMPARE(checker.lostWords(), quint64(0));

    t.sendCommand(Command::sync(0));
    QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 3, 20000);
    QCOMPARE(t.answersReceived(), qint64(3));
    t.disconnectFromTerminal();
    // Possibly at once, as a socket with nothing left to write.
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, 20000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(1).toString()));
    QTRY_VERIFY_WITH_TIMEOUT(lastPc().isNull(), 20000);
}

namespace {
QStringList qtWarnings;
void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        qtWarnings << message;
}
} // namespace

void tst_E2ePcLibrary::cInterfaceOnAThreadOfAQtProgram()
{
    // A Qt program (this test) calls the C interface from a thread of its
    // own while its event loop stands still in join(): the library's
    // threads do the work, on the program's QCoreApplication, silently.
    qtWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    QStringList steps;
    StreamChecker checker(1, true);
    std::thread acquisition([&] {
        quarnelpc_terminal *t = nullptr;
        const auto step = [&](const char *what, quarnelpc_error error) {
            steps << QStringLiteral("%1: %2 %3").arg(what).arg(error).arg(quarnelpc_last_message());
            return error == QUARNELPC_OK;
        };
        const int32_t one = 1, off = 0;
        if (!step("connect", quarnelpc_connect(qPrintable(harness::panelIp()), 0, 0, 20000, &t))
            || !step("read 1", quarnelpc_command(t, QUARNELPC_HEADBOX_READ, &one, 1, 20000, nullptr))
            || !step("sync on", quarnelpc_command(t, QUARNELPC_SYNC, &one, 1, 20000, nullptr)))
            return (void)quarnelpc_close(t, 20000);
        char buffer[65536];
        while (checker.bytes() < 2000000 && checker.ok()) {
            size_t got = 0;
            if (!step("read", quarnelpc_read(t, buffer, sizeof buffer, &got, 60000)))
                break;
            checker.feed(buffer, got);
        }
        step("sync off", quarnelpc_command(t, QUARNELPC_SYNC, &off, 1, 20000, nullptr));
        step("close", quarnelpc_close(t, 20000));
    });
    acquisition.join();
    qInstallMessageHandler(previous);
    QVERIFY2(steps.size() >= 5 && steps.filter(QRegularExpression(": [1-9]")).isEmpty(), qPrintable(steps.join('\n')));
    QVERIFY2(checker.ok() && checker.bytes() >= 2000000, qPrintable(checker.firstError()));
    QVERIFY2(qtWarnings.isEmpty(), qPrintable(qtWarnings.join('\n')));
}

void tst_E2ePcLibrary::exampleRecordsAnExam_data()
{
    // The C example has neither Qt nor an event loop of its own: the
    // library's threads do the work, and any Qt warning of theirs ends it.
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("fatalWarnings");
    QTest::newRow("C++") << QStringLiteral(RECORD_EXAM_BIN) << false;
    QTest::newRow("C") << QStringLiteral(RECORD_EXAM_C_BIN) << true;
}

void tst_E2ePcLibrary::exampleRecordsAnExam()
{
    QFETCH(QString, program);
    QFETCH(bool, fatalWarnings);
    // As a developer runs it on the PC: it finds the terminal by itself.
    const QString file = tmp.filePath(QStringLiteral("exam.bin"));
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (fatalWarnings) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_FATAL_WARNINGS"), QStringLiteral("1"));
        p.setProcessEnvironment(env);
    }
    p.start(program, {QString(), QStringLiteral("1"), file});
    QVERIFY(p.waitForStarted(10000));
    const bool ended = p.waitForFinished(90000);
    const QString output = QString::fromLocal8Bit(p.readAll());
    if (!ended)
        childprocess::stop(p);
    QVERIFY2(ended && p.exitStatus() == QProcess::NormalExit, qPrintable(output));
    QVERIFY2(p.exitCode() == 0, qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("found %1").arg(harness::panelIp())), qPrintable(output));
    QVERIFY2(output.contains(QLatin1String("ok  sync off")), qPrintable(output));

    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    StreamChecker checker(1, true);
    checker.feed(f.readAll());
    QVERIFY2(checker.words() > 0 && checker.ok(), qPrintable(checker.firstError()));
    QVERIFY2(output.contains(QStringLiteral("recorded %1 bytes").arg(f.size())), qPrintable(output));
}

QTEST_GUILESS_MAIN(tst_E2ePcLibrary)
#include "tst_e2e_pclibrary.moc"
